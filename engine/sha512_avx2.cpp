// SHA-512's block function with its message schedule in AVX2 registers and
// its rounds in 64-bit ones. Built with -mavx2 -mbmi -mbmi2 and called only
// where the CPU has them (digest_paths.cpp); it includes nothing that could
// bring an inline function into this file.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include <immintrin.h>

#if defined(__GNUC__) || defined(__clang__)
#define SHA512_STEP [[gnu::always_inline]] inline
#else
#define SHA512_STEP inline
#endif

namespace engine {
namespace {

// ---------------------------------------------------------------- the schedule

// Two blocks side by side: each register holds W[2k] and W[2k + 1] of the
// first block in its low 128 bits and of the second in its high 128 bits,
// and AVX2's byte shuffles and alignments never cross those halves.

// SHR 1 ^ ROTR 8 ^ SHR 7 of every word; the byte rotation is a shuffle.
SHA512_STEP __m256i SmallSigma0(__m256i x, __m256i rotateByte)
{
    return _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi64(x, 1), _mm256_slli_epi64(x, 63)),
                            _mm256_xor_si256(_mm256_shuffle_epi8(x, rotateByte), _mm256_srli_epi64(x, 7)));
}

// ROTR 19 ^ ROTR 61 ^ SHR 6.
SHA512_STEP __m256i SmallSigma1(__m256i x)
{
    return _mm256_xor_si256(
        _mm256_xor_si256(_mm256_srli_epi64(x, 19), _mm256_slli_epi64(x, 45)),
        _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi64(x, 61), _mm256_slli_epi64(x, 3)), _mm256_srli_epi64(x, 6)));
}

// Pair k from the eight before it: `x0` holds pair k - 8 and becomes pair k;
// x1, x4, x5 and x7 hold pairs k - 7, k - 4, k - 3 and k - 1.
SHA512_STEP void NextPair(__m256i& x0, __m256i x1, __m256i x4, __m256i x5, __m256i x7, __m256i rotateByte)
{
    const __m256i w15 = _mm256_alignr_epi8(x1, x0, 8);  // W[2k - 15], W[2k - 14]
    const __m256i w7 = _mm256_alignr_epi8(x5, x4, 8);   // W[2k - 7], W[2k - 6]
    x0 = _mm256_add_epi64(_mm256_add_epi64(x0, SmallSigma0(w15, rotateByte)), _mm256_add_epi64(w7, SmallSigma1(x7)));
}

// All eighty words of two blocks with their round constants added: pair k
// of the first block at wk[4k], wk[4k + 1], of the second at wk[4k + 2],
// wk[4k + 3]. The ring of eight pairs stays in registers throughout.
void ScheduleTwo(const std::uint8_t* first, const std::uint8_t* second, std::uint64_t* wk)
{
    // Big-endian words, and a rotation of each word by one byte.
    const __m256i byteOrder =
        _mm256_set_epi64x(0x08090A0B0C0D0E0F, 0x0001020304050607, 0x08090A0B0C0D0E0F, 0x0001020304050607);
    const __m256i rotateByte =
        _mm256_set_epi64x(0x080F0E0D0C0B0A09, 0x0007060504030201, 0x080F0E0D0C0B0A09, 0x0007060504030201);
    const auto* constants = reinterpret_cast<const __m128i*>(kSha512RoundConstants);
    const auto load = [&](int pair) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + 16 * pair));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(second + 16 * pair));
        return _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1), byteOrder);
    };
    const auto store = [&](int pair, __m256i x) {
        const __m256i k = _mm256_broadcastsi128_si256(_mm_load_si128(constants + pair));
        _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 4 * pair), _mm256_add_epi64(x, k));
    };

    __m256i x0 = load(0), x1 = load(1), x2 = load(2), x3 = load(3);
    __m256i x4 = load(4), x5 = load(5), x6 = load(6), x7 = load(7);
    store(0, x0);
    store(1, x1);
    store(2, x2);
    store(3, x3);
    store(4, x4);
    store(5, x5);
    store(6, x6);
    store(7, x7);
    for (int pair = 8; pair < 40; pair += 8) {
        NextPair(x0, x1, x4, x5, x7, rotateByte);
        store(pair, x0);
        NextPair(x1, x2, x5, x6, x0, rotateByte);
        store(pair + 1, x1);
        NextPair(x2, x3, x6, x7, x1, rotateByte);
        store(pair + 2, x2);
        NextPair(x3, x4, x7, x0, x2, rotateByte);
        store(pair + 3, x3);
        NextPair(x4, x5, x0, x1, x3, rotateByte);
        store(pair + 4, x4);
        NextPair(x5, x6, x1, x2, x4, rotateByte);
        store(pair + 5, x5);
        NextPair(x6, x7, x2, x3, x5, rotateByte);
        store(pair + 6, x6);
        NextPair(x7, x0, x3, x4, x6, rotateByte);
        store(pair + 7, x7);
    }
}

// ---------------------------------------------------------------- the rounds

// A constant rotation: one RORX, which leaves its source as it was.
SHA512_STEP std::uint64_t Ror(std::uint64_t x, int n)
{
    return (x >> n) | (x << (64 - n));
}

// One round; the callers rename the words instead of moving them. `bc`
// comes in as b ^ c and leaves as a ^ b, which is the next round's b ^ c,
// so Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)) costs three operations and c
// itself is not needed.
SHA512_STEP void Round(std::uint64_t a, std::uint64_t b, std::uint64_t& d, std::uint64_t e, std::uint64_t f,
                       std::uint64_t g, std::uint64_t& h, std::uint64_t& bc, std::uint64_t wk)
{
    const std::uint64_t t1 = h + wk + (Ror(e, 14) ^ Ror(e, 18) ^ Ror(e, 41)) + (g ^ (e & (f ^ g)));
    const std::uint64_t ab = a ^ b;
    d += t1;
    h = t1 + (Ror(a, 28) ^ Ror(a, 34) ^ Ror(a, 39)) + (b ^ (ab & bc));
    bc = ab;
}

// Eighty rounds of one block, whose word t with its constant is at
// wk[4 * (t / 2) + t % 2].
void Rounds(std::uint64_t* state, const std::uint64_t* wk)
{
    std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    std::uint64_t bc = b ^ c;
    for (int t = 0; t < 80; t += 8, wk += 16) {
        Round(a, b, d, e, f, g, h, bc, wk[0]);
        Round(h, a, c, d, e, f, g, bc, wk[1]);
        Round(g, h, b, c, d, e, f, bc, wk[4]);
        Round(f, g, a, b, c, d, e, bc, wk[5]);
        Round(e, f, h, a, b, c, d, bc, wk[8]);
        Round(d, e, g, h, a, b, c, bc, wk[9]);
        Round(c, d, f, g, h, a, b, bc, wk[12]);
        Round(b, c, e, f, g, h, a, bc, wk[13]);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

// Two blocks at a time: their schedules in one pass of the vector code, then
// the rounds of each. A block left over goes through the same code beside a
// copy of itself. The record's little-endian words are the state as it is.
void Sha512CompressAvx2(Sha512Digest& state, const std::uint8_t* blocks, std::size_t count)
{
    alignas(32) std::uint64_t h[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(h),
                       _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state.bytes)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(h + 4),
                       _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state.bytes + 32)));
    alignas(32) std::uint64_t wk[160];
    for (; count >= 2; count -= 2, blocks += 2 * kSha512BlockSize) {
        ScheduleTwo(blocks, blocks + kSha512BlockSize, wk);
        Rounds(h, wk);
        Rounds(h, wk + 2);
    }
    if (count == 1) {
        ScheduleTwo(blocks, blocks, wk);
        Rounds(h, wk);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(state.bytes),
                        _mm256_load_si256(reinterpret_cast<const __m256i*>(h)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(state.bytes + 32),
                        _mm256_load_si256(reinterpret_cast<const __m256i*>(h + 4)));
}

}  // namespace engine

#endif

#pragma once

// SHA-512's block function with its rounds in 64-bit registers and the
// message schedule of the next two blocks made in 256-bit registers between
// them, for sha512_avx2.cpp and sha512_avx512.cpp alone: they differ only in
// the schedule's two small sigma functions, which each passes in. Everything
// here is in an unnamed namespace, so each of those files compiles a copy of
// its own, with its own instruction set, that the linker can never take for
// the other's (see digest_paths.h). Include it from no other file.

#include <immintrin.h>

#include "engine/digest_paths.h"

// Every step is inlined into one straight run of code, which is what pays;
// the build compiles the files that include this optimised even in debug
// builds. Were it not, the steps stay calls: inlined unoptimised, each would
// keep its values in slots of its own, a frame of over 100 KiB, past the
// HMAC's stack scrub.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__OPTIMIZE__)
#define SHA512_STEP [[gnu::always_inline]] inline
#else
#define SHA512_STEP inline
#endif

namespace engine {
namespace {

// ---------------------------------------------------------------- the schedule

// Two blocks side by side: each register holds W[2k] and W[2k + 1] of one
// block in its low 128 bits and of the other in its high 128 bits, and the
// byte shuffles and alignments never cross those halves.

// The schedule of two blocks, W[t] + K[t] for all eighty t: pair k of the
// first block at wk[4k], wk[4k + 1], of the second at wk[4k + 2], wk[4k + 3].
// It is made in forty steps, one pair of words each, spread between the
// rounds of the two blocks before, so that the vector units work while the
// rounds wait on their own results. The last eight pairs stay in registers.
// Sigmas supplies the schedule's two small sigma functions, Small0 and
// Small1, on four words at once.
template <class Sigmas>
struct Schedule {
    const std::uint8_t* first;
    const std::uint8_t* second;
    std::uint64_t* wk;
    __m256i pairs[8];
};

// Steps 0 to 7 read pairs of message words, big-endian; the others expand
// the eight pairs before them.
template <int kStep, class Sigmas>
SHA512_STEP void ScheduleStep(Schedule<Sigmas>& s)
{
    constexpr int k = kStep % 8;
    __m256i& x = s.pairs[k];
    if constexpr (kStep < 8) {
        const __m256i byteOrder =
            _mm256_set_epi64x(0x08090A0B0C0D0E0F, 0x0001020304050607, 0x08090A0B0C0D0E0F, 0x0001020304050607);
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.first + 16 * kStep));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.second + 16 * kStep));
        x = _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1), byteOrder);
    } else {
        // W[t - 15] and W[t - 7] straddle two pairs each.
        const __m256i w15 = _mm256_alignr_epi8(s.pairs[(k + 1) % 8], x, 8);
        const __m256i w7 = _mm256_alignr_epi8(s.pairs[(k + 5) % 8], s.pairs[(k + 4) % 8], 8);
        x = _mm256_add_epi64(_mm256_add_epi64(x, Sigmas::Small0(w15)),
                             _mm256_add_epi64(w7, Sigmas::Small1(s.pairs[(k + 7) % 8])));
    }
    const __m128i constants = _mm_load_si128(reinterpret_cast<const __m128i*>(kSha512RoundConstants) + kStep);
    _mm256_store_si256(reinterpret_cast<__m256i*>(s.wk + 4 * kStep),
                       _mm256_add_epi64(x, _mm256_broadcastsi128_si256(constants)));
}

// Every step at once, for the first two blocks of a call.
template <int kStep = 0, class Sigmas>
SHA512_STEP void ScheduleAll(Schedule<Sigmas>& s)
{
    if constexpr (kStep < 40) {
        ScheduleStep<kStep>(s);
        ScheduleAll<kStep + 1>(s);
    }
}

// ---------------------------------------------------------------- the rounds

// A constant rotation: one RORX, which leaves its source as it was.
SHA512_STEP std::uint64_t Ror(std::uint64_t x, int n)
{
    return (x >> n) | (x << (64 - n));
}

// A partial sum the compiler must take as it stands: it would otherwise
// add the terms in an order that lengthens the rounds' dependency chains.
SHA512_STEP void Keep([[maybe_unused]] std::uint64_t& v)
{
#if defined(__GNUC__) || defined(__clang__)
    __asm__("" : "+r"(v));
#endif
}

// One round; the callers rename the words instead of moving them. Each of
// the two chains that run through the rounds takes four operations:
//   e' = d + h + W + K, none of which waits for e, then + Ch(e, f, g), then
//        + Sigma1(e);
//   a' = e' - d + Maj(a, b, c) + Sigma0(a), with Maj(a, b, c) taken as
//        (a & (b ^ c)) + (b & c), two parts without common bits, of which
//        b ^ c and b & c are the previous round's a ^ b and a & b.
// `bc` and `bAndC` come in as b ^ c and b & c and leave as a ^ b and a & b.
SHA512_STEP void Round(std::uint64_t a, std::uint64_t b, std::uint64_t& d, std::uint64_t e, std::uint64_t f,
                       std::uint64_t g, std::uint64_t& h, std::uint64_t& bc, std::uint64_t& bAndC, std::uint64_t wk)
{
    std::uint64_t less = bAndC - d;  // b & c - d
    Keep(less);
    std::uint64_t sum = h + wk;
    sum += d;
    Keep(sum);
    sum += g ^ (e & (f ^ g));
    Keep(sum);
    d = sum + (Ror(e, 14) ^ Ror(e, 18) ^ Ror(e, 41));  // e'
    sum = d + less;
    Keep(sum);
    sum += a & bc;
    Keep(sum);
    h = sum + (Ror(a, 28) ^ Ror(a, 34) ^ Ror(a, 39));  // a'
    bc = a ^ b;
    bAndC = a & b;
}

// Eighty rounds of one block, whose W[t] + K[t] is at wk[4 * (t / 2) + t % 2],
// with steps kFirstStep to kFirstStep + 19 of the next schedule between them.
template <int kFirstStep, int kGroup = 0, class Sigmas>
SHA512_STEP void Rounds(std::uint64_t& a, std::uint64_t& b, std::uint64_t& c, std::uint64_t& d, std::uint64_t& e,
                        std::uint64_t& f, std::uint64_t& g, std::uint64_t& h, std::uint64_t& bc, std::uint64_t& bAndC,
                        const std::uint64_t* wk, Schedule<Sigmas>& next)
{
    if constexpr (kGroup < 10) {
        const std::uint64_t* w = wk + 16 * kGroup;
        Round(a, b, d, e, f, g, h, bc, bAndC, w[0]);
        Round(h, a, c, d, e, f, g, bc, bAndC, w[1]);
        ScheduleStep<kFirstStep + 2 * kGroup>(next);
        Round(g, h, b, c, d, e, f, bc, bAndC, w[4]);
        Round(f, g, a, b, c, d, e, bc, bAndC, w[5]);
        Round(e, f, h, a, b, c, d, bc, bAndC, w[8]);
        Round(d, e, g, h, a, b, c, bc, bAndC, w[9]);
        ScheduleStep<kFirstStep + 2 * kGroup + 1>(next);
        Round(c, d, f, g, h, a, b, bc, bAndC, w[12]);
        Round(b, c, e, f, g, h, a, bc, bAndC, w[13]);
        Rounds<kFirstStep, kGroup + 1>(a, b, c, d, e, f, g, h, bc, bAndC, wk, next);
    }
}

// One block into the chaining state.
template <int kFirstStep, class Sigmas>
SHA512_STEP void Block(std::uint64_t* state, const std::uint64_t* wk, Schedule<Sigmas>& next)
{
    std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    std::uint64_t bc = b ^ c, bAndC = b & c;
    Rounds<kFirstStep>(a, b, c, d, e, f, g, h, bc, bAndC, wk, next);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

// Two blocks at a time: their rounds run while the schedule of the next two
// is made, the first two's alone before. A block left over, the last of an
// odd count, has its rounds alone. Where no blocks follow, the steps read
// the last ones again rather than anything past the caller's buffer. The
// record's little-endian words are the state as it is.
template <class Sigmas>
SHA512_STEP void CompressTwoAtATime(Sha512Digest& state, const std::uint8_t* blocks, std::size_t count)
{
    if (count == 0)
        return;
    alignas(32) std::uint64_t h[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(h),
                       _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state.bytes)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(h + 4),
                       _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state.bytes + 32)));

    alignas(32) std::uint64_t wk[2][160];
    Schedule<Sigmas> first{blocks, count > 1 ? blocks + kSha512BlockSize : blocks, wk[0], {}};
    ScheduleAll(first);
    for (int current = 0; count > 0; current ^= 1) {
        const std::size_t taken = count > 1 ? 2 : 1;
        const std::uint8_t* const following = blocks + taken * kSha512BlockSize;
        count -= taken;
        Schedule<Sigmas> next{
            count > 0 ? following : blocks, count > 1 ? following + kSha512BlockSize : blocks, wk[current ^ 1], {}};
        Block<0>(h, wk[current], next);
        if (taken == 2)
            Block<20>(h, wk[current] + 2, next);
        blocks = following;
    }

    _mm256_storeu_si256(reinterpret_cast<__m256i*>(state.bytes),
                        _mm256_load_si256(reinterpret_cast<const __m256i*>(h)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(state.bytes + 32),
                        _mm256_load_si256(reinterpret_cast<const __m256i*>(h + 4)));
}

}  // namespace
}  // namespace engine

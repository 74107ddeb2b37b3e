// SHA-3's sponge, its portable block routine and the choice among its block
// routines.
#include "engine/sha3.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "engine/digest_paths.h"
#include "engine/path_family.h"

// The rounds are written as small steps that only pay off when inlined into
// one straight run, with the lanes' arrays split into registers.
#if defined(__GNUC__) || defined(__clang__)
#define SHA3_STEP [[gnu::always_inline]] inline
#else
#define SHA3_STEP inline
#endif

namespace engine {
namespace {

// ---------------------------------------------------------------- the constants, from the standard

// rc(t) of FIPS 202, Algorithm 5: bit i of r is R[i].
consteval bool RoundConstantBit(int t)
{
    if (t % 255 == 0)
        return true;
    unsigned r = 1;
    for (int i = 1; i <= t % 255; ++i) {
        r <<= 1;
        if (r & 0x100)
            r ^= 0x171;  // R[0], R[4], R[5] and R[6] take R[8], which Trunc8 drops
    }
    return r & 1;
}

// Algorithm 6: bit 2^j - 1 of round ir's constant is rc(j + 7 ir).
consteval bool RoundConstantsHold()
{
    for (int round = 0; round < 24; ++round) {
        std::uint64_t rc = 0;
        for (int j = 0; j <= 6; ++j)
            if (RoundConstantBit(j + 7 * round))
                rc |= std::uint64_t{1} << ((1 << j) - 1);
        if (rc != kKeccakRoundConstants[round])
            return false;
    }
    return true;
}

// Algorithm 2: from (1, 0), step t rotates by (t + 1)(t + 2) / 2 and moves
// to (y, 2x + 3y).
consteval bool RotationsHold()
{
    int offsets[25] = {};
    int x = 1, y = 0;
    for (int t = 0; t < 24; ++t) {
        offsets[x + 5 * y] = (t + 1) * (t + 2) / 2 % 64;
        const int next = (2 * x + 3 * y) % 5;
        x = y;
        y = next;
    }
    for (int i = 0; i < 25; ++i)
        if (offsets[i] != kKeccakRotations[i])
            return false;
    return true;
}

static_assert(RoundConstantsHold(), "the round constants are not FIPS 202's");
static_assert(RotationsHold(), "rho's rotations are not FIPS 202's");

// ---------------------------------------------------------------- the portable rounds

SHA3_STEP std::uint64_t LoadLane(const std::uint8_t* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big)
        v = ((v & 0x00000000000000FF) << 56) | ((v & 0x000000000000FF00) << 40) | ((v & 0x0000000000FF0000) << 24) |
            ((v & 0x00000000FF000000) << 8) | ((v & 0x000000FF00000000) >> 8) | ((v & 0x0000FF0000000000) >> 24) |
            ((v & 0x00FF000000000000) >> 40) | ((v & 0xFF00000000000000) >> 56);
    return v;
}

// ---------------------------------------------------------------- lane complementing

// Chi's ~b & c costs x86-64 without BMI a copy, a NOT and an AND. Some lanes
// are kept complemented through the permutation instead: with b held as ~b,
// ~b & c is a plain AND; with c held as ~c, ~b & c = ~(b | ~c), an OR whose
// result is complemented. Theta's column sums stay right when every column
// holds the same parity of complemented lanes; rho and pi carry a lane's
// complement with it. Of all 2^25 sets, a search over them found none that
// lets chi spend fewer operations than this one (bit x + 5y; odd in every
// column): 57 a round against 75. That made the rounds a tenth faster here.
constexpr std::uint32_t kComplemented = 0x1308DC;

// How chi makes output lane x of a row, from the row's lanes as held.
struct ChiStep {
    bool notA = false, notB = false, notC = false;  // take the lane's NOT, made once per row
    int form = 0;  // 0: a ^ (b & c); 1: a ^ (b | c); 2: a ^ ((b | c) ^ b); 3: a ^ ((b | c) ^ c)
};

struct ChiRow {
    int nots = 0;  // the lanes of the row whose NOT is made
    ChiStep steps[5];
};

struct ChiPlan {
    ChiRow rows[5];
    int operations = 0;
};

// For each output row, the cheapest way to reach the complements wanted
// after chi from those its lanes arrive with: which lanes to NOT, and for
// each output which form, given the complements of its inputs as taken.
consteval ChiPlan MakeChiPlan()
{
    ChiPlan plan;
    for (int y = 0; y < 5; ++y) {
        int in[5] = {}, out[5] = {};
        for (int x = 0; x < 5; ++x) {
            // Output (x, y) of pi takes lane (x + 3y, x).
            in[x] = (kComplemented >> ((x + 3 * y) % 5 + 5 * x)) & 1;
            out[x] = (kComplemented >> (x + 5 * y)) & 1;
        }
        int best = 1 << 30;
        for (int nots = 0; nots < 32; ++nots) {
            ChiRow row;
            row.nots = nots;
            int cost = 0;
            for (int k = 0; k < 5; ++k)
                cost += (nots >> k) & 1;
            for (int x = 0; x < 5 && cost < best; ++x) {
                const int lanes[3] = {x, (x + 1) % 5, (x + 2) % 5};
                int stepCost = 1 << 30;
                for (int flips = 0; flips < 8; ++flips) {
                    bool usable = true;
                    int held[3];
                    for (int k = 0; k < 3; ++k) {
                        const int flip = (flips >> k) & 1;
                        usable = usable && (!flip || ((nots >> lanes[k]) & 1));
                        held[k] = in[lanes[k]] ^ flip;
                    }
                    // b and c held differently: one AND or OR, and the
                    // result complemented as a is, or the other way round.
                    // Held alike, (b | c) ^ b gives ~b & c as c is held.
                    const int operations = held[1] != held[2] ? 2 : 3;
                    const int result = held[1] != held[2] ? (held[1] ? held[0] : 1 - held[0]) : held[0];
                    if (usable && result == out[x] && operations < stepCost) {
                        stepCost = operations;
                        row.steps[x] = {(flips & 1) != 0, (flips & 2) != 0, (flips & 4) != 0,
                                        held[1] != held[2] ? (held[1] ? 0 : 1) : (held[1] ? 3 : 2)};
                    }
                }
                cost += stepCost;
            }
            if (cost < best) {
                best = cost;
                plan.rows[y] = row;
            }
        }
        plan.operations += best;
    }
    return plan;
}

constexpr ChiPlan kChiPlan = MakeChiPlan();
static_assert(kChiPlan.operations == 57, "the complemented lanes no longer save what they did");

// One round from a into e. Output row y of pi takes the lanes (x + 3y, x),
// each given theta's column sums and rho's rotation on the way in; chi then
// mixes the row. Writing each result where pi puts it, instead of moving the
// lanes, is what lets the two arrays stay in registers.
template <int kY>
SHA3_STEP void ChiRowOf(const std::uint64_t (&a)[25], const std::uint64_t (&d)[5], std::uint64_t (&e)[25])
{
    constexpr ChiRow plan = kChiPlan.rows[kY];
    std::uint64_t b[5], n[5];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) {
        const int column = (x + 3 * kY) % 5, from = column + 5 * x;
        b[x] = std::rotl(a[from] ^ d[column], kKeccakRotations[from]);
        n[x] = ((plan.nots >> x) & 1) ? ~b[x] : 0;
    }
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) {
        const ChiStep& step = plan.steps[x];
        const std::uint64_t p = step.notA ? n[x] : b[x];
        const std::uint64_t q = step.notB ? n[(x + 1) % 5] : b[(x + 1) % 5];
        const std::uint64_t r = step.notC ? n[(x + 2) % 5] : b[(x + 2) % 5];
        std::uint64_t t;
        switch (step.form) {
        case 0:
            t = q & r;
            break;
        case 1:
            t = q | r;
            break;
        case 2:
            t = (q | r) ^ q;
            break;
        default:
            t = (q | r) ^ r;
            break;
        }
        e[x + 5 * kY] = p ^ t;
    }
}

SHA3_STEP void Round(const std::uint64_t (&a)[25], std::uint64_t (&e)[25], std::uint64_t roundConstant)
{
    std::uint64_t c[5], d[5];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x)
        c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x)
        d[x] = c[(x + 4) % 5] ^ std::rotl(c[(x + 1) % 5], 1);
    ChiRowOf<0>(a, d, e);
    ChiRowOf<1>(a, d, e);
    ChiRowOf<2>(a, d, e);
    ChiRowOf<3>(a, d, e);
    ChiRowOf<4>(a, d, e);
    e[0] ^= roundConstant;  // lane (0, 0) is held as it is
}

static_assert((kComplemented & 1) == 0);

}  // namespace

void Sha3BlocksPortable(std::uint64_t (&lanes)[25], const std::uint8_t* blocks, std::size_t count, std::size_t rate)
{
    std::uint64_t a[25], e[25];
#pragma GCC unroll 25
    for (int i = 0; i < 25; ++i)
        a[i] = (kComplemented >> i) & 1 ? ~lanes[i] : lanes[i];
    const std::size_t words = rate / 8;
    for (; count > 0; --count, blocks += rate) {
        // Unrolled with the test inside, so that every lane keeps a register.
        // A complemented lane takes the message as it is: ~a ^ m = ~(a ^ m).
#pragma GCC unroll 25
        for (std::size_t i = 0; i < 25; ++i)
            if (i < words)
                a[i] ^= LoadLane(blocks + 8 * i);
        for (int round = 0; round < 24; round += 2) {
            Round(a, e, kKeccakRoundConstants[round]);
            Round(e, a, kKeccakRoundConstants[round + 1]);
        }
    }
#pragma GCC unroll 25
    for (int i = 0; i < 25; ++i)
        lanes[i] = (kComplemented >> i) & 1 ? ~a[i] : a[i];
}

// ---------------------------------------------------------------- the sponge

void Sha3Init(Sha3State& state, std::size_t digestBytes)
{
    // The four digests of FIPS 202; anything else is a caller's bug that
    // must not quietly give some other digest.
    if (digestBytes != 28 && digestBytes != 32 && digestBytes != 48 && digestBytes != 64)
        std::abort();
    std::memset(&state, 0, sizeof state);
    state.digestBytes = digestBytes;
    state.rate = 200 - 2 * digestBytes;
}

void Sha3Update(Sha3State& state, const std::uint8_t* bytes, std::size_t size)
{
    if (size == 0)
        return;
    const Sha3BlocksFn blocks = RoutineInUse<Sha3Path>();
    const std::size_t rate = state.rate;
    if (state.buffered > 0) {
        const std::size_t take = std::min(rate - state.buffered, size);
        std::memcpy(state.block + state.buffered, bytes, take);
        state.buffered += take;
        bytes += take;
        size -= take;
        if (state.buffered < rate)
            return;
        blocks(state.lanes, state.block, 1, rate);
        state.buffered = 0;
    }
    // Whole blocks straight from the caller's bytes, all in one call.
    const std::size_t whole = size / rate;
    if (whole > 0) {
        blocks(state.lanes, bytes, whole, rate);
        bytes += whole * rate;
        size -= whole * rate;
    }
    if (size > 0) {
        std::memcpy(state.block, bytes, size);
        state.buffered = size;
    }
}

void Sha3Final(Sha3State& state, std::uint8_t* digest)
{
    const std::size_t rate = state.rate;
    std::memset(state.block + state.buffered, 0, rate - state.buffered);
    state.block[state.buffered] ^= 0x06;
    state.block[rate - 1] ^= 0x80;
    RoutineInUse<Sha3Path>()(state.lanes, state.block, 1, rate);
    state.buffered = 0;
    for (std::size_t i = 0; i < state.digestBytes; ++i)
        digest[i] = static_cast<std::uint8_t>(state.lanes[i / 8] >> (8 * (i % 8)));
}

// ---------------------------------------------------------------- the choice

namespace {

std::uint8_t HexValue(char c)
{
    return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10);
}

// A message padded by hand, run through `blocks` from one byte past a 64-byte
// boundary, all blocks at once or one per call, must leave `digest` (lower-case
// hex) in the first lanes.
bool SampleHolds(Sha3BlocksFn blocks, std::size_t digestBytes, std::size_t length, bool counter, const char* digest,
                 bool blockByBlock)
{
    constexpr std::size_t kLongest = 1000;
    alignas(64) std::uint8_t buffer[1 + kLongest + 200] = {};
    std::uint8_t* const message = buffer + 1;
    const std::size_t rate = 200 - 2 * digestBytes;
    for (std::size_t i = 0; i < length; ++i)
        message[i] = counter ? static_cast<std::uint8_t>(i % 251) : std::uint8_t{0xA3};
    const std::size_t count = length / rate + 1;
    message[length] ^= 0x06;
    message[count * rate - 1] ^= 0x80;

    std::uint64_t lanes[25] = {};
    if (blockByBlock) {
        for (std::size_t b = 0; b < count; ++b)
            blocks(lanes, message + b * rate, 1, rate);
    } else {
        blocks(lanes, message, count, rate);
    }
    for (std::size_t i = 0; i < digestBytes; ++i) {
        const auto want = static_cast<std::uint8_t>(HexValue(digest[2 * i]) << 4 | HexValue(digest[2 * i + 1]));
        if (static_cast<std::uint8_t>(lanes[i / 8] >> (8 * (i % 8))) != want)
            return false;
    }
    return true;
}

}  // namespace

// NIST's examples of 1600 bits of 0xA3, two or three blocks at every rate,
// and a thousand bytes of a counter mod 251 in SHA3-512's fourteen blocks
// (its digest as hashlib gives it), so that blocks dropped, repeated or taken
// out of order change the result.
bool ProvesItself(Sha3BlocksFn blocks)
{
    static constexpr struct {
        std::size_t digestBytes, length;
        bool counter;
        const char* digest;
    } kSamples[] = {
        {28, 200, false, "9376816aba503f72f96ce7eb65ac095deee3be4bf9bbc2a1cb7e11e0"},
        {32, 200, false, "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787"},
        {48, 200, false,
         "1881de2ca7e41ef95dc4732b8f5f002b189cc1e42b74168ed1732649ce1dbcdd76197a31fd55ee989f2d7050dd473e8f"},
        {64, 200, false,
         "e76dfad22084a8b1467fcf2ffa58361bec7628edf5f3fdc0e4805dc48caeeca81b7c13c30adf52a3659584739a2df46b"
         "e589c51ca1a4a8416df6545a1ce8ba00"},
        {64, 1000, true,
         "b8030d306ae990bc794bfb3a6100f67851889d6c272257afac7d1077a18660d6ea8d0da5d2299c3ebaa0d34baf62cc58"
         "ac1fd4476506cf512a4897bb083a6fc4"},
    };
    for (const auto& s : kSamples)
        for (const bool blockByBlock : {false, true})
            if (!SampleHolds(blocks, s.digestBytes, s.length, s.counter, s.digest, blockByBlock))
                return false;
    return true;
}

template <>
constexpr PathEntry<Sha3Path> kPathRows<Sha3Path>[] = {
    {Sha3Path::Portable, "portable", Sha3BlocksPortable, &CpuFeatures::everywhere},
    {Sha3Path::Avx512, "AVX-512", VELLUMARK_X86_ONLY(Sha3BlocksAvx512), &CpuFeatures::avx512f},
};

// ---------------------------------------------------------------- lanes

void Sha3LanesOneAtATime(Sha3LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count,
                         std::size_t rate)
{
    const Sha3BlocksFn routine = RoutineInUse<Sha3Path>();
    for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
        if (((active >> lane) & 1) == 0)
            continue;
        std::uint64_t lanes[25];
        for (std::size_t i = 0; i < 25; ++i)
            lanes[i] = states.words[i][lane];
        routine(lanes, blocks[lane], count, rate);
        for (std::size_t i = 0; i < 25; ++i)
            states.words[i][lane] = lanes[i];
    }
}

namespace {

// Every message up to `width` from an unaligned copy of the sample (`blocks`
// blocks, padded by hand), in one call or one block per call, must give the
// digest; messages past the width are not asked about.
bool LanesSampleHolds(Sha3LanesFn routine, std::size_t width, std::size_t digestBytes, const char* digest,
                      bool blockByBlock)
{
    const std::size_t rate = 200 - 2 * digestBytes, count = 200 / rate + 1;
    alignas(64) std::uint8_t buffer[1 + kMaxLanes * 2 * kSha3MaxRate] = {};
    const std::uint8_t* blocks[kMaxLanes] = {};
    for (std::size_t lane = 0; lane < width; ++lane) {
        std::uint8_t* const message = buffer + 1 + lane * count * rate;
        std::memset(message, 0xA3, 200);
        message[200] ^= 0x06;
        message[count * rate - 1] ^= 0x80;
        blocks[lane] = message;
    }
    Sha3LaneStates states;
    std::memset(&states, 0, sizeof states);
    const LaneMask all = static_cast<LaneMask>((LaneMask{1} << width) - 1);
    if (blockByBlock) {
        for (std::size_t b = 0; b < count; ++b) {
            routine(states, blocks, all, 1, rate);
            for (std::size_t lane = 0; lane < width; ++lane)
                blocks[lane] += rate;
        }
    } else {
        routine(states, blocks, all, count, rate);
    }
    for (std::size_t lane = 0; lane < width; ++lane)
        for (std::size_t i = 0; i < digestBytes; ++i) {
            const auto want = static_cast<std::uint8_t>(HexValue(digest[2 * i]) << 4 | HexValue(digest[2 * i + 1]));
            if (static_cast<std::uint8_t>(states.words[i / 8][lane] >> (8 * (i % 8))) != want)
                return false;
        }
    return true;
}

// Each message its own bytes (a counter mod 251 from an offset of its own)
// and its own lanes; half the messages left out, which keep their lanes.
bool LanesMatchOneAtATime(Sha3LanesFn routine, std::size_t width, bool blockByBlock)
{
    constexpr std::size_t kRate = 136, kCount = 3;
    alignas(64) std::uint8_t buffer[1 + kMaxLanes * (kCount * kRate + 1)];
    for (std::size_t i = 0; i < sizeof buffer; ++i)
        buffer[i] = static_cast<std::uint8_t>(i % 251);
    const std::uint8_t* blocks[kMaxLanes] = {};
    for (std::size_t lane = 0; lane < width; ++lane)
        blocks[lane] = buffer + 1 + lane * (kCount * kRate + 1);
    Sha3LaneStates first;
    for (std::size_t i = 0; i < 25; ++i)
        for (std::size_t lane = 0; lane < kMaxLanes; ++lane)
            first.words[i][lane] = kKeccakRoundConstants[(i + lane) % 24] * (2 * lane + 1) + i;
    const LaneMask all = static_cast<LaneMask>((LaneMask{1} << width) - 1);
    for (const LaneMask half : {LaneMask{0x5555}, LaneMask{0xAAAA}}) {
        Sha3LaneStates states = first;
        const LaneMask active = all & half;
        if (blockByBlock) {
            const std::uint8_t* at[kMaxLanes];
            std::memcpy(at, blocks, sizeof at);
            for (std::size_t b = 0; b < kCount; ++b) {
                routine(states, at, active, 1, kRate);
                for (std::size_t lane = 0; lane < width; ++lane)
                    at[lane] += kRate;
            }
        } else {
            routine(states, blocks, active, kCount, kRate);
        }
        for (std::size_t lane = 0; lane < width; ++lane) {
            std::uint64_t want[25];
            for (std::size_t i = 0; i < 25; ++i)
                want[i] = first.words[i][lane];
            if ((active >> lane) & 1)
                Sha3BlocksPortable(want, blocks[lane], kCount, kRate);
            for (std::size_t i = 0; i < 25; ++i)
                if (states.words[i][lane] != want[i])
                    return false;
        }
    }
    return true;
}

}  // namespace

bool ProvesItself(Sha3LanesFn lanes, std::size_t width)
{
    if (width == 0 || width > kMaxLanes)
        return false;
    static constexpr const char* kSha3_256 = "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787";
    static constexpr const char* kSha3_512 =
        "e76dfad22084a8b1467fcf2ffa58361bec7628edf5f3fdc0e4805dc48caeeca81b7c13c30adf52a3659584739a2df46b"
        "e589c51ca1a4a8416df6545a1ce8ba00";
    for (const bool blockByBlock : {false, true})
        if (!LanesSampleHolds(lanes, width, 32, kSha3_256, blockByBlock) ||
            !LanesSampleHolds(lanes, width, 64, kSha3_512, blockByBlock) ||
            !LanesMatchOneAtATime(lanes, width, blockByBlock))
            return false;
    return true;
}

template <>
constexpr PathEntry<Sha3LanePath> kPathRows<Sha3LanePath>[] = {
    {Sha3LanePath::OneAtATime, "one at a time", Sha3LanesOneAtATime, &CpuFeatures::everywhere, 1},
    {Sha3LanePath::Avx512, "AVX-512", VELLUMARK_X86_ONLY(Sha3LanesAvx512), &CpuFeatures::avx512f, 8},
};

// Each family's choice, compiled here and nowhere else.
template class PathChoice<Sha3Path>;
template class PathChoice<Sha3LanePath>;

}  // namespace engine

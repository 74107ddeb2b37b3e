// SHA-3's block routine with the state in five 512-bit registers (AVX-512F).
// Built with -mavx512f and called only where the CPU has it (digest_paths.cpp);
// it includes nothing that could bring a shared inline function into this
// file.
//
// Each register holds one line of five lanes of the 5 x 5 grid in its slots
// 0 to 4 (slots 5 to 7 are never read). Between blocks register y holds row
// y, lane (x, y) in slot x, so a block's lanes go in with one masked load per
// row. Within a round no lane ever moves to another register: pi only changes
// which positions each register holds, as it maps lines onto lines. What
// moves are lanes within a register, and only by rotations of the five slots:
//
// - theta needs every column at the same slot in all five registers. Then the
//   column sums are four three-way XORs of whole registers, and the sums of
//   the columns beside each one are those rotated. In one round in six the
//   registers hold whole columns instead, and theta sums within each.
// - chi needs lanes (x + 1, y) and (x + 2, y) in the slot of (x, y). For the
//   lines pi leaves, those sit in two other registers (or the same one),
//   each line at a slot offset of its own: three rotations per register.
//
// Which slot each column takes in each round is chosen, when this file is
// compiled, so that every one of these moves is a rotation: the order of the
// slots steps by a multiple of the column that follows pi's mapping. The
// plan returns to rows after the 24 rounds.
//
// A rotation costs a cross-lane permute (five cycles here); the rounds are
// ordered so that theta's two and chi's are all that lie on the path from one
// round to the next.
#include "engine/sha3.h"

#if defined(__x86_64__)

// GCC 12's AVX-512 headers fill unused lanes from a variable initialised
// with itself, which -Wmaybe-uninitialized reports wherever the intrinsics
// are inlined (GCC bug 105593, mended in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#define SHA3_AVX512_STEP [[gnu::always_inline]] inline

namespace engine {
namespace {

// ---------------------------------------------------------------- the plan, made when compiling

struct Position {
    int x = 0, y = 0;
};

// pi: the lane at (x, y) goes to (y, 2x + 3y).
consteval Position Pi(Position p)
{
    return {p.y, (2 * p.x + 3 * p.y) % 5};
}

// chi's inputs of one register: its own lanes rotated by `self`, and the
// neighbours' lines, registers `next` and `second`, rotated by their amounts.
struct ChiInputs {
    int self = 0, next = 0, nextRotation = 0, second = 0, secondRotation = 0;
};

struct RoundPlan {
    bool columns = false;  // the registers hold whole columns at theta
    int step = 0;          // otherwise the slot of column x + 1 is that of x plus this
    int column[5] = {};    // with whole columns: the column each register holds
    int registerOfColumn[5] = {};
    int rotations[5][5] = {};  // rho's, register by register, slot by slot
    ChiInputs chi[5];
    int iota = 0;  // the register that holds lane (0, 0), in slot 0, after chi
};

struct Plan {
    RoundPlan rounds[24];
    bool complete = true;
};

consteval int Mod5(int v)
{
    return (v % 5 + 5) % 5;
}

consteval Plan MakePlan()
{
    Plan plan;
    Position layout[5][5];  // register, slot
    for (int r = 0; r < 5; ++r)
        for (int s = 0; s < 5; ++s)
            layout[r][s] = {s, r};

    for (int i = 0; i < 24; ++i) {
        RoundPlan& round = plan.rounds[i];
        bool columns = true;
        for (int r = 0; r < 5; ++r)
            for (int s = 0; s < 5; ++s)
                columns = columns && layout[r][s].x == layout[r][0].x;
        round.columns = columns;
        if (columns) {
            for (int r = 0; r < 5; ++r) {
                round.column[r] = layout[r][0].x;
                round.registerOfColumn[layout[r][0].x] = r;
            }
        } else {
            int slot0 = 0, slot1 = 0;
            for (int s = 0; s < 5; ++s) {
                if (layout[0][s].x == 0)
                    slot0 = s;
                if (layout[0][s].x == 1)
                    slot1 = s;
            }
            round.step = Mod5(slot1 - slot0);
            for (int r = 0; r < 5; ++r)
                for (int s = 0; s < 5; ++s)
                    if (Mod5(round.step * layout[r][s].x + slot0) != s)
                        plan.complete = false;  // a column off its slot in some register
        }
        for (int r = 0; r < 5; ++r)
            for (int s = 0; s < 5; ++s)
                round.rotations[r][s] = kKeccakRotations[layout[r][s].x + 5 * layout[r][s].y];

        Position after[5][5];
        bool nextColumns = true;
        for (int r = 0; r < 5; ++r)
            for (int s = 0; s < 5; ++s) {
                after[r][s] = Pi(layout[r][s]);
                nextColumns = nextColumns && after[r][s].x == Pi(layout[r][0]).x;
            }
        const auto find = [&](Position p, int& reg, int& slot) {
            for (int r = 0; r < 5; ++r)
                for (int s = 0; s < 5; ++s)
                    if (after[r][s].x == p.x && after[r][s].y == p.y) {
                        reg = r;
                        slot = s;
                    }
        };

        // The next order: slot = step * x (or * y, for whole columns), the
        // first step for which every chi input is a rotation.
        bool found = false;
        for (int step = 1; step < 5 && !found; ++step) {
            Position next[5][5];
            for (int r = 0; r < 5; ++r)
                for (int s = 0; s < 5; ++s) {
                    const Position p = after[r][s];
                    next[r][Mod5(step * (nextColumns ? p.y : p.x))] = p;
                }
            bool rotations = true;
            ChiInputs chi[5];
            int iota = 0;
            for (int r = 0; r < 5; ++r) {
                for (int s = 0; s < 5; ++s) {
                    const Position p = next[r][s];
                    int reg = 0, slot = 0;
                    find(p, reg, slot);
                    const int self = Mod5(slot - s);
                    find({(p.x + 1) % 5, p.y}, reg, slot);
                    const int nextReg = reg, nextRotation = Mod5(slot - s);
                    find({(p.x + 2) % 5, p.y}, reg, slot);
                    const int secondReg = reg, secondRotation = Mod5(slot - s);
                    if (s == 0)
                        chi[r] = {self, nextReg, nextRotation, secondReg, secondRotation};
                    else if (chi[r].self != self || chi[r].next != nextReg || chi[r].nextRotation != nextRotation ||
                             chi[r].second != secondReg || chi[r].secondRotation != secondRotation)
                        rotations = false;
                    if (p.x == 0 && p.y == 0) {
                        iota = r;
                        rotations = rotations && s == 0;
                    }
                }
            }
            if (rotations) {
                found = true;
                for (int r = 0; r < 5; ++r) {
                    round.chi[r] = chi[r];
                    for (int s = 0; s < 5; ++s)
                        layout[r][s] = next[r][s];
                }
                round.iota = iota;
            }
        }
        plan.complete = plan.complete && found;
    }
    for (int r = 0; r < 5; ++r)
        for (int s = 0; s < 5; ++s)
            plan.complete = plan.complete && layout[r][s].x == s && layout[r][s].y == r;
    return plan;
}

constexpr Plan kPlan = MakePlan();
static_assert(kPlan.complete, "no round order whose lane moves are all rotations");

// ---------------------------------------------------------------- the rounds

using Vector = __m512i;

SHA3_AVX512_STEP Vector Xor3(Vector a, Vector b, Vector c)
{
    return _mm512_ternarylogic_epi64(a, b, c, 0x96);
}

// The truth table of chi's a ^ (~b & c) for the three-way logic
// instruction whose operands, in order, are chi's inputs `order[0]`,
// `order[1]` and `order[2]` (0 for a, 1 for b, 2 for c). Its first operand,
// which it overwrites, is its quickest: the input ready last goes there.
consteval int ChiTable(int first, int second, int third)
{
    const int order[3] = {first, second, third};
    int table = 0;
    for (int i = 0; i < 8; ++i) {
        int bit[3] = {};
        for (int k = 0; k < 3; ++k)
            bit[order[k]] = (i >> (2 - k)) & 1;
        if (bit[0] ^ ((1 - bit[1]) & bit[2]))
            table |= 1 << i;
    }
    return table;
}

constexpr int kChiAbc = ChiTable(0, 1, 2), kChiBac = ChiTable(1, 0, 2), kChiCab = ChiTable(2, 0, 1);
static_assert(kChiAbc == 0xD2);

// Slot s takes slot s + k of the five.
template <int kSlots>
SHA3_AVX512_STEP Vector Rotate(Vector v)
{
    if constexpr (kSlots == 0)
        return v;
    else
        return _mm512_permutexvar_epi64(_mm512_setr_epi64(kSlots % 5, (kSlots + 1) % 5, (kSlots + 2) % 5,
                                                          (kSlots + 3) % 5, (kSlots + 4) % 5, 5, 6, 7),
                                        v);
}

SHA3_AVX512_STEP Vector Rotate(Vector v, int slots)
{
    switch (slots) {
    case 1:
        return Rotate<1>(v);
    case 2:
        return Rotate<2>(v);
    case 3:
        return Rotate<3>(v);
    case 4:
        return Rotate<4>(v);
    default:
        return v;
    }
}

template <int kRound>
SHA3_AVX512_STEP void Round(Vector (&lines)[5])
{
    constexpr const RoundPlan& plan = kPlan.rounds[kRound];
    Vector t[5];
    if constexpr (!plan.columns) {
        // The register that took the last round constant comes last into the
        // sum: it is ready a step after the others.
        int order[5] = {0, 1, 2, 3, 4};
        if constexpr (kRound > 0) {
            constexpr int late = kPlan.rounds[kRound - 1].iota;
            for (int k = 0, r = 0; r < 5; ++r)
                if (r != late)
                    order[k++] = r;
            order[4] = late;
        }
        const Vector c =
            Xor3(Xor3(lines[order[0]], lines[order[1]], lines[order[2]]), lines[order[3]], lines[order[4]]);
        // D[x] = C[x - 1] ^ rol(C[x + 1], 1), the later one first: the
        // instruction's first operand is its quickest.
        const Vector before = Rotate(c, (5 - plan.step) % 5);
        const Vector after = Rotate(_mm512_rol_epi64(c, 1), plan.step);
#pragma GCC unroll 5
        for (int r = 0; r < 5; ++r)
            t[r] = Xor3(after, before, lines[r]);
    } else {
        // Whole columns: each register's sum in every slot.
        Vector sums[5], rotated[5];
#pragma GCC unroll 5
        for (int r = 0; r < 5; ++r) {
            const Vector v = lines[r];
            sums[r] = Xor3(Xor3(v, Rotate<1>(v), Rotate<2>(v)), Rotate<3>(v), Rotate<4>(v));
            rotated[r] = _mm512_rol_epi64(sums[r], 1);
        }
#pragma GCC unroll 5
        for (int r = 0; r < 5; ++r) {
            const int x = plan.column[r];
            t[r] =
                Xor3(rotated[plan.registerOfColumn[(x + 1) % 5]], sums[plan.registerOfColumn[(x + 4) % 5]], lines[r]);
        }
    }
    Vector u[5];
#pragma GCC unroll 5
    for (int r = 0; r < 5; ++r) {
        const auto& n = plan.rotations[r];
        u[r] = _mm512_rolv_epi64(t[r], _mm512_setr_epi64(n[0], n[1], n[2], n[3], n[4], 0, 0, 0));
    }
#pragma GCC unroll 5
    for (int r = 0; r < 5; ++r) {
        const ChiInputs& in = plan.chi[r];
        const Vector a = Rotate(u[r], in.self), b = Rotate(u[in.next], in.nextRotation),
                     c = Rotate(u[in.second], in.secondRotation);
        // A rotated input, ready last, goes first.
        if (in.self != 0 || (in.nextRotation == 0 && in.secondRotation == 0))
            lines[r] = _mm512_ternarylogic_epi64(a, b, c, kChiAbc);
        else if (in.nextRotation != 0)
            lines[r] = _mm512_ternarylogic_epi64(b, a, c, kChiBac);
        else
            lines[r] = _mm512_ternarylogic_epi64(c, a, b, kChiCab);
    }
    lines[plan.iota] =
        _mm512_xor_si512(lines[plan.iota],
                         _mm512_setr_epi64(static_cast<long long>(kKeccakRoundConstants[kRound]), 0, 0, 0, 0, 0, 0, 0));
}

template <int... kRounds>
SHA3_AVX512_STEP void Permute(Vector (&lines)[5], std::integer_sequence<int, kRounds...>)
{
    (Round<kRounds>(lines), ...);
}

constexpr std::size_t kPrefetchBlocks = 2;

}  // namespace

void Sha3BlocksAvx512(std::uint64_t (&lanes)[25], const std::uint8_t* blocks, std::size_t count, std::size_t rate)
{
    // The slots of each row that a block fills.
    const std::size_t words = rate / 8;
    __mmask8 fill[5];
    for (std::size_t y = 0; y < 5; ++y) {
        const std::size_t n = words > 5 * y ? words - 5 * y : 0;
        fill[y] = static_cast<__mmask8>((1u << (n < 5 ? n : 5)) - 1);
    }
    Vector lines[5];
#pragma GCC unroll 5
    for (int y = 0; y < 5; ++y)
        lines[y] = _mm512_maskz_loadu_epi64(0x1F, lanes + 5 * y);
    for (; count > 0; --count, blocks += rate) {
        // A block's loads start its rounds, and the hardware's prefetch alone
        // left them waiting on lines from memory or the other core's cache:
        // 9% of the time on 64 MiB. Fetch the block after next ahead (a
        // prefetch past the end reads nothing and faults nowhere; its address
        // is made as a number, as a pointer may not point past the bytes).
        const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(blocks) + kPrefetchBlocks * rate;
#pragma GCC unroll 4
        for (std::uintptr_t line = 0; line < 200; line += 64)
            _mm_prefetch(reinterpret_cast<const char*>(ahead + line), _MM_HINT_T0);
#pragma GCC unroll 5
        for (int y = 0; y < 5; ++y)
            lines[y] = _mm512_xor_si512(lines[y], _mm512_maskz_loadu_epi64(fill[y], blocks + 40 * y));
        Permute(lines, std::make_integer_sequence<int, 24>{});
    }
#pragma GCC unroll 5
    for (int y = 0; y < 5; ++y)
        _mm512_mask_storeu_epi64(lanes + 5 * y, 0x1F, lines[y]);
}

}  // namespace engine

#endif

#pragma once

// Eight lanes of 32-bit words in AVX2 registers: the loads, transposes and
// masked stores of md5_lanes_avx2.cpp and sha1_lanes_avx2.cpp, whose rounds
// run in lane_frame.h's frame with Avx2Lanes as its width, and the word
// operations that sha1_lanes.h's rounds take of a width. For those files
// alone: all of it is in an unnamed namespace, so each compiles a copy of
// its own (see digest_paths.h).

#include <immintrin.h>

#include "engine/digest_paths.h"
#include "engine/lane_frame.h"

namespace engine {
namespace {

struct Avx2Lanes {
    using Vector = __m256i;
    static constexpr int kLanes = 8;

    LANE_STEP static __m256i Load(const std::uint32_t* words)
    {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(words));
    }

    LANE_STEP static __m256i Add(__m256i x, __m256i y) { return _mm256_add_epi32(x, y); }

    LANE_STEP static __m256i Set1(std::uint32_t word) { return _mm256_set1_epi32(static_cast<int>(word)); }

    // No rotate instruction: two shifts.
    template <int kShift>
    LANE_STEP static __m256i Rotl(__m256i v)
    {
        return _mm256_or_si256(_mm256_slli_epi32(v, kShift), _mm256_srli_epi32(v, 32 - kShift));
    }

    LANE_STEP static __m256i Xor4(__m256i w, __m256i x, __m256i y, __m256i z)
    {
        return _mm256_xor_si256(_mm256_xor_si256(w, x), _mm256_xor_si256(y, z));
    }

    // The function of (b, c, d) whose truth table over (0xF0, 0xCC, 0xAA) is
    // kTable, for the tables the rounds use, in the fewest operations
    // without a three-input logic instruction.
    template <int kTable>
    LANE_STEP static __m256i Logic(__m256i b, __m256i c, __m256i d)
    {
        static_assert(kTable == 0xCA || kTable == 0x96 || kTable == 0xE8);
        if constexpr (kTable == 0xCA)  // (b & c) | (~b & d)
            return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
        else if constexpr (kTable == 0x96)  // b ^ c ^ d
            return _mm256_xor_si256(_mm256_xor_si256(c, d), b);
        else  // (b & c) | (b & d) | (c & d)
            return _mm256_or_si256(_mm256_and_si256(c, d), _mm256_and_si256(b, _mm256_or_si256(c, d)));
    }

    // All ones in the lanes to write back, for VPMASKMOVD.
    LANE_STEP static __m256i Keep(LaneMask active)
    {
        int keep[kLanes];
        for (int l = 0; l < kLanes; ++l)
            keep[l] = (active >> l) & 1 ? -1 : 0;
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keep));
    }

    LANE_STEP static void Store(std::uint32_t* words, __m256i keep, __m256i v)
    {
        _mm256_maskstore_epi32(reinterpret_cast<int*>(words), keep, v);
    }

    // Eight rows of eight words, one row per lane, into eight registers of
    // one word of every lane each.
    LANE_STEP static void Transpose(const __m256i* r, __m256i* x)
    {
        __m256i t[8], s[8];
        for (int j = 0; j < 4; ++j) {
            t[2 * j] = _mm256_unpacklo_epi32(r[2 * j], r[2 * j + 1]);
            t[2 * j + 1] = _mm256_unpackhi_epi32(r[2 * j], r[2 * j + 1]);
        }
        // s[4j + m], 128-bit half h, is word 4h + m of lanes 4j..4j+3.
        for (int j = 0; j < 2; ++j) {
            s[4 * j] = _mm256_unpacklo_epi64(t[4 * j], t[4 * j + 2]);
            s[4 * j + 1] = _mm256_unpackhi_epi64(t[4 * j], t[4 * j + 2]);
            s[4 * j + 2] = _mm256_unpacklo_epi64(t[4 * j + 1], t[4 * j + 3]);
            s[4 * j + 3] = _mm256_unpackhi_epi64(t[4 * j + 1], t[4 * j + 3]);
        }
        for (int m = 0; m < 4; ++m) {
            x[m] = _mm256_permute2x128_si256(s[m], s[4 + m], 0x20);
            x[4 + m] = _mm256_permute2x128_si256(s[m], s[4 + m], 0x31);
        }
    }

    // Half a block of each of the eight lanes, `offset` bytes into it;
    // big-endian words have their bytes turned around as they are loaded.
    template <bool kBigEndian>
    LANE_STEP static void LoadHalfTransposed(const std::uint8_t* const* p, int offset, __m256i* x)
    {
        __m256i r[kLanes];
        for (int l = 0; l < kLanes; ++l) {
            r[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[l] + offset));
            if constexpr (kBigEndian)
                r[l] = _mm256_shuffle_epi8(r[l], _mm256_set_epi32(0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203,
                                                                  0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203));
        }
        Transpose(r, x);
    }

    // The two halves written out: as a loop over them, MD5's eight lanes
    // ran 3% slower here.
    template <bool kBigEndian>
    LANE_STEP static void LoadTransposed(const std::uint8_t* const* p, __m256i* x)
    {
        LoadHalfTransposed<kBigEndian>(p, 0, x);
        LoadHalfTransposed<kBigEndian>(p, 32, x + 8);
    }
};

}  // namespace
}  // namespace engine

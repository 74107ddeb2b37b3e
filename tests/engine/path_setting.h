#pragma once

// The engine's paths, one test parameter each: every accelerated routine
// with the portable one beside it, and the portable routines alone. A test
// on a path this CPU cannot run is skipped, saying so.
#include <gtest/gtest.h>

#include <ostream>

#include "engine/digest_paths.h"
#include "engine/path_choice.h"

struct PathSetting {
    const char* name;
    engine::Sha1Path sha1;
    engine::Sha256Path sha256;
    engine::Sha512Path sha512;
    engine::Crc32Path crc32;
    friend std::ostream& operator<<(std::ostream& os, const PathSetting& s) { return os << s.name; }
};

// The SHA instructions carry SHA-1 and SHA-256 alike, so one setting takes both.
inline constexpr PathSetting kPathSettings[] = {
    {"Portable", engine::Sha1Path::Portable, engine::Sha256Path::Portable, engine::Sha512Path::Portable,
     engine::Crc32Path::Portable},
    {"ShaNi", engine::Sha1Path::ShaNi, engine::Sha256Path::ShaNi, engine::Sha512Path::Portable,
     engine::Crc32Path::Portable},
    {"Sha512Avx2", engine::Sha1Path::Portable, engine::Sha256Path::Portable, engine::Sha512Path::Avx2,
     engine::Crc32Path::Portable},
    {"Sha512Avx512", engine::Sha1Path::Portable, engine::Sha256Path::Portable, engine::Sha512Path::Avx512,
     engine::Crc32Path::Portable},
    {"Clmul", engine::Sha1Path::Portable, engine::Sha256Path::Portable, engine::Sha512Path::Portable,
     engine::Crc32Path::Clmul},
    {"VpclmulAvx2", engine::Sha1Path::Portable, engine::Sha256Path::Portable, engine::Sha512Path::Portable,
     engine::Crc32Path::VpclmulAvx2},
    {"VpclmulAvx512", engine::Sha1Path::Portable, engine::Sha256Path::Portable, engine::Sha512Path::Portable,
     engine::Crc32Path::VpclmulAvx512},
};

// Forces the parameter's paths for the test and goes back to the automatic
// choice after it.
class OnEveryPath : public testing::TestWithParam<PathSetting> {
protected:
    void SetUp() override
    {
        const PathSetting& s = GetParam();
        if (!engine::ForcePath(s.sha1) || !engine::ForcePath(s.sha256) || !engine::ForcePath(s.sha512) ||
            !engine::ForcePath(s.crc32))
            GTEST_SKIP() << s.name << ": this CPU or this build cannot run it";
    }
    void TearDown() override { engine::UseChosenPaths(); }
};

#define VELLUMARK_ON_EVERY_PATH(suite)                                                                                 \
    INSTANTIATE_TEST_SUITE_P(Paths, suite, testing::ValuesIn(kPathSettings),                                           \
                             [](const testing::TestParamInfo<PathSetting>& info) { return info.param.name; })

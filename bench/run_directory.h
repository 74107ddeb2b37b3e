#pragma once

// The benchmarks' named objects and settings go to a directory of the run's
// own, removed at its end, never the user's real ones.

#include <ftw.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

struct RunDirectory {
    RunDirectory()
    {
        char pattern[] = "/tmp/vellumark-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            std::abort();
        path = pattern;
        ::setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (path + "/config").c_str(), 1);
    }
    ~RunDirectory()
    {
        ::nftw(
            path.c_str(), [](const char* item, const struct stat*, int, struct FTW*) { return ::remove(item); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    RunDirectory(const RunDirectory&) = delete;
    RunDirectory& operator=(const RunDirectory&) = delete;

    std::string path;
};

#pragma once

// `--summary_only` is the benchmarks' own option: taken out of the command
// line before Google Benchmark, which refuses options it does not know,
// reads the rest.

#include <string_view>

// True when the option was there; `argc` and `argv` then hold the rest.
inline bool TakeSummaryOnly(int& argc, char** argv)
{
    bool found = false;
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--summary_only")
            found = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    return found;
}

#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "app/generate/run_control.h"

// The Generate command without a window: the window reads its controls into a
// GenerateInput, this core does the work, and the results are handed back in
// the order MD5, SHA-1, SHA-256, SHA-512, CRC-32, once all of them are known (a
// large input's digests run side by side). Failures are exceptions derived from Exception;
// a run that fails, or is cancelled (ERunCancelled), hands back no result.

// StandardInput is the companion's: the program's standard input, read once.
enum class GenerateSource { File, Text, StandardInput, Nothing };
// SHA-256 and SHA-512 have no box in the window, which computes them only to
// compare them with a digest the user copied.
enum class Algorithm { Md5, Sha1, Sha256, Sha512, Crc32 };

struct GenerateInput {
    std::string key;  // bytes, exactly as typed; used only with hmac
    bool hmac = false;
    bool md5 = false;
    bool sha1 = false;
    bool sha256 = false;
    bool sha512 = false;
    bool crc32 = false;
    GenerateSource source = GenerateSource::Nothing;
    std::string fileName;  // bytes of the name, already trimmed
    std::string text;      // bytes to digest on the text page
};

using ResultSink = std::function<void(Algorithm, const std::string& resultText)>;

// Runs on the calling thread. The control, when given, shows how far the run
// has come and can stop it from any thread.
void Generate(const GenerateInput& input, const ResultSink& sink, RunControl* control = nullptr);

// Removes every byte below 33 (space and control characters) from both ends.
std::string TrimFileName(std::string_view name);

#pragma once

#include <functional>
#include <string>
#include <string_view>

// The Generate command without a window: the window reads its controls into a
// GenerateInput, this core does the work, and each result is handed back as
// soon as it is known, in the order MD5, SHA-1, CRC-32. Failures are
// exceptions derived from Exception; no result is handed back by a run that
// fails while reading its input.

enum class GenerateSource { File, Text, Nothing };
enum class Algorithm { Md5, Sha1, Crc32 };

struct GenerateInput {
    std::string key;  // bytes, exactly as typed; used only with hmac
    bool hmac = false;
    bool md5 = false;
    bool sha1 = false;
    bool crc32 = false;
    GenerateSource source = GenerateSource::Nothing;
    std::string fileName;  // bytes of the name, already trimmed
    std::string text;      // bytes to digest on the text page
};

using ResultSink = std::function<void(Algorithm, const std::string& resultText)>;

void Generate(const GenerateInput& input, const ResultSink& sink);

// Removes every byte below 33 (space and control characters) from both ends.
std::string TrimFileName(std::string_view name);

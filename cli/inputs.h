#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/generate/generate.h"

// The command-line companion's inputs: files by name and standard input,
// each digested by Generate, so that a file is read under the usual rules.

// The results of one input, or why there are none.
struct InputDigests {
    std::vector<std::pair<Algorithm, std::string>> results;  // as Generate hands them on
    bool failed = false;
    std::string failure;   // the message the error box would show
    bool missing = false;  // failed, and no file has the name
};

class DigestInputs {
public:
    virtual ~DigestInputs() = default;
    // The digests that request ticks (with its key and HMAC tick) of the
    // file name, or of standard input for "-". Never throws; called for
    // several names at once, on any thread.
    virtual InputDigests Digest(const std::string& name, const GenerateInput& request) const = 0;
    // The file's size, to start the largest first; 0 when unknown.
    virtual std::uint64_t Size(const std::string& name) const = 0;
};

inline bool IsStandardInput(const std::string& name)
{
    return name == "-";
}

class ProgressLine;

// The system's files and standard input; each one's progress on the
// progress line, when there is one.
class FileInputs : public DigestInputs {
public:
    explicit FileInputs(ProgressLine* progress = nullptr) : progress_(progress) {}
    InputDigests Digest(const std::string& name, const GenerateInput& request) const override;
    std::uint64_t Size(const std::string& name) const override;

private:
    ProgressLine* progress_;
};

// The whole content of a file, or of standard input for "-" (a list of
// digests). Throws Exception with the system's message.
std::string ReadWholeInput(const std::string& name);

// An HMAC key from a file of one line, or from one line of standard input
// for "-", without its line break (LF or CR LF). Standard input is read no
// further than that line, so that what follows can still be digested.
// Throws Exception with the system's message, or when the file holds more
// than one line.
std::string ReadKeyLine(const std::string& name);

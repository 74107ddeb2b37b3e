#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "app/generate/generate.h"

// The command-line companion's inputs: files by name and standard input,
// each digested by Generate, so that a file is read under the usual rules.

// The results of one input, or why there are none.
struct InputDigests {
    std::vector<std::pair<Algorithm, std::string>> results;  // as Generate hands them on
    bool failed = false;
    // Why, as md5sum tells it after the name: the system's message (strerror)
    // for a file that cannot be opened or read, a folder included ("Is a
    // directory"), or "Not a regular file", "The file is open for writing",
    // "The file changed while it was being read".
    std::string reason;
    bool missing = false;  // failed, and no file has the name
};

// What one look at a name found (stat(2), which follows links): the
// existence test's answer and the size that orders the work.
struct Looked {
    int error = 0;  // stat's errno, or 0 when it found the name
    struct stat info {};

    bool Regular() const { return error == 0 && S_ISREG(info.st_mode); }
    bool Folder() const { return error == 0 && S_ISDIR(info.st_mode); }
    // The bytes to read, to start the largest first; 0 when unknown.
    std::uint64_t Size() const { return Regular() ? static_cast<std::uint64_t>(info.st_size) : 0; }
};

class DigestInputs {
public:
    virtual ~DigestInputs() = default;
    // Looks at the name once, before it is digested.
    virtual Looked Look(const std::string& name) const = 0;
    // The digests that request ticks (with its key and HMAC tick) of the
    // file name, which Look found as `looked`, or of standard input for "-".
    // Never throws; called for several names at once, on any thread.
    virtual InputDigests Digest(const std::string& name, const Looked& looked, const GenerateInput& request) const = 0;
};

inline bool IsStandardInput(const std::string& name)
{
    return name == "-";
}

// The system's files and standard input; the bytes read counted on the
// run's control, when there is one.
class FileInputs : public DigestInputs {
public:
    explicit FileInputs(RunControl* read = nullptr) : read_(read) {}
    Looked Look(const std::string& name) const override;
    InputDigests Digest(const std::string& name, const Looked& looked, const GenerateInput& request) const override;

private:
    RunControl* read_;
};

// An HMAC key from a file of one line, or from one line of standard input
// for "-", without its line break (LF or CR LF). Standard input is read no
// further than that line, so that what follows can still be digested.
// Throws Exception with the system's message, or when the file holds more
// than one line.
std::string ReadKeyLine(const std::string& name);

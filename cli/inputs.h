#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "cli/report.h"
#include "cli/side_by_side.h"
#include "core/generate.h"
#include "platform/files/file_reader.h"

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

class OpenFolder;

// What one look at a name found (stat(2), which follows links): the
// existence test's answer and the size that orders the work. A file a walk
// found was looked at by the walk, and is opened within its folder.
struct Looked {
    int error = 0;  // stat's errno, or 0 when it found the name
    struct stat info {};
    // Found by a walk: its folder, open, where its name there begins, and
    // whether it was listed as a link to a file (info holds the file's
    // identity and size as listed).
    std::shared_ptr<const OpenFolder> folder;
    std::size_t entryAt = 0;
    bool link = false;
    // A FILE named on the command line: a FIFO's refusal says how to read one.
    bool named = false;

    bool Regular() const { return error == 0 && S_ISREG(info.st_mode); }
    bool Folder() const { return error == 0 && S_ISDIR(info.st_mode); }
    // The bytes to read, to start the largest first; 0 when unknown.
    std::uint64_t Size() const { return Regular() ? static_cast<std::uint64_t>(info.st_size) : 0; }
};

// How the descriptor limit (ulimit -n) is shared out in a run on `threads`
// threads besides the caller's: files in flight, each with one more
// descriptor for the look before its open, and a walk's folders. Below what
// side by side needs, files are read one at a time on the calling thread,
// with one descriptor for the list, one for the look and one for the file.
struct DescriptorShares {
    bool oneAtATime = false;
    std::size_t filesInFlight = 1;  // files each thread holds open at once
    std::size_t walkLevels = 1;  // folders a walk holds open on its way down (FolderWalk)
    // Folders the walk and the files in the look-ahead may hold open, which
    // the list is read no further past (SideBySide::heldDescriptors).
    std::size_t walkFoldersAhead = 1;
};
DescriptorShares ShareDescriptors(unsigned threads);

// Several inputs digested at once on one thread (files in the lanes of the
// vector unit), each as DigestInputs::Digest would digest it.
class InputsInFlight {
public:
    virtual ~InputsInFlight() = default;
    // Inputs it takes now.
    virtual std::size_t Room() const = 0;
    // Bytes left to read of the input in flight that has the most left.
    virtual std::uint64_t WeightLeft() const = 0;
    // Whether a file of `weight` bytes, to digest as request ticks, does
    // better alone (see ItemsInFlight::Alone).
    virtual bool Alone(const GenerateInput& request, std::uint64_t weight, std::uint64_t beside,
                       std::uint64_t share) const = 0;
    // Begins the digests of the file `name` (not standard input), which Look
    // found as `looked`, with request's ticks and key; they go into `into`
    // when it ends. All four stay as they are until then.
    virtual void Begin(std::size_t tag, const std::string& name, const Looked& looked, const GenerateInput& request,
                       InputDigests& into) = 0;
    // Works until an input or more has ended, and puts their tags into `ended`.
    virtual void Advance(std::vector<std::size_t>& ended) = 0;
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
    // Several inputs at once on the calling thread, for requests that tick
    // what `possible` ticks (nothing ticked: anything); null where that does
    // not pay, and each input is digested alone.
    virtual std::unique_ptr<InputsInFlight> InFlight(const GenerateInput&) const { return nullptr; }
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
    std::unique_ptr<InputsInFlight> InFlight(const GenerateInput& possible) const override;

private:
    RunControl* read_;
    // Once files are read side by side, where descriptors are plenty.
    mutable std::once_flag selfFdsOnce_;
    mutable std::unique_ptr<platform::SelfFdsHeld> selfFds_;
};

// An HMAC key from a file of one line, or from one line of standard input
// for "-", without its line break (LF or CR LF). Standard input is read no
// further than that line, so that what follows can still be digested.
// Throws Exception with the system's message, or when the file holds more
// than one line.
std::string ReadKeyLine(const std::string& name);

// BLAKE3's key for its keyed mode: a file's bytes, raw, which must be exactly
// 32, as b3sum --keyed reads them; "-" reads them from standard input, of
// which nothing else is read. Throws Exception with the system's message, or
// when there are more or fewer bytes.
std::string ReadBlake3Key(const std::string& name);

// Side by side's items in flight, through inputs in flight: `requestOf(slot)`
// is the request of the item in the slot, and `begin(inputs, slot)` begins
// it. Null for null inputs.
template <class Request, class Starter>
std::unique_ptr<ItemsInFlight> ItemsThrough(std::unique_ptr<InputsInFlight> inputs, Request requestOf, Starter begin)
{
    class Items final : public ItemsInFlight {
    public:
        Items(std::unique_ptr<InputsInFlight> inputs, Request requestOf, Starter begin)
            : inputs_(std::move(inputs)), requestOf_(std::move(requestOf)), begin_(std::move(begin))
        {}
        std::size_t Room() const override { return inputs_->Room(); }
        std::uint64_t WeightLeft() const override { return inputs_->WeightLeft(); }
        bool Alone(std::size_t slot, std::uint64_t weight, std::uint64_t beside, std::uint64_t share) const override
        {
            return inputs_->Alone(requestOf_(slot), weight, beside, share);
        }
        void Begin(std::size_t slot) override { begin_(*inputs_, slot); }
        void Advance(std::vector<std::size_t>& ended) override { inputs_->Advance(ended); }

    private:
        std::unique_ptr<InputsInFlight> inputs_;
        Request requestOf_;
        Starter begin_;
    };
    if (!inputs)
        return nullptr;
    return std::make_unique<Items>(std::move(inputs), std::move(requestOf), std::move(begin));
}

// An item of a run of digests, as the wiring below sees it: its file's
// name, what Look found, and where its digests go.
struct DigestItem {
    const std::string& name;
    const Looked& looked;
    InputDigests& digests;
};

// Side by side's settings for a list whose items are files to digest
// through `inputs`, which PrintDigests and CheckList share: item
// `itemOf(slot)` is digested with `requestOf(slot)`, alone or in flight
// (for requests that tick what `possible` ticks), on `threads` besides the
// caller's, counted on `tally`; the report is flushed whenever the caller
// waits. The caller adds `next` and `done`. The references must outlive
// the run.
template <class ItemOf, class RequestOf>
SideBySide DigestingSideBySide(const DigestInputs& inputs, const GenerateInput& possible, unsigned threads,
                               RunTally* tally, Report& report, ItemOf itemOf, RequestOf requestOf)
{
    SideBySide run;
    run.threads = ShareDescriptors(threads).oneAtATime ? 0 : threads;
    run.tally = tally;
    run.work = [&inputs, itemOf, requestOf](std::size_t slot) {
        const DigestItem item = itemOf(slot);
        item.digests = inputs.Digest(item.name, item.looked, requestOf(slot));
    };
    run.inFlight = [&inputs, &possible, itemOf, requestOf] {
        return ItemsThrough(inputs.InFlight(possible), requestOf,
                            [itemOf, requestOf](InputsInFlight& in, std::size_t slot) {
                                const DigestItem item = itemOf(slot);
                                in.Begin(slot, item.name, item.looked, requestOf(slot), item.digests);
                            });
    };
    run.caughtUp = [&report] { report.Flush(); };
    return run;
}

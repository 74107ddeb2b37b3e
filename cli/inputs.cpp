#include "cli/inputs.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <optional>

#include <fcntl.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/folder_walk.h"
#include "platform/base/exception.h"
#include "platform/base/retry.h"
#include "platform/base/unique_fd.h"
#include "platform/files/file_reader.h"
#include "platform/files/file_search.h"
#include "platform/process/thread_identity.h"

namespace {

// A key is a line that could be typed; anything longer is no key file.
constexpr std::size_t kMaxKeyLine = 64 * 1024;

Exception SystemFailure(int error)
{
    return Exception(std::strerror(error));
}

// Appends what fd holds from where it stands to its end, or until out holds
// limit bytes.
void ReadToEnd(int fd, std::string& out, std::size_t limit = std::string::npos)
{
    // Keys come this way: the copy on the stack goes however this is left.
    struct Chunk {
        char bytes[64 * 1024];
        ~Chunk() { ::explicit_bzero(bytes, sizeof bytes); }
    } chunk;
    while (out.size() < limit) {
        const std::size_t want = std::min(sizeof chunk.bytes, limit - out.size());
        const ssize_t got = platform::RetryOnInterrupt([&] { return ::read(fd, chunk.bytes, want); });
        if (got < 0)
            throw SystemFailure(errno);
        if (got == 0)
            return;
        out.append(chunk.bytes, static_cast<std::size_t>(got));
    }
}

bool IsMissing(const std::string& name)
{
    struct stat info {};
    return !IsStandardInput(name) && ::stat(name.c_str(), &info) != 0 && errno == ENOENT;
}

std::string WithoutLineBreak(std::string line)
{
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// A FIFO named as FILE is refused with a hint: a pipe is read as standard input.
std::string NotRegular(const Looked& looked, mode_t found)
{
    std::string reason = platform::kNotRegularText;
    if (looked.named && S_ISFIFO(found))
        reason += " (read a pipe with - and a redirection)";
    return reason;
}

// Why a name that Look found as `looked` is no file to read: what stat
// said, or what it found instead.
std::string NoFileReason(const Looked& looked)
{
    if (looked.error != 0)
        return std::strerror(looked.error);
    if (looked.Folder())
        return std::strerror(EISDIR);
    return NotRegular(looked, looked.info.st_mode);
}

// The input failed with `failure`: why, as md5sum tells it after the name.
void Failed(InputDigests& digests, const std::string& name, const Looked& looked, const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const platform::EFileOpenError& error) {
        digests.reason = error.Reason() == platform::kNotRegularText ? NotRegular(looked, error.Found()) : error.Reason();
    } catch (const platform::EFileReadError& error) {
        digests.reason = error.Reason();
    } catch (const Exception& error) {
        digests.reason = error.Message();
    } catch (const std::bad_alloc&) {
        digests.reason = "Out of memory";
    } catch (const std::exception& error) {
        digests.reason = error.what();
    }
    digests.results.clear();
    digests.failed = true;
    digests.missing = IsMissing(name);
}

// The window's existence test, wildcards and all; the companion says why a
// name failed it (NoFileReason), where the window says "Invalid file name".
bool Exists(const std::string& name, const Looked& looked)
{
    return platform::FileExistsByPattern(name, looked.error == 0 ? &looked.info : nullptr);
}

// The digests of a name that is no file to read.
void Refused(InputDigests& digests, const Looked& looked)
{
    digests = {};
    digests.reason = NoFileReason(looked);
    digests.failed = true;
    digests.missing = looked.error == ENOENT;  // the look already asked
}

// The file as Look (or the walk) found it, opened for reading: a walk's
// within its folder, checked against its listing; any other by its name.
platform::SharedReadFile OpenLooked(const std::string& name, const Looked& looked)
{
    if (!looked.folder)
        return platform::SharedReadFile(name);
    const platform::FileInFolder at{looked.folder->Fd(), std::string_view(name).substr(looked.entryAt), looked.link,
                                    {looked.info.st_dev, looked.info.st_ino}};
    return platform::SharedReadFile(name, at);
}

// Files in the lanes of the vector unit, through the Generate command.
class FilesInFlight final : public InputsInFlight {
public:
    FilesInFlight(const GenerateInput& possible, RunControl* read)
        : lanes_(possible, read), open_(ShareDescriptors(platform::ProcessorCount()).filesInFlight)
    {}

    std::size_t Room() const override
    {
        return std::min(lanes_.Room(), open_ > inputs_.size() ? open_ - inputs_.size() : 0);
    }
    std::uint64_t WeightLeft() const override { return lanes_.WeightLeft(); }
    bool Alone(const GenerateInput& request, std::uint64_t weight, std::uint64_t beside,
               std::uint64_t share) const override
    {
        return lanes_.Alone(request, weight, beside, share);
    }

    void Begin(std::size_t tag, const std::string& name, const Looked& looked, const GenerateInput& request,
               InputDigests& into) override
    {
        if (!Exists(name, looked)) {
            Refused(into, looked);
            refused_.push_back(tag);
            return;
        }
        inputs_.reserve(inputs_.size() + 1);
        lanes_.Begin(tag, [&] { return OpenLooked(name, looked); }, request);
        inputs_.push_back({tag, &name, &looked, &into});
    }

    void Advance(std::vector<std::size_t>& ended) override
    {
        // A name refused at once ends without waiting on the lanes.
        if (!refused_.empty()) {
            ended.insert(ended.end(), refused_.begin(), refused_.end());
            refused_.clear();
            return;
        }
        lanes_.Advance(done_);
        for (GenerateInLanes::Ended& file : done_) {
            const auto input =
                std::find_if(inputs_.begin(), inputs_.end(), [&](const Input& i) { return i.tag == file.tag; });
            InputDigests& digests = *input->into;
            digests = {};
            if (file.failure)
                Failed(digests, *input->name, *input->looked, file.failure);
            else
                digests.results = std::move(file.results);
            ended.push_back(input->tag);
            inputs_.erase(input);
        }
    }

private:
    struct Input {
        std::size_t tag;
        const std::string* name;
        const Looked* looked;
        InputDigests* into;
    };
    GenerateInLanes lanes_;
    const std::size_t open_;
    std::vector<Input> inputs_;
    std::vector<std::size_t> refused_;
    std::vector<GenerateInLanes::Ended> done_;
};

}  // namespace

DescriptorShares ShareDescriptors(unsigned threads)
{
    // For standard input, output and error, the list being read, and a file
    // or two opened for a moment (the lease break time, the processors).
    constexpr std::size_t kKept = 16;
    DescriptorShares shares;
    struct rlimit limit {};
    std::size_t descriptors = SIZE_MAX / 2;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        descriptors = static_cast<std::size_t>(std::min<rlim_t>(limit.rlim_cur, SIZE_MAX / 2));
    const std::size_t left = descriptors > kKept ? descriptors - kKept : 0;
    const std::size_t workers = std::max(1u, threads);
    // A walk's folders take a quarter of what is left, up to 192: the way
    // down, at most 64 levels, and the folders of the files in the
    // look-ahead. Those are counted before each item is read from the walk,
    // which may then open one folder more, or reopen its way down, and one
    // more for a moment: they stay below the limit by that much.
    const std::size_t walk = std::clamp<std::size_t>(left / 4, 3, 192);
    // Each thread a file and its look, and the walk's least.
    if (threads == 0 || left < 2 * workers + walk) {
        shares.oneAtATime = threads != 0;
        return shares;
    }
    shares.walkLevels = std::clamp<std::size_t>(walk / 3, 1, 64);
    shares.walkFoldersAhead = walk - shares.walkLevels - 1;
    shares.filesInFlight = std::max<std::size_t>(1, (left - walk) / workers - 1);
    return shares;
}

Looked FileInputs::Look(const std::string& name) const
{
    Looked looked;
    if (!IsStandardInput(name) && ::stat(name.c_str(), &looked.info) != 0)
        looked.error = errno;
    return looked;
}

InputDigests FileInputs::Digest(const std::string& name, const Looked& looked, const GenerateInput& request) const
{
    InputDigests digests;
    const ResultSink sink = [&digests](Algorithm algorithm, const std::string& result) {
        digests.results.emplace_back(algorithm, result);
    };
    try {
        GenerateInput input = request;
        RunControl own;
        RunControl* control = read_ != nullptr ? read_ : &own;
        if (IsStandardInput(name)) {
            input.source = GenerateSource::StandardInput;
            Generate(input, sink, control);
            return digests;
        }
        input.source = GenerateSource::File;
        input.fileName = name;
        if (!Exists(name, looked)) {
            Refused(digests, looked);
            return digests;
        }
        GenerateFromOpenedFile(input, [&] { return OpenLooked(name, looked); }, sink, control);
    } catch (...) {
        Failed(digests, name, looked, std::current_exception());
    }
    return digests;
}

std::unique_ptr<InputsInFlight> FileInputs::InFlight(const GenerateInput& possible) const
{
    if (!GenerateInLanes::Worthwhile(possible))
        return nullptr;
    std::call_once(selfFdsOnce_, [this] { selfFds_ = std::make_unique<platform::SelfFdsHeld>(); });
    return std::make_unique<FilesInFlight>(possible, read_);
}

std::string ReadBlake3Key(const std::string& name)
{
    // One byte more than a key tells a longer file.
    constexpr std::size_t kKey = 32, kLimit = kKey + 1;
    std::string key;
    if (IsStandardInput(name)) {
        ReadToEnd(STDIN_FILENO, key, kLimit);
    } else {
        const platform::UniqueFd file(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
        if (file.Get() < 0)
            throw SystemFailure(errno);
        ReadToEnd(file.Get(), key, kLimit);
    }
    if (key.size() != kKey) {
        const std::string has = key.size() > kKey ? "more" : std::to_string(key.size());
        ::explicit_bzero(key.data(), key.size());
        throw Exception("The BLAKE3 key must be exactly 32 bytes, and this one has " + has);
    }
    return key;
}

std::string ReadKeyLine(const std::string& name)
{
    // Room for the longest key and its CR LF, and one byte more to tell a
    // longer one.
    constexpr std::size_t kLimit = kMaxKeyLine + 3;
    std::string line;
    if (IsStandardInput(name)) {
        // A byte at a time: what follows the line is not the key's.
        for (char c = 0; c != '\n' && line.size() < kLimit;) {
            const ssize_t got = platform::RetryOnInterrupt([&] { return ::read(STDIN_FILENO, &c, 1); });
            if (got < 0)
                throw SystemFailure(errno);
            if (got == 0)
                break;
            line += c;
        }
    } else {
        const platform::UniqueFd file(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
        if (file.Get() < 0)
            throw SystemFailure(errno);
        ReadToEnd(file.Get(), line, kLimit);
        const std::size_t lineFeed = line.find('\n');
        if (lineFeed != std::string::npos && lineFeed + 1 < line.size())
            throw Exception("The key file holds more than one line");
    }
    std::string key = WithoutLineBreak(std::move(line));
    if (key.size() > kMaxKeyLine)
        throw Exception("The key is longer than 64 KiB");
    return key;
}

#include "core/generate.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include <string.h>

#include "core/file_digests.h"
#include "core/file_lanes.h"
#include "engine/digest.h"
#include "engine/numtext.h"
#include "platform/base/ascii.h"
#include "platform/files/file_reader.h"
#include "platform/files/file_search.h"
#include "platform/process/thread_identity.h"

namespace {

// The engine's code for a name that the existence test turned down.
constexpr std::uint32_t kInvalidFileName = 7;

// Below this, a thread costs more than it saves.
constexpr std::size_t kParallelFrom = 1024 * 1024;

// The digests of one run; only the ticked ones are computed.
struct Digests {
    Md5Digest md5{};
    Sha1Digest sha1{};
    Sha256Digest sha256{};
    Sha512Digest sha512{};
    std::uint32_t crc32 = 0;
};

// Runs the jobs, the first on this thread. With cores to spare the others
// run beside it (MD5, the first, is the slowest by far); on two cores they
// share one thread. Should no thread be had, this one does the rest. Every
// thread has ended when this returns.
void RunJobs(const std::vector<std::function<void()>>& jobs, bool parallel)
{
    const unsigned cores = parallel ? platform::ProcessorCount() : 1;
    std::vector<std::vector<const std::function<void()>*>> groups;
    for (std::size_t i = 1; i < jobs.size() && cores > 1; ++i) {
        if (groups.size() < cores - 1)
            groups.emplace_back();
        groups.back().push_back(&jobs[i]);
    }
    std::vector<std::jthread> threads;
    std::size_t started = 0;
    try {
        for (const auto& group : groups) {
            threads.emplace_back([&group] {
                for (const auto* job : group)
                    (*job)();
            });
            ++started;
        }
    } catch (const std::system_error&) {
        // No more threads: the groups not started run below.
    }
    jobs.front()();
    for (std::size_t g = started; g < groups.size(); ++g)
        for (const auto* job : groups[g])
            (*job)();
    if (groups.empty())
        for (std::size_t i = 1; i < jobs.size(); ++i)
            jobs[i]();
}

// Computes the ticked digests of the text, which may be longer than a
// signed 32-bit count. Plain or keyed is chosen per tick, as HMAC applies to
// all but CRC-32.
Digests Compute(const GenerateInput& input, const std::string& text)
{
    Digests digests;
    const std::string& key = input.key;
    std::vector<std::function<void()>> jobs;
    if (input.md5)
        jobs.emplace_back([&] { input.hmac ? HmacMd5OfText(key, text, digests.md5) : Md5OfText(text, digests.md5); });
    if (input.sha1)
        jobs.emplace_back(
            [&] { input.hmac ? HmacSha1OfText(key, text, digests.sha1) : Sha1OfText(text, digests.sha1); });
    if (input.sha256)
        jobs.emplace_back(
            [&] { input.hmac ? HmacSha256OfText(key, text, digests.sha256) : Sha256OfText(text, digests.sha256); });
    if (input.sha512)
        jobs.emplace_back(
            [&] { input.hmac ? HmacSha512OfText(key, text, digests.sha512) : Sha512OfText(text, digests.sha512); });
    if (input.crc32)
        jobs.emplace_back([&] { digests.crc32 = Crc32OfText(text); });
    if (!jobs.empty())
        RunJobs(jobs, text.size() >= kParallelFrom);
    return digests;
}

// Hands the ticked results on in the order MD5, SHA-1, SHA-256, SHA-512, CRC-32.
void Deliver(const GenerateInput& input, const Digests& digests, const ResultSink& sink)
{
    if (input.md5)
        sink(Algorithm::Md5, platform::AsciiUpper(DigestToHexText(digests.md5)));
    if (input.sha1)
        sink(Algorithm::Sha1, platform::AsciiUpper(DigestToHexText(digests.sha1)));
    if (input.sha256)
        sink(Algorithm::Sha256, platform::AsciiUpper(DigestToHexText(digests.sha256)));
    if (input.sha512)
        sink(Algorithm::Sha512, platform::AsciiUpper(DigestToHexText(digests.sha512)));
    if (input.crc32)
        sink(Algorithm::Crc32, WordToHexText(digests.crc32, 0, true));
}

Digests FromWindows(const engine::WindowDigestResults& results)
{
    return {results.md5, results.sha1, results.sha256, results.sha512, results.crc32};
}

engine::WindowDigestChoice Choice(const GenerateInput& input)
{
    return {.md5 = input.md5,
            .sha1 = input.sha1,
            .sha256 = input.sha256,
            .sha512 = input.sha512,
            .crc32 = input.crc32,
            .hmac = input.hmac,
            .key = input.key};
}

// The file Generate reads, once the existence test has passed.
platform::SharedReadFile OpenTested(const std::string& fileName, bool exists)
{
    if (!exists)
        throw EHashError(kInvalidFileName, "");
    return platform::SharedReadFile(fileName);
}

void GenerateFromFile(const GenerateInput& input, bool exists, const ResultSink& sink, RunControl& control)
{
    // The file goes on every path, failure included. No result is handed on
    // before the file is known to have held still.
    platform::SharedReadFile file = OpenTested(input.fileName, exists);
    Deliver(input, FromWindows(DigestFile(file, Choice(input), control)), sink);
}

// The choice without its copy of the key, which is wiped: the lanes read the
// request's own.
engine::WindowDigestChoice Ticks(const GenerateInput& input)
{
    engine::WindowDigestChoice choice = Choice(input);
    ::explicit_bzero(choice.key.data(), choice.key.size());
    choice.key.clear();
    return choice;
}

// What files of the request may tick: a request that ticks nothing (a
// check, whose lines choose) may meet any digest.
engine::WindowDigestChoice Possible(const GenerateInput& input)
{
    engine::WindowDigestChoice choice = Ticks(input);
    if (!choice.md5 && !choice.sha1 && !choice.sha256 && !choice.sha512)
        choice.md5 = choice.sha1 = choice.sha256 = choice.sha512 = true;
    return choice;
}

void GenerateFromStandardInput(const GenerateInput& input, const ResultSink& sink, RunControl& control)
{
    platform::SharedReadFile in = platform::SharedReadFile::StandardInput();
    Deliver(input, FromWindows(DigestFile(in, Choice(input), control)), sink);
}

void GenerateFromText(const GenerateInput& input, const ResultSink& sink, RunControl& control)
{
    control.SetTotal(input.text.size());
    const Digests digests = Compute(input, input.text);
    if (control.Cancelled())
        throw ERunCancelled();
    control.AddDone(input.text.size());
    Deliver(input, digests, sink);
}

}  // namespace

void Generate(const GenerateInput& input, const ResultSink& sink, RunControl* control)
{
    RunControl own;
    RunControl& run = control != nullptr ? *control : own;
    if (run.Cancelled())
        throw ERunCancelled();
    switch (input.source) {
    case GenerateSource::File:
        GenerateFromFile(input, platform::FileExistsByPattern(input.fileName), sink, run);
        break;
    case GenerateSource::Text:
        GenerateFromText(input, sink, run);
        break;
    case GenerateSource::StandardInput:
        GenerateFromStandardInput(input, sink, run);
        break;
    case GenerateSource::Nothing:
        break;
    }
}

void GenerateFromTestedFile(const GenerateInput& input, bool exists, const ResultSink& sink, RunControl* control)
{
    RunControl own;
    RunControl& run = control != nullptr ? *control : own;
    if (run.Cancelled())
        throw ERunCancelled();
    GenerateFromFile(input, exists, sink, run);
}

GenerateInLanes::GenerateInLanes(const GenerateInput& possible, RunControl* control)
    : control_(control != nullptr ? *control : own_), lanes_(std::make_unique<FileLanes>(Possible(possible), control_))
{}

GenerateInLanes::~GenerateInLanes() = default;

bool GenerateInLanes::Pays(const GenerateInput& possible)
{
    return FileLanes::Pay(Possible(possible));
}

bool GenerateInLanes::Alone(const GenerateInput& request, std::uint64_t weight, std::uint64_t beside,
                            std::uint64_t share) const
{
    return lanes_->Alone(Ticks(request), weight, beside, share);
}

std::size_t GenerateInLanes::Room() const noexcept
{
    return lanes_->Room();
}

std::uint64_t GenerateInLanes::WeightLeft() const noexcept
{
    return lanes_->WeightLeft();
}

void GenerateInLanes::Begin(std::uint64_t tag, const std::string& fileName, const GenerateInput& request, bool exists)
{
    try {
        if (control_.Cancelled())
            throw ERunCancelled();
        platform::SharedReadFile file = OpenTested(fileName, exists);
        requests_.reserve(requests_.size() + 1);
        lanes_->Add(tag, std::move(file), Ticks(request), request.key);
        requests_.emplace_back(tag, &request);
    } catch (...) {
        failed_.push_back({tag, {}, std::current_exception()});
    }
}

void GenerateInLanes::Advance(std::vector<Ended>& ended)
{
    ended.clear();
    if (!failed_.empty()) {
        ended.swap(failed_);
        return;
    }
    std::vector<FileLanes::Ended> done;
    lanes_->Advance(done);
    for (FileLanes::Ended& file : done) {
        const auto request =
            std::find_if(requests_.begin(), requests_.end(), [&](const auto& r) { return r.first == file.tag; });
        Ended result{file.tag, {}, file.failure};
        if (!file.failure) {
            Deliver(*request->second, FromWindows(file.results), [&](Algorithm algorithm, const std::string& text) {
                result.results.emplace_back(algorithm, text);
            });
        }
        requests_.erase(request);
        ended.push_back(std::move(result));
    }
}

std::string TrimFileName(std::string_view name)
{
    const auto blank = [](char c) { return static_cast<unsigned char>(c) < 33; };
    std::size_t first = 0;
    std::size_t last = name.size();
    while (first < last && blank(name[first]))
        ++first;
    while (last > first && blank(name[last - 1]))
        --last;
    return std::string(name.substr(first, last - first));
}

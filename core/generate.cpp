#include "core/generate.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include <string.h>

#include "core/file_digests.h"
#include "core/file_lanes.h"
#include "engine/digest.h"
#include "platform/files/file_reader.h"
#include "platform/files/file_search.h"
#include "platform/process/thread_identity.h"

namespace {

// The engine's code for a name that the existence test turned down.
constexpr std::uint32_t kInvalidFileName = 7;

// Below this, a thread costs more than it saves.
constexpr std::size_t kParallelFrom = 1024 * 1024;

// Runs the jobs, the first on this thread. With cores to spare the others
// run beside it, the first (the dearest in the table's order of those the
// window ticks) on a core of its own; on two cores they share one thread.
// Should no thread be had, this one does the rest. Every thread has ended
// when this returns.
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
// signed 32-bit count.
engine::DigestResults Compute(const GenerateInput& input, const engine::WindowDigestChoice& choice,
                              const std::string& text)
{
    const auto bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::vector<engine::DigestBytes> digests(input.algorithms.Count());
    std::vector<std::function<void()>> jobs;
    std::size_t d = 0;
    for (const Algorithm algorithm : input.algorithms) {
        const AlgorithmRow& row = RowOf(algorithm);
        jobs.emplace_back([&, &digest = digests[d++]] {
            const std::unique_ptr<engine::MessageDigest> message = row.start(choice.KeyFor(row), input.blake2bBytes);
            message->Feed(bytes, text.size());
            digest = message->Finish();
        });
    }
    if (!jobs.empty())
        RunJobs(jobs, text.size() >= kParallelFrom);
    engine::DigestResults results;
    d = 0;
    for (const Algorithm algorithm : input.algorithms)
        results.Set(algorithm, digests[d++]);
    return results;
}

// Hands the ticked results on in the table's order.
void Deliver(const GenerateInput& input, const engine::DigestResults& digests, const ResultSink& sink)
{
    for (const Algorithm algorithm : input.algorithms)
        sink(algorithm, ResultText(RowOf(algorithm), digests[algorithm]));
}

// The request as the engine takes it. Its copies of the keys are the
// caller's to wipe: KeyedChoice does.
engine::WindowDigestChoice Choice(const GenerateInput& input)
{
    return {.algorithms = input.algorithms,
            .hmac = input.hmac,
            .key = input.key,
            .blake2bBytes = input.blake2bBytes,
            .blake3Key = input.blake3Key};
}

// A request's choice, keys and all, whose copies of the keys are wiped
// however it goes.
struct KeyedChoice {
    explicit KeyedChoice(const GenerateInput& input) : value(Choice(input)) {}
    KeyedChoice(const KeyedChoice&) = delete;
    KeyedChoice& operator=(const KeyedChoice&) = delete;
    ~KeyedChoice() { value.WipeKeys(); }
    engine::WindowDigestChoice value;
};

// The file Generate reads, once the existence test has passed.
platform::SharedReadFile OpenTested(const std::string& fileName, bool exists)
{
    if (!exists)
        throw EHashError(kInvalidFileName, "");
    return platform::SharedReadFile(fileName);
}

void GenerateFromFile(const GenerateInput& input, const FileOpener& open, const ResultSink& sink, RunControl& control)
{
    // The file goes on every path, failure included. No result is handed on
    // before the file is known to have held still.
    platform::SharedReadFile file = open();
    const KeyedChoice choice(input);
    Deliver(input, DigestFile(file, choice.value, control), sink);
}

void GenerateFromFile(const GenerateInput& input, bool exists, const ResultSink& sink, RunControl& control)
{
    GenerateFromFile(input, [&] { return OpenTested(input.fileName, exists); }, sink, control);
}

// The choice without its copy of the key, which is wiped: the lanes read the
// request's own.
engine::WindowDigestChoice Ticks(const GenerateInput& input)
{
    KeyedChoice choice(input);
    choice.value.WipeKeys();
    choice.value.key.clear();
    choice.value.blake3Key.clear();
    return choice.value;
}

// What files of the request may tick: a request that ticks nothing (a
// check, whose lines choose) may meet any digest.
engine::WindowDigestChoice Possible(const GenerateInput& input)
{
    engine::WindowDigestChoice choice = Ticks(input);
    if (choice.algorithms.Empty()) {
        for (const AlgorithmRow& row : AlgorithmRows())
            choice.algorithms.Add(row.algorithm);
    }
    return choice;
}

void GenerateFromStandardInput(const GenerateInput& input, const ResultSink& sink, RunControl& control)
{
    platform::SharedReadFile in = platform::SharedReadFile::StandardInput();
    const KeyedChoice choice(input);
    Deliver(input, DigestFile(in, choice.value, control), sink);
}

void GenerateFromText(const GenerateInput& input, const ResultSink& sink, RunControl& control)
{
    control.SetTotal(input.text.size());
    const KeyedChoice choice(input);
    const engine::DigestResults digests = Compute(input, choice.value, input.text);
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

void GenerateFromOpenedFile(const GenerateInput& input, const FileOpener& open, const ResultSink& sink,
                            RunControl* control)
{
    RunControl own;
    RunControl& run = control != nullptr ? *control : own;
    if (run.Cancelled())
        throw ERunCancelled();
    GenerateFromFile(input, open, sink, run);
}

GenerateInLanes::GenerateInLanes(const GenerateInput& possible, RunControl* control)
    : control_(control != nullptr ? *control : own_), lanes_(std::make_unique<FileLanes>(Possible(possible), control_))
{}

GenerateInLanes::~GenerateInLanes() = default;

bool GenerateInLanes::Worthwhile(const GenerateInput& possible)
{
    return FileLanes::Worthwhile(Possible(possible));
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
    Begin(tag, [&] { return OpenTested(fileName, exists); }, request);
}

void GenerateInLanes::Begin(std::uint64_t tag, const FileOpener& open, const GenerateInput& request)
{
    try {
        if (control_.Cancelled())
            throw ERunCancelled();
        platform::SharedReadFile file = open();
        requests_.reserve(requests_.size() + 1);
        lanes_->Add(tag, std::move(file), Ticks(request), request.key, request.blake3Key);
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
            Deliver(*request->second, file.results, [&](Algorithm algorithm, const std::string& text) {
                result.results.emplace_back(algorithm, text);
            });
        }
        requests_.erase(request);
        ended.push_back(std::move(result));
    }
}

GenerateInput::~GenerateInput()
{
    engine::WipeString(key);
    engine::WipeString(blake3Key);
}

GenerateInput OnlyTicked(const GenerateInput& input, Algorithm algorithm)
{
    GenerateInput only = input;
    only.algorithms = {algorithm};
    return only;
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

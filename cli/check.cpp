#include "cli/check.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <vector>

#include <string.h>

#include "cli/digest_lines.h"
#include "cli/side_by_side.h"
#include "engine/algorithms.h"
#include "platform/base/ascii.h"
#include "platform/text/word_list.h"

namespace {

struct Counts {
    std::size_t improper = 0;
    std::size_t otherAlgorithm = 0;
    std::vector<std::string> otherNames;  // in the order they first came
    std::size_t checkable = 0;            // lines of a file to compare
    std::size_t unreadable = 0;
    std::size_t mismatched = 0;
    std::size_t compared = 0;
    // Lines checked by an algorithm that only their number of digits told,
    // another than the first of that length: by its label, in the order
    // they first came.
    std::vector<std::pair<std::string, std::size_t>> toldByDigits;
};

// "1 line is", "2 lines are": the number and whichever form fits it.
std::string Counted(std::size_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The line's candidate whose digest was computed and equals the listed one.
const Candidate* MatchOf(const ListLine& line, const InputDigests& digests)
{
    for (const auto& [algorithm, result] : digests.results) {
        for (const Candidate& candidate : line.candidates) {
            if (candidate.row->algorithm == algorithm &&
                platform::SameAsciiNoCase(FullWidth(*candidate.row, result), line.digest))
                return &candidate;
        }
    }
    return nullptr;
}

class ListCheck {
public:
    ListCheck(const std::string& listName, const CheckOptions& options, Report& report)
        : listName_(listName), options_(options), report_(report), chosen_(options.request.algorithms)
    {}

    // Reports line `number` (counted from 1) once its file, if any, was digested.
    void Take(std::size_t number, const ListLine& line, const InputDigests& digests)
    {
        switch (line.kind) {
        case ListLine::Kind::Skipped:
            break;
        case ListLine::Kind::Improper:
            ++counts_.improper;
            if (options_.warn)
                Warn(number, "improperly formatted " + AlgorithmWord() + "checksum line");
            break;
        case ListLine::Kind::OtherAlgorithm:
            ++counts_.otherAlgorithm;
            if (std::find(counts_.otherNames.begin(), counts_.otherNames.end(), line.algorithmName) ==
                counts_.otherNames.end())
                counts_.otherNames.push_back(line.algorithmName);
            if (options_.warn)
                Warn(number, "line uses an algorithm vellumark-cli does not compute: " + line.algorithmName);
            break;
        case ListLine::Kind::Digest:
            ++counts_.checkable;
            TakeDigest(line, digests);
            break;
        }
    }

    bool Finish()
    {
        if (counts_.checkable == 0 && counts_.otherAlgorithm == 0) {
            report_.Err(listName_ + ": no properly formatted checksum lines found");
            return false;
        }
        const bool noneCompared = counts_.compared == 0 && (options_.ignoreMissing || counts_.otherAlgorithm > 0);
        if (!options_.status) {
            if (counts_.improper > 0)
                report_.Err("WARNING: " + Counted(counts_.improper, "line is", "lines are") + " improperly formatted");
            if (counts_.otherAlgorithm > 0)
                report_.Err(
                    "WARNING: " + Counted(counts_.otherAlgorithm, "line uses", "lines use") +
                    " an algorithm vellumark-cli does not compute: " + platform::WordList(counts_.otherNames, ", "));
            if (counts_.unreadable > 0)
                report_.Err("WARNING: " + Counted(counts_.unreadable, "listed file", "listed files") +
                            " could not be read");
            if (counts_.mismatched > 0)
                report_.Err("WARNING: " + Counted(counts_.mismatched, "computed checksum", "computed checksums") +
                            " did NOT match");
            for (const auto& [label, count] : counts_.toldByDigits)
                report_.Err("WARNING: " + Counted(count, "line was", "lines were") + " checked as " + label +
                            (count == 1 ? ", told by its number of digits" : ", told by their number of digits"));
            if (noneCompared)
                report_.Err(listName_ + ": no file was verified");
        }
        const bool unchecked = counts_.improper > 0 || counts_.otherAlgorithm > 0;
        return counts_.unreadable == 0 && counts_.mismatched == 0 && !noneCompared && !(options_.strict && unchecked);
    }

private:
    void TakeDigest(const ListLine& line, const InputDigests& digests)
    {
        const std::string shown = CheckedName(line.fileName, options_.charset);
        if (digests.failed || digests.results.empty()) {
            if (digests.missing && options_.ignoreMissing)
                return;
            ++counts_.unreadable;
            report_.Err(line.fileName + ": " + (digests.failed ? digests.reason : "No result was computed"));
            if (!options_.status)
                report_.Out(shown + ": FAILED open or read");
            return;
        }
        ++counts_.compared;
        if (const Candidate* matched = MatchOf(line, digests)) {
            if (!options_.quiet && !options_.status)
                report_.Out(shown + ": OK");
            if (*matched != line.candidates.front())
                ToldByDigits(LabelOf(*matched->row, matched->digits));
        } else {
            ++counts_.mismatched;
            if (!options_.status)
                report_.Out(shown + ": FAILED");
        }
    }

    void ToldByDigits(const std::string& label)
    {
        const auto told = std::find_if(counts_.toldByDigits.begin(), counts_.toldByDigits.end(),
                                       [&label](const auto& count) { return count.first == label; });
        if (told == counts_.toldByDigits.end())
            counts_.toldByDigits.emplace_back(label, 1);
        else
            ++told->second;
    }

    void Warn(std::size_t number, const std::string& what)
    {
        report_.Err(listName_ + ": " + std::to_string(number) + ": " + what);
    }

    // "MD5 " when one algorithm was chosen, as md5sum names its own.
    std::string AlgorithmWord() const
    {
        return chosen_.Count() == 1 ? std::string(RowOf(*chosen_.begin()).label) + " " : "";
    }

    const std::string& listName_;
    const CheckOptions& options_;
    Report& report_;
    const AlgorithmSet chosen_;
    Counts counts_;
};

// The lines of a list, item by item as the check reads them. A line's file
// is digested with its first candidate alone, the key included: the requests
// are made once per algorithm (and BLAKE2b length) rather than once a line,
// for the files in flight read theirs in place, and their copies of the key
// are wiped when the list is done. Only when that digest does not match is
// the file read again for the line's other candidates, all at once; once a
// line has matched by another candidate, that one is tried first for the
// rest of the list's lines of its length.
class CheckItems {
public:
    CheckItems(const std::string& listName, ListLines& lines, bool fromStandardInput, const CheckOptions& options,
               const DigestInputs& inputs)
        : lines_(lines), fromStandardInput_(fromStandardInput), options_(options), inputs_(inputs),
          reader_(options.request.algorithms, fromStandardInput ? std::string_view{} : std::string_view(listName))
    {
        requests_.reserve(kAlgorithmCount);
        for (const AlgorithmRow& row : AlgorithmRows())
            requests_.push_back(OnlyTicked(options.request, row.algorithm));
        blake2bRequests_.reserve(kBlake2bLengths);
        for (std::size_t bytes = 1; bytes <= kBlake2bLengths; ++bytes) {
            blake2bRequests_.push_back(OnlyTicked(options.request, Algorithm::Blake2b));
            blake2bRequests_.back().blake2bBytes = bytes;
        }
    }
    CheckItems(const CheckItems&) = delete;
    CheckItems& operator=(const CheckItems&) = delete;
    ~CheckItems()
    {
        for (std::vector<GenerateInput>* requests : {&requests_, &blake2bRequests_})
            for (GenerateInput& request : *requests)
                ::explicit_bzero(request.key.data(), request.key.size());
    }

    // The next line into `slot`, read and its file looked at; nothing at
    // the list's end.
    std::optional<ItemFacts> Next(std::size_t slot)
    {
        const std::optional<ListLines::Line> text = lines_.Next();
        if (!text)
            return std::nullopt;
        Item& item = items_[slot];
        item = {};
        item.number = ++number_;
        item.line = text->tooLong ? ListLine{} : reader_.Read(text->text);
        ItemFacts facts{.work = item.line.kind == ListLine::Kind::Digest, .listBytes = text->text.size() + 1};
        if (facts.work && IsStandardInput(item.line.fileName)) {
            facts.onCaller = true;
        } else if (facts.work) {
            item.looked = inputs_.Look(item.line.fileName);
            facts.weight = item.looked.Size();
        }
        return facts;
    }

    DigestItem ItemOf(std::size_t slot)
    {
        Item& item = items_[slot];
        return {item.line.fileName, item.looked, item.digests};
    }

    // The request of the line's first candidate, as preferred when it is
    // first asked for; the same thereafter.
    const GenerateInput& RequestOf(std::size_t slot)
    {
        Item& item = items_[slot];
        if (item.first < 0)
            item.first = static_cast<int>(Preferred(item.line));
        return RequestFor(item.line.candidates[static_cast<std::size_t>(item.first)]);
    }

    // Standard input, named in a list, can be read only once: all of the
    // line's candidates at once. From a list read from standard input, what
    // the list leaves there is nothing, and that is what is digested.
    bool OnStandardInput(std::size_t slot) { return IsStandardInput(items_[slot].line.fileName); }
    void DigestStandardInput(std::size_t slot)
    {
        Item& item = items_[slot];
        Wiped request{WithCandidates(item.line, nullptr)};
        item.digests = Digest(item, request.input);
    }

    // The line's other candidates, should the first not match.
    void Confirm(std::size_t slot)
    {
        Item& item = items_[slot];
        const ListLine& line = item.line;
        if (line.kind != ListLine::Kind::Digest || item.digests.failed || line.candidates.size() < 2)
            return;
        if (const Candidate* matched = MatchOf(line, item.digests)) {
            Prefer(*matched);
            return;
        }
        Wiped rest{WithCandidates(line, &item.digests)};
        if (rest.input.algorithms.Empty())
            return;
        InputDigests again = Digest(item, rest.input);
        if (again.failed) {
            item.digests = std::move(again);
            return;
        }
        item.digests.results.insert(item.digests.results.end(), again.results.begin(), again.results.end());
        if (const Candidate* matched = MatchOf(line, item.digests))
            Prefer(*matched);
    }

    // Hands the line to the check, and forgets it: its memory is not
    // needed any more.
    void TakeInto(std::size_t slot, ListCheck& check)
    {
        Confirm(slot);
        Item& item = items_[slot];
        check.Take(item.number, item.line, item.digests);
        item = {};
    }

private:
    static constexpr std::size_t kBlake2bLengths = 64;

    struct Item {
        std::size_t number = 0;
        ListLine line;
        Looked looked;
        InputDigests digests;
        int first = -1;  // the candidate the file was first digested with
    };

    // A request of its own, whose copy of the key is wiped when it goes.
    struct Wiped {
        GenerateInput input;
        ~Wiped() { ::explicit_bzero(input.key.data(), input.key.size()); }
    };

    const GenerateInput& RequestFor(const Candidate& candidate) const
    {
        const AlgorithmRow& row = *candidate.row;
        if (row.algorithm == Algorithm::Blake2b)
            return blake2bRequests_.at(candidate.digits / 2 - 1);
        return requests_.at(IndexOf(row.algorithm));
    }

    // The key and the line's candidates, but for those already computed.
    GenerateInput WithCandidates(const ListLine& line, const InputDigests* computed) const
    {
        GenerateInput request = options_.request;
        request.algorithms = {};
        for (const Candidate& candidate : line.candidates) {
            const bool done = computed != nullptr &&
                              std::any_of(computed->results.begin(), computed->results.end(),
                                          [&](const auto& result) { return result.first == candidate.row->algorithm; });
            if (!done)
                request.algorithms.Add(candidate.row->algorithm);
            request.blake2bBytes = candidate.digits / 2;
        }
        return request;
    }

    InputDigests Digest(const Item& item, const GenerateInput& request) const
    {
        if (!fromStandardInput_ || !IsStandardInput(item.line.fileName))
            return inputs_.Digest(item.line.fileName, item.looked, request);
        InputDigests digests;
        GenerateInput empty = request;
        empty.source = GenerateSource::Text;
        Generate(empty, [&digests](Algorithm algorithm, const std::string& result) {
            digests.results.emplace_back(algorithm, result);
        });
        ::explicit_bzero(empty.key.data(), empty.key.size());
        return digests;
    }

    // The candidate to try first: the one that last matched a line of this
    // length by being tried after another, if it is among the line's.
    std::size_t Preferred(const ListLine& line) const
    {
        if (line.candidates.size() < 2)
            return 0;
        const std::uint8_t preferred = preferred_[line.candidates.front().digits].load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < line.candidates.size(); ++i) {
            if (IndexOf(line.candidates[i].row->algorithm) + 1 == preferred)
                return i;
        }
        return 0;
    }

    void Prefer(const Candidate& candidate)
    {
        preferred_[candidate.digits].store(static_cast<std::uint8_t>(IndexOf(candidate.row->algorithm) + 1),
                                           std::memory_order_relaxed);
    }

    ListLines& lines_;
    const bool fromStandardInput_;
    const CheckOptions& options_;
    const DigestInputs& inputs_;
    ListReader reader_;
    std::vector<GenerateInput> requests_;                     // by algorithm
    std::vector<GenerateInput> blake2bRequests_;              // by BLAKE2b's length, 1 to 64 bytes
    std::array<std::atomic<std::uint8_t>, 129> preferred_{};  // by digits: the algorithm's number and 1; 0 for none
    Slots<Item> items_;
    std::size_t number_ = 0;
};

}  // namespace

bool CheckList(const std::string& listName, ListLines& lines, bool fromStandardInput, const CheckOptions& options,
               const DigestInputs& inputs, Report& report)
{
    CheckItems items(listName, lines, fromStandardInput, options, inputs);
    ListCheck check(listName, options, report);
    SideBySide run = DigestingSideBySide(
        inputs, options.request, options.threads, options.tally, report,
        [&items](std::size_t slot) { return items.ItemOf(slot); },
        [&items](std::size_t slot) -> const GenerateInput& { return items.RequestOf(slot); });
    const auto digest = run.work;
    run.work = [&items, digest](std::size_t slot) {
        if (items.OnStandardInput(slot)) {
            items.DigestStandardInput(slot);
            return;
        }
        digest(slot);
        items.Confirm(slot);
    };
    run.next = [&items](std::size_t slot) { return items.Next(slot); };
    run.done = [&items, &check](std::size_t slot) { items.TakeInto(slot, check); };
    RunSideBySide(run);
    return check.Finish();
}

bool CheckList(const std::string& listName, std::string_view contents, const CheckOptions& options,
               const DigestInputs& inputs, Report& report)
{
    ListLines lines(contents);
    return CheckList(listName, lines, false, options, inputs, report);
}

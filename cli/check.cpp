#include "cli/check.h"

#include <algorithm>
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
};

// "1 line is", "2 lines are": the number and whichever form fits it.
std::string Counted(std::size_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
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
                Warn(number, "line uses an algorithm vellumark-cli does not compute: " + line.algorithmName +
                                 (line.maybeSha512 ? " (--sha512 checks it as SHA-512)" : ""));
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
        if (digests.failed || digests.results.size() != 1) {
            if (digests.missing && options_.ignoreMissing)
                return;
            ++counts_.unreadable;
            report_.Err(line.fileName + ": " + (digests.failed ? digests.reason : "No result was computed"));
            if (!options_.status)
                report_.Out(shown + ": FAILED open or read");
            return;
        }
        ++counts_.compared;
        const std::string computed = FullWidth(*line.row, digests.results.front().second);
        if (platform::SameAsciiNoCase(computed, line.digest)) {
            if (!options_.quiet && !options_.status)
                report_.Out(shown + ": OK");
        } else {
            ++counts_.mismatched;
            if (!options_.status)
                report_.Out(shown + ": FAILED");
        }
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

// The algorithms whose words the list's file name (its last part) holds,
// in any case, as SHA512SUMS holds "sha512".
AlgorithmSet NamedByList(std::string_view path)
{
    const std::string name = platform::AsciiLower(std::string(path.substr(path.rfind('/') + 1)));
    AlgorithmSet named;
    for (const AlgorithmRow& row : AlgorithmRows()) {
        for (const std::string_view word : row.listWords)
            named.Set(row.algorithm, named.Has(row.algorithm) || name.find(word) != std::string::npos);
    }
    return named;
}

}  // namespace

namespace {

// The lines of a list, item by item as the check reads them, each with the
// request its file is digested with: the line's algorithm alone, with the
// key. The requests are made once per algorithm rather than once a line,
// for the files in flight read theirs in place; their copies of the key are
// wiped when the list is done.
class CheckItems {
public:
    CheckItems(const std::string& listName, ListLines& lines, bool fromStandardInput, const CheckOptions& options,
               const DigestInputs& inputs)
        : lines_(lines), fromStandardInput_(fromStandardInput), inputs_(inputs),
          reader_(options.request.algorithms, fromStandardInput ? AlgorithmSet{} : NamedByList(listName))
    {
        requests_.reserve(kAlgorithmCount);
        for (const AlgorithmRow& row : AlgorithmRows())
            requests_.push_back(OnlyTicked(options.request, row.algorithm));
    }
    CheckItems(const CheckItems&) = delete;
    CheckItems& operator=(const CheckItems&) = delete;
    ~CheckItems()
    {
        for (GenerateInput& request : requests_)
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

    const GenerateInput& RequestOf(std::size_t slot) { return requests_.at(IndexOf(items_[slot].line.row->algorithm)); }

    // A line naming "-" in a list read from standard input: what the list
    // leaves there is nothing, and that is what is digested.
    bool NamesWhatTheListLeft(std::size_t slot)
    {
        return fromStandardInput_ && IsStandardInput(items_[slot].line.fileName);
    }
    void DigestNothing(std::size_t slot)
    {
        GenerateInput empty = RequestOf(slot);
        empty.source = GenerateSource::Text;
        Item& item = items_[slot];
        Generate(empty, [&item](Algorithm algorithm, const std::string& result) {
            item.digests.results.emplace_back(algorithm, result);
        });
    }

    // Hands the line to the check, and forgets it: its memory is not
    // needed any more.
    void TakeInto(std::size_t slot, ListCheck& check)
    {
        Item& item = items_[slot];
        check.Take(item.number, item.line, item.digests);
        item = {};
    }

private:
    struct Item {
        std::size_t number = 0;
        ListLine line;
        Looked looked;
        InputDigests digests;
    };

    ListLines& lines_;
    const bool fromStandardInput_;
    const DigestInputs& inputs_;
    ListReader reader_;
    std::vector<GenerateInput> requests_;  // by algorithm
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
        if (items.NamesWhatTheListLeft(slot))
            items.DigestNothing(slot);
        else
            digest(slot);
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

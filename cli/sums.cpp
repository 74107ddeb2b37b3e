#include "cli/sums.h"

#include <atomic>
#include <cstring>
#include <optional>

#include <sys/stat.h>

#include "cli/digest_lines.h"
#include "cli/folder_walk.h"
#include "cli/side_by_side.h"
#include "platform/base/ascii.h"
#include "platform/files/file_reader.h"

std::string ResultLine(LineForm form, bool lower, const AlgorithmRow& row, const std::string& name,
                       const std::string& result)
{
    switch (form) {
    case LineForm::Plain:
        return LabelOf(row, FullWidth(row, result).size()) + " " + (lower ? platform::AsciiLower(result) : result);
    case LineForm::Tag: {
        const std::string full = FullWidth(row, result);
        return TagLine(row, name, lower ? platform::AsciiLower(full) : full);
    }
    case LineForm::Sum:
        return SumLine(platform::AsciiLower(FullWidth(row, result)), name);
    case LineForm::Sfv:
        return SfvLine(name, platform::AsciiUpper(FullWidth(row, result)));
    }
    return {};
}

namespace {

// The inputs of a run of sums, item by item: the names in the order given,
// a folder named with `recursive` standing for the files its walk finds in
// it, and, in the Sfv form, a name no SFV line can hold refused unread.
class SumItems {
public:
    SumItems(const std::vector<std::string>& names, const SumOptions& options, const DigestInputs& inputs,
             std::size_t walkLevels)
        : names_(names), options_(options), inputs_(inputs), walkLevels_(walkLevels)
    {}

    // The next input into `slot`, with its facts; nothing at the end.
    std::optional<ItemFacts> Next(std::size_t slot)
    {
        Item& item = items_[slot];
        item = {};
        for (;;) {
            if (walk_) {
                if (std::optional<FolderWalk::Found> found = walk_->Next())
                    return Walked(item, *std::move(found));
                walk_.reset();
                continue;
            }
            if (named_ == names_.size())
                return std::nullopt;
            item.name = names_[named_++];
            if (IsStandardInput(item.name)) {
                ItemFacts facts{.listBytes = item.name.size()};
                facts.onCaller = true;
                return facts;
            }
            item.looked = inputs_.Look(item.name);
            item.looked.named = true;
            if (options_.recursive && item.looked.Folder()) {
                walk_.emplace(item.name, walkLevels_, openFolders_);
                continue;
            }
            return Refused(item, {.weight = item.looked.Size(), .listBytes = item.name.size()});
        }
    }

    DigestItem ItemOf(std::size_t slot)
    {
        Item& item = items_[slot];
        return {item.name, item.looked, item.digests};
    }

    // The input's lines, or why it has none on standard error.
    void Print(std::size_t slot, Report& report)
    {
        Item& item = items_[slot];
        if (!item.notFound.empty() || item.digests.failed) {
            allRead_ = false;
            // As md5sum names an empty name, so that it shows.
            const std::string name = item.name.empty() ? "''" : item.name;
            report.Err(name + ": " + (!item.notFound.empty() ? item.notFound : item.digests.reason));
        }
        for (const auto& [algorithm, result] : item.digests.results)
            report.Out(ResultLine(options_.form, options_.lower, RowOf(algorithm), item.name, result));
        item = {};
    }

    // Whether every input was digested and the walks found nothing wrong.
    bool AllRead() const { return allRead_; }

    // The walk's folders open, its own and those its files in the look-ahead hold.
    const std::atomic<std::size_t>& OpenFolders() const { return openFolders_; }

private:
    struct Item {
        std::string name;
        Looked looked;
        std::string notFound;  // why the walk could not take it, or no SFV line can hold its name
        InputDigests digests;
    };

    ItemFacts Walked(Item& item, FolderWalk::Found&& found)
    {
        item.name = std::move(found.path);
        const ItemFacts facts{.weight = found.size, .listBytes = item.name.size()};
        if (found.error != 0) {
            item.notFound = found.error == FolderWalk::kNotRegular ? platform::kNotRegularText
                            : found.error == FolderWalk::kChanged  ? platform::kChangedDuringWalkText
                                                                   : std::strerror(found.error);
            return {.work = false, .listBytes = item.name.size()};
        }
        item.looked.info.st_mode = S_IFREG;
        item.looked.info.st_size = static_cast<off_t>(found.size);
        item.looked.info.st_dev = found.identity.device;
        item.looked.info.st_ino = found.identity.inode;
        item.looked.entryAt = found.entryAt;
        item.looked.link = found.link;
        const ItemFacts refused = Refused(item, facts);
        // A file not to be read holds its folder no longer.
        if (refused.work)
            item.looked.folder = std::move(found.folder);
        return refused;
    }

    // A name no SFV line can hold is not read: its line could not be written.
    ItemFacts Refused(Item& item, ItemFacts facts)
    {
        if (options_.form == LineForm::Sfv && !item.name.empty()) {
            item.notFound = SfvNameRefusal(item.name);
            facts.work = item.notFound.empty();
        }
        return facts;
    }

    const std::vector<std::string>& names_;
    const SumOptions& options_;
    const DigestInputs& inputs_;
    const std::size_t walkLevels_;
    // Before the items and the walk, which count on it to the end.
    std::atomic<std::size_t> openFolders_{0};
    Slots<Item> items_;
    std::size_t named_ = 0;
    std::optional<FolderWalk> walk_;
    bool allRead_ = true;
};

}  // namespace

bool PrintDigests(const std::vector<std::string>& names, const SumOptions& options, const DigestInputs& inputs,
                  Report& report)
{
    const DescriptorShares shares = ShareDescriptors(options.threads);
    SumItems items(names, options, inputs, shares.walkLevels);
    SideBySide run = DigestingSideBySide(
        inputs, options.request, options.threads, options.tally, report,
        [&items](std::size_t slot) { return items.ItemOf(slot); },
        [&options](std::size_t) -> const GenerateInput& { return options.request; });
    run.heldDescriptors = &items.OpenFolders();
    run.descriptorLimit = shares.walkFoldersAhead;
    run.next = [&items](std::size_t slot) { return items.Next(slot); };
    run.done = [&items, &report](std::size_t slot) { items.Print(slot, report); };
    RunSideBySide(run);
    return items.AllRead();
}

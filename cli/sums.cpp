#include "cli/sums.h"

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
        return std::string(row.label) + " " + (lower ? platform::AsciiLower(result) : result);
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

bool PrintDigests(const std::vector<std::string>& names, const SumOptions& options, const DigestInputs& inputs,
                  Report& report)
{
    struct Item {
        std::string name;
        Looked looked;
        std::string notFound;  // why the walk could not take it, or no SFV line can hold its name
        InputDigests digests;
    };
    Slots<Item> items;
    std::size_t named = 0;
    std::optional<FolderWalk> walk;
    bool allRead = true;

    // A name no SFV line can hold is not read: its line could not be written.
    const auto refused = [&options](Item& item, ItemFacts& facts) {
        if (options.form != LineForm::Sfv || item.name.empty() || IsStandardInput(item.name))
            return false;
        item.notFound = SfvNameRefusal(item.name);
        facts.work = item.notFound.empty();
        return !facts.work;
    };

    SideBySide run;
    run.threads = options.threads;
    run.tally = options.tally;
    run.next = [&](std::size_t slot) -> std::optional<ItemFacts> {
        Item& item = items[slot];
        item = {};
        ItemFacts facts;
        for (;;) {
            if (walk) {
                std::optional<FolderWalk::Found> found = walk->Next();
                if (!found) {
                    walk.reset();
                    continue;
                }
                item.name = std::move(found->path);
                facts.listBytes = item.name.size();
                if (found->error == 0 && refused(item, facts))
                    return facts;
                if (found->error != 0) {
                    item.notFound = found->error == FolderWalk::kNotRegular ? platform::kNotRegularText
                                                                            : std::strerror(found->error);
                    facts.work = false;
                } else {
                    item.looked.info.st_mode = S_IFREG;
                    item.looked.info.st_size = static_cast<off_t>(found->size);
                    facts.weight = found->size;
                }
                return facts;
            }
            if (named == names.size())
                return std::nullopt;
            item.name = names[named++];
            facts.listBytes = item.name.size();
            if (IsStandardInput(item.name)) {
                facts.onCaller = true;
                return facts;
            }
            item.looked = inputs.Look(item.name);
            if (options.recursive && item.looked.Folder()) {
                walk.emplace(item.name);
                continue;
            }
            if (refused(item, facts))
                return facts;
            facts.weight = item.looked.Size();
            return facts;
        }
    };
    run.work = [&](std::size_t slot) {
        Item& item = items[slot];
        item.digests = inputs.Digest(item.name, item.looked, options.request);
    };
    run.inFlight = [&] {
        return ItemsThrough(
            inputs.InFlight(options.request), [&](std::size_t) -> const GenerateInput& { return options.request; },
            [&](InputsInFlight& in, std::size_t slot) {
                Item& item = items[slot];
                in.Begin(slot, item.name, item.looked, options.request, item.digests);
            });
    };
    run.done = [&](std::size_t slot) {
        Item& item = items[slot];
        if (!item.notFound.empty() || item.digests.failed) {
            allRead = false;
            // As md5sum names an empty name, so that it shows.
            const std::string name = item.name.empty() ? "''" : item.name;
            report.Err(name + ": " + (!item.notFound.empty() ? item.notFound : item.digests.reason));
        }
        for (const auto& [algorithm, result] : item.digests.results)
            report.Out(ResultLine(options.form, options.lower, RowOf(algorithm), item.name, result));
        item = {};
    };
    run.caughtUp = [&] { report.Flush(); };
    RunSideBySide(run);
    return allRead;
}

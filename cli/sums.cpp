#include "cli/sums.h"

#include <cstring>
#include <optional>

#include <sys/stat.h>

#include "cli/digest_lines.h"
#include "cli/folder_walk.h"
#include "cli/side_by_side.h"
#include "platform/base/ascii.h"
#include "platform/files/file_reader.h"
#include "platform/text/error_text.h"

std::string ResultLine(LineForm form, bool lower, const DigestKind& kind, const std::string& name,
                       const std::string& result)
{
    switch (form) {
    case LineForm::Plain:
        return std::string(kind.tag) + " " + (lower ? platform::AsciiLower(result) : result);
    case LineForm::Tag: {
        const std::string full = FullWidth(kind, result);
        return TagLine(kind, name, lower ? platform::AsciiLower(full) : full);
    }
    case LineForm::Sum:
        return SumLine(platform::AsciiLower(FullWidth(kind, result)), name);
    }
    return {};
}

bool PrintDigests(const std::vector<std::string>& names, const SumOptions& options, const DigestInputs& inputs,
                  Report& report)
{
    struct Item {
        std::string name;
        Looked looked;
        bool found = false;    // by a walk: its failures are told in the system's words
        std::string notFound;  // why the walk could not take it
        InputDigests digests;
    };
    Slots<Item> items;
    std::size_t named = 0;
    std::optional<FolderWalk> walk;
    bool allRead = true;

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
                item.found = true;
                if (found->error != 0) {
                    item.notFound = found->error == FolderWalk::kNotRegular ? platform::kNotRegularText
                                                                            : std::strerror(found->error);
                    facts.work = false;
                } else {
                    item.looked.info.st_mode = S_IFREG;
                    item.looked.info.st_size = static_cast<off_t>(found->size);
                    facts.weight = found->size;
                }
                facts.listBytes = item.name.size();
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
            const std::string& why = !item.notFound.empty() ? item.notFound
                                     : item.found           ? item.digests.reason
                                                            : item.digests.failure;
            report.Err(item.name + ": " + platform::WithFullStop(why));
        }
        for (const auto& [algorithm, result] : item.digests.results)
            report.Out(ResultLine(options.form, options.lower, KindOf(algorithm), item.name, result));
        item = {};
    };
    run.caughtUp = [&] { report.Flush(); };
    RunSideBySide(run);
    return allRead;
}

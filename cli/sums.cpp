#include "cli/sums.h"

#include "cli/digest_lines.h"
#include "cli/side_by_side.h"
#include "platform/base/ascii.h"
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
    std::vector<InputDigests> digests(names.size());
    bool allRead = true;
    SideBySide run;
    run.count = names.size();
    run.threads = options.threads;
    run.weight = [&](std::size_t i) { return inputs.Size(names[i]); };
    run.inOrder = [&](std::size_t i) { return IsStandardInput(names[i]); };
    run.work = [&](std::size_t i) { digests[i] = inputs.Digest(names[i], options.request); };
    run.done = [&](std::size_t i) {
        if (digests[i].failed) {
            allRead = false;
            report.Err(names[i] + ": " + platform::WithFullStop(digests[i].failure));
        }
        for (const auto& [algorithm, result] : digests[i].results)
            report.Out(ResultLine(options.form, options.lower, KindOf(algorithm), names[i], result));
        digests[i] = {};
    };
    RunSideBySide(run);
    return allRead;
}

#pragma once

#include <string>
#include <string_view>

#include "core/generate.h"
#include "cli/digest_lines.h"
#include "cli/inputs.h"
#include "cli/report.h"
#include "cli/side_by_side.h"
#include "platform/text/shown_name.h"

// `vellumark-cli --check`: the files a list of digests names are digested and
// compared with it, as md5sum -c and sha1sum -c do, with their messages.

struct CheckOptions {
    bool quiet = false;          // no "name: OK"
    bool status = false;         // nothing on standard output, no summary
    bool warn = false;           // a warning for each line that is not checked
    bool strict = false;         // such lines fail the list
    bool ignoreMissing = false;  // a file that does not exist is passed over
    // The key and HMAC tick; its ticks, when any, are the algorithms of the
    // lines without a tag.
    GenerateInput request;
    unsigned threads = 0;  // besides the caller's, for files checked side by side
    RunTally* tally = nullptr;  // counted as the check goes, when given
    // That of the terminal the report is read on, for the names in it.
    platform::Charset charset = platform::Charset::Utf8;
};

// Checks one list, given its name for messages ("standard input" for a list
// read from there) and its lines, read as the check goes. Every file is
// digested through inputs, several at once; the report comes in list order:
// "name: OK", "name: FAILED" or "name: FAILED open or read" per file, each
// line that is not checked (with warn), then the summary. True when the list
// passes: every listed file was read and matched, at least one file was
// compared, and (with strict) every line was checked or skipped as a
// comment. `fromStandardInput`: the list is standard input's, so that a line
// naming "-" finds nothing left there; otherwise a list whose file name holds
// "sha512" (any case) has its lines of 128 digits without a tag checked as
// SHA-512, as --sha512 would. Throws Exception when the list cannot
// be read to its end; what was checked before is reported.
bool CheckList(const std::string& listName, ListLines& lines, bool fromStandardInput, const CheckOptions& options,
               const DigestInputs& inputs, Report& report);

// The same for a list held whole (a test's).
bool CheckList(const std::string& listName, std::string_view contents, const CheckOptions& options,
               const DigestInputs& inputs, Report& report);

// vellumark-cli: the Generate command for scripts and for checking results
// without a window. It prints what the window's result boxes would show, or
// the lines md5sum and sha1sum write, and checks lists of digests as they
// do. It never touches the settings or the instance table.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <unistd.h>

#include "cli/check.h"
#include "cli/progress.h"
#include "cli/inputs.h"
#include "cli/report.h"
#include "cli/sums.h"
#include "cli/digest_kinds.h"
#include "app/generate/generate.h"
#include "app/generate/text_bytes.h"
#include "platform/base/exception.h"
#include "platform/files/file_reader.h"
#include "platform/process/thread_identity.h"
#include "platform/text/error_text.h"
#include "platform/text/utf8.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage = "usage: vellumark-cli [OPTION]... [FILE... | --text TEXT]\n";

constexpr const char* kHelp =
    "Computes message digests and checksums of files, standard input or a text,\n"
    "as the Vellumark window shows them, and checks files against lists of\n"
    "digests.\n"
    "\n"
    "  --md5          MD5 (the default when no algorithm is chosen)\n"
    "  --sha1         SHA-1\n"
    "  --sha256       SHA-256, which only the companion computes, not the window\n"
    "  --crc32        CRC-32, never keyed\n"
    "  --hmac KEY     keyed MD5, SHA-1 and SHA-256 (HMAC) under KEY, which may be\n"
    "                 empty\n"
    "  --hmac-key-file KEYFILE\n"
    "                 the same with the key read from KEYFILE, a file of one\n"
    "                 line whose line break is not part of the key; \"-\" reads\n"
    "                 the key from the first line of standard input\n"
    "  --text TEXT    digest TEXT as the text page would: every line break\n"
    "                 becomes CR LF, nothing is trimmed\n"
    "  FILE           digest the file's bytes; blanks around the name are\n"
    "                 dropped, and \"*\" and \"?\" in its last part are wildcards\n"
    "                 for the existence test; \"-\", or no FILE, is standard input\n"
    "  --tag          BSD tag lines \"MD5 (name) = HEX\", also for one FILE\n"
    "  --sum          lines \"hex  name\" in lower case, as md5sum, sha1sum and\n"
    "                 sha256sum write them, for one algorithm\n"
    "  --lower        hexadecimal digits in lower case\n"
    "  -c, --check    read lists of digests from the FILEs (from standard input\n"
    "                 when there are none) and check the files they name\n"
    "  --ignore-missing\n"
    "                 with --check: pass over listed files that do not exist\n"
    "  --quiet        with --check: print no line for a file that is OK\n"
    "  --status       with --check: print nothing on standard output and no\n"
    "                 summary; the exit status tells\n"
    "  -w, --warn     with --check: warn about each broken line, and each line of\n"
    "                 an algorithm vellumark-cli does not compute\n"
    "  --strict       with --check: fail when the list has such a line\n"
    "  --             ends the options, so that FILE may begin with \"-\"\n"
    "  --help         show this text\n"
    "  --version      show the version\n"
    "\n"
    "For one input: one line per chosen algorithm, in the order MD5, SHA-1,\n"
    "SHA-256, CRC-32: the label (MD5, SHA1, SHA256, CRC32), a space and the\n"
    "result in upper-case hexadecimal, as the result box shows it (the window\n"
    "has no SHA-256). For several FILEs the lines are BSD tag lines, file after\n"
    "file in the order named. In tag and sum lines a CRC-32 has all its 8\n"
    "digits, and a name that holds a backslash, a line feed or a carriage return\n"
    "has them written as \\\\, \\n and \\r, with a backslash at the start of\n"
    "its line.\n"
    "\n"
    "A list holds lines as md5sum, sha1sum and sha256sum write them (\"hex  name\"\n"
    "or \"hex *name\"), BSD tag lines for MD5, SHA1, SHA256 and CRC32 (\"MD5 (name)\n"
    "= hex\", with any spaces before the parenthesis) or \"MD5(name)= hex\" lines;\n"
    "lines that start with \"#\" are comments. The tag names the algorithm, or\n"
    "else --md5, --sha1, --sha256 or --crc32 does, or else the number of digits.\n"
    "Digits compare ignoring case, and names are taken exactly as listed. Each\n"
    "file is reported in list order as \"name: OK\", \"name: FAILED\" or \"name:\n"
    "FAILED open or read\", followed by a summary on standard error. A line of an\n"
    "algorithm vellumark-cli does not compute (SHA512, a 128-digit digest) is\n"
    "never FAILED: it is counted, and its algorithm named, in the summary.\n"
    "\n"
    "Exit status: 0 on success, 1 when an input cannot be digested or a check\n"
    "fails (the reason on standard error), 2 on bad usage.\n";

constexpr const char* kVersion = "vellumark-cli (Vellumark) " VELLUMARK_VERSION "\n";

struct Request {
    bool help = false;
    bool version = false;
    bool check = false;
    LineForm form = LineForm::Plain;
    bool lower = false;
    GenerateInput input;             // the ticks and the key; the source is chosen later
    std::vector<std::string> files;  // as given
    std::optional<std::string> keyFile;
    CheckOptions checks;
};

// Thrown for a command line that cannot be understood.
struct UsageError {
    std::string problem;
};

std::string TextBytes(const std::string& text)
{
    // The text takes the same way to bytes as a text typed into the window,
    // which holds UTF-8. Bytes that are no UTF-8 could never be in the text
    // box: it would show and digest them as replacement characters.
    if (!platform::IsUtf8(text))
        throw Exception("The text holds bytes that are not valid UTF-8, the locale's encoding");
    return TextPageBytes(text);
}

Request ParseArguments(int argc, char** argv)
{
    Request request;
    GenerateInput& input = request.input;
    std::optional<std::string> text;
    std::optional<std::string> key;
    bool tag = false;
    bool sum = false;
    bool optionsEnded = false;

    const auto once = [](std::optional<std::string>& slot, std::string value, std::string_view what) {
        if (slot)
            throw UsageError{std::string(what) + " given more than once"};
        slot = std::move(value);
    };
    // An option without a value; false for none of them.
    const auto flag = [&](const std::string& name) {
        if (const DigestKind* kind = KindByOption(name)) {
            input.*kind->tick = true;
            return true;
        }
        CheckOptions& checks = request.checks;
        const std::pair<const char*, bool*> flags[] = {
            {"-c", &request.check},
            {"--check", &request.check},
            {"--tag", &tag},
            {"--sum", &sum},
            {"--lower", &request.lower},
            {"--help", &request.help},
            {"--version", &request.version},
            {"--quiet", &checks.quiet},
            {"--status", &checks.status},
            {"-w", &checks.warn},
            {"--warn", &checks.warn},
            {"--strict", &checks.strict},
            {"--ignore-missing", &checks.ignoreMissing},
        };
        for (const auto& [option, given] : flags) {
            if (name == option) {
                *given = true;
                return true;
            }
        }
        return false;
    };

    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument.front() != '-') {
            request.files.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument.starts_with("--")) {
            // --name, --name VALUE or --name=VALUE
            const std::size_t equals = argument.find('=');
            const std::string name = argument.substr(0, equals);
            const auto value = [&]() -> std::string {
                if (equals != std::string::npos)
                    return argument.substr(equals + 1);
                if (i + 1 >= argc)
                    throw UsageError{name + " needs a value"};
                return argv[++i];
            };
            if (name == "--hmac")
                once(key, value(), name);
            else if (name == "--hmac-key-file")
                once(request.keyFile, value(), name);
            else if (name == "--text")
                once(text, value(), name);
            else if (equals != std::string::npos || !flag(name))
                throw UsageError{"unknown option " + argument};
        } else {
            // Short options, also together: -c, -w, -cw.
            for (std::size_t k = 1; k < argument.size(); ++k) {
                if (!flag(std::string{'-', argument[k]}))
                    throw UsageError{"unknown option -" + std::string(1, argument[k])};
            }
        }
    }
    if (request.help || request.version)
        return request;

    if (key && request.keyFile)
        throw UsageError{"give either --hmac or --hmac-key-file, not both"};
    const CheckOptions& checks = request.checks;
    const std::pair<bool, const char*> notInCheck[] = {
        {tag, "--tag"}, {sum, "--sum"}, {request.lower, "--lower"}, {text.has_value(), "--text"}};
    const std::pair<bool, const char*> onlyInCheck[] = {{checks.quiet, "--quiet"},
                                                        {checks.status, "--status"},
                                                        {checks.warn, "--warn"},
                                                        {checks.strict, "--strict"},
                                                        {checks.ignoreMissing, "--ignore-missing"}};
    for (const auto& [given, option] : notInCheck) {
        if (given && request.check)
            throw UsageError{std::string("the ") + option + " option is meaningless when verifying checksums"};
    }
    for (const auto& [given, option] : onlyInCheck) {
        if (given && !request.check)
            throw UsageError{std::string("the ") + option + " option is meaningful only when verifying checksums"};
    }
    if (!request.check) {
        if (text && !request.files.empty())
            throw UsageError{"give either FILE or --text, not both"};
        if (text && (tag || sum))
            throw UsageError{"--tag and --sum name files: give FILE, not --text"};
        if (tag && sum)
            throw UsageError{"give either --tag or --sum, not both"};
        // Without a choice a check goes by each line; anything else computes MD5.
        if (TickedKinds(input).empty())
            input.md5 = true;
        if (sum && TickedKinds(input).size() != 1)
            throw UsageError{"--sum takes exactly one algorithm"};
        request.form = sum ? LineForm::Sum : tag || request.files.size() > 1 ? LineForm::Tag : LineForm::Plain;
    }

    if (key) {
        input.hmac = true;
        input.key = *key;
    }
    if (text) {
        input.source = GenerateSource::Text;
        input.text = TextBytes(*text);
    }
    return request;
}

// Every list in turn, standard input's when none is named.
bool RunChecks(const Request& request, const FileInputs& inputs, Report& report)
{
    CheckOptions options = request.checks;
    options.request = request.input;
    options.threads = platform::ProcessorCount();
    bool passed = true;
    for (const std::string& list : request.files.empty() ? std::vector<std::string>{"-"} : request.files) {
        const std::string listName = IsStandardInput(list) ? "standard input" : list;
        std::string contents;
        try {
            contents = ReadWholeInput(list);
        } catch (const Exception& error) {
            report.Err(listName + ": " + platform::WithFullStop(error.Message()));
            passed = false;
            continue;
        }
        passed = CheckList(listName, contents, options, inputs, report) && passed;
    }
    return passed;
}

// The named files (trimmed, as the window trims its name box), or standard input.
bool RunDigests(const Request& request, const FileInputs& inputs, Report& report)
{
    std::vector<std::string> names;
    for (const std::string& file : request.files)
        names.push_back(IsStandardInput(file) ? file : TrimFileName(file));
    if (names.empty())
        names.emplace_back("-");
    SumOptions options;
    options.form = request.form;
    options.lower = request.lower;
    options.request = request.input;
    options.threads = platform::ProcessorCount();
    return PrintDigests(names, options, inputs, report);
}

bool Run(Request& request, const FileInputs& inputs, Report& report)
{
    if (request.keyFile) {
        try {
            request.input.key = ReadKeyLine(*request.keyFile);
            request.input.hmac = true;
        } catch (const Exception& error) {
            report.Err(*request.keyFile + ": " + platform::WithFullStop(error.Message()));
            return false;
        }
    }
    if (request.check)
        return RunChecks(request, inputs, report);
    if (request.input.source == GenerateSource::Text) {
        Generate(request.input, [&](Algorithm algorithm, const std::string& result) {
            report.Out(ResultLine(LineForm::Plain, request.lower, KindOf(algorithm), "", result));
        });
        return true;
    }
    return RunDigests(request, inputs, report);
}

}  // namespace

int main(int argc, char** argv)
{
    ProgressLine progress(STDERR_FILENO);
    StdioReport report(&progress);
    const auto fail = [&report](const std::string& message) {
        report.Err(platform::WithFullStop(message));
        return kExitFailure;
    };
    Request request;
    try {
        request = ParseArguments(argc, argv);
    } catch (const UsageError& error) {
        report.Err(error.problem);
        std::fputs(kUsage, stderr);
        return kExitUsage;
    } catch (const Exception& error) {
        return fail(error.Message());
    } catch (const std::bad_alloc&) {
        return fail("Out of memory");
    }
    // Files are read under a lease, whose break would otherwise end us.
    platform::IgnoreLeaseBreakSignal();
    ProgressLine::EndOnInterrupt();
    if (request.help || request.version) {
        std::fputs(request.help ? kUsage : kVersion, stdout);
        if (request.help)
            std::fputs(kHelp, stdout);
        return std::fflush(stdout) == 0 ? 0 : kExitFailure;
    }

    bool succeeded = false;
    try {
        succeeded = Run(request, FileInputs(&progress), report);
    } catch (const Exception& error) {
        return fail(error.Message());
    } catch (const std::bad_alloc&) {
        return fail("Out of memory");
    } catch (const std::exception& error) {
        return fail(error.what());
    }

    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return fail(std::string("Cannot write the results: ") + std::strerror(errno));
    return succeeded ? 0 : kExitFailure;
}

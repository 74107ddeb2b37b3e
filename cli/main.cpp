// vellumark-cli: the Generate command for scripts and for checking results
// without a window. It prints what the window's result boxes would show, or
// the lines md5sum and sha1sum write, and checks lists of digests as they
// do. It never touches the settings or the instance table.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "cli/check.h"
#include "cli/digest_lines.h"
#include "cli/inputs.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "cli/side_by_side.h"
#include "cli/sums.h"
#include "core/generate.h"
#include "core/progress_text.h"
#include "core/text_bytes.h"
#include "engine/algorithms.h"
#include "platform/base/exception.h"
#include "platform/base/unique_fd.h"
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
    "  --sha512       SHA-512\n"
    "  --crc32        CRC-32, never keyed\n"
    "  --hmac KEY     keyed MD5, SHA-1, SHA-256 and SHA-512 (HMAC) under KEY,\n"
    "                 which may be empty\n"
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
    "  --sum          lines \"hex  name\" in lower case, as md5sum, sha1sum,\n"
    "                 sha256sum and sha512sum write them, for one algorithm\n"
    "  --sfv          SFV lines \"name HEX\" of the CRC-32, for one or more FILEs;\n"
    "                 it takes no other algorithm, key or form of line\n"
    "  --lower        hexadecimal digits in lower case\n"
    "  -r, --recursive\n"
    "                 a FILE that is a folder stands for every file in it and\n"
    "                 in the folders below, in the order of their whole names\n"
    "                 byte by byte; each line carries its name\n"
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
    "SHA-256, SHA-512, CRC-32: the label (MD5, SHA1, SHA256, SHA512, CRC32), a\n"
    "space and the result in upper-case hexadecimal, as the result box shows it\n"
    "(the window has no SHA-256). For several FILEs, or with -r, the lines are\n"
    "BSD tag lines, file after file in the order named. With --sfv each file\n"
    "has one line, its name, a space and its CRC-32 in 8 upper-case digits, with\n"
    "no header; a name that no SFV line can hold (one with a line feed, a\n"
    "carriage return or a backslash, or one that a check would read as a comment\n"
    "or as a line of another form) is refused on standard error, and the other\n"
    "files go on. With -r a symbolic link to a file is digested as the file, a\n"
    "link to a folder is not followed, and what is no regular file or cannot be\n"
    "read is told on standard error while the walk goes on; the lines check back\n"
    "with -c from the folder where they were made. In tag and sum lines a CRC-32\n"
    "has all its 8 digits, and a name that holds a backslash, a line feed or a\n"
    "carriage return has them written as \\\\, \\n and \\r, with a backslash at\n"
    "the start of its line.\n"
    "\n"
    "A list holds lines as md5sum, sha1sum, sha256sum and sha512sum write them\n"
    "(\"hex  name\" or \"hex *name\"), BSD tag lines for MD5, SHA1, SHA256, SHA512\n"
    "and CRC32 (\"MD5 (name) = hex\", with any spaces before the parenthesis),\n"
    "\"MD5(name)= hex\" lines, or SFV lines (\"name HEX\", the CRC-32 after the\n"
    "last space); lines that start with \"#\" or \";\" are comments. The tag names\n"
    "the algorithm, an SFV line is CRC-32, or else --md5, --sha1, --sha256,\n"
    "--sha512 or --crc32 does, or else the number of digits. Digits compare\n"
    "ignoring case, and names are taken exactly as listed. Each file is reported\n"
    "in list order as \"name: OK\", \"name: FAILED\" or \"name: FAILED open or\n"
    "read\", followed by a summary on standard error. A line of an algorithm\n"
    "vellumark-cli does not compute (SHA384, say) is never FAILED: it is counted,\n"
    "and its algorithm named, in the summary. So is a line of 128 digits without\n"
    "a tag, which b2sum writes too, unless --sha512 is given or the list's file\n"
    "name holds \"sha512\" in any case: then it is SHA-512.\n"
    "\n"
    "Exit status: 0 on success, 1 when an input cannot be digested or a check\n"
    "fails (the reason on standard error), 2 on bad usage.\n";

constexpr const char* kVersion = "vellumark-cli (Vellumark) " VELLUMARK_VERSION "\n";

struct Request {
    bool help = false;
    bool version = false;
    bool check = false;
    bool recursive = false;
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

// What the command line says, option by option, before the rules between
// them are applied.
struct Given {
    Request request;
    std::optional<std::string> text;
    std::optional<std::string> key;
    bool tag = false;
    bool sum = false;
    bool sfv = false;
};

void Once(std::optional<std::string>& slot, std::string value, std::string_view option)
{
    if (slot)
        throw UsageError{std::string(option) + " given more than once"};
    slot = std::move(value);
}

// Every option but the algorithms' (the table of algorithms has theirs): its
// long name, its letter (0 for none), whether it takes a value, and what it
// sets.
struct Option {
    std::string_view name;
    char letter;
    bool takesValue;
    void (*set)(Given&, std::string&& value);
};

constexpr Option kOptions[] = {
    {"--hmac", 0, true, [](Given& g, std::string&& v) { Once(g.key, std::move(v), "--hmac"); }},
    {"--hmac-key-file", 0, true,
     [](Given& g, std::string&& v) { Once(g.request.keyFile, std::move(v), "--hmac-key-file"); }},
    {"--text", 0, true, [](Given& g, std::string&& v) { Once(g.text, std::move(v), "--text"); }},
    {"--tag", 0, false, [](Given& g, std::string&&) { g.tag = true; }},
    {"--sum", 0, false, [](Given& g, std::string&&) { g.sum = true; }},
    {"--sfv", 0, false, [](Given& g, std::string&&) { g.sfv = true; }},
    {"--lower", 0, false, [](Given& g, std::string&&) { g.request.lower = true; }},
    {"--recursive", 'r', false, [](Given& g, std::string&&) { g.request.recursive = true; }},
    {"--check", 'c', false, [](Given& g, std::string&&) { g.request.check = true; }},
    {"--ignore-missing", 0, false, [](Given& g, std::string&&) { g.request.checks.ignoreMissing = true; }},
    {"--quiet", 0, false, [](Given& g, std::string&&) { g.request.checks.quiet = true; }},
    {"--status", 0, false, [](Given& g, std::string&&) { g.request.checks.status = true; }},
    {"--warn", 'w', false, [](Given& g, std::string&&) { g.request.checks.warn = true; }},
    {"--strict", 0, false, [](Given& g, std::string&&) { g.request.checks.strict = true; }},
    {"--help", 0, false, [](Given& g, std::string&&) { g.request.help = true; }},
    {"--version", 0, false, [](Given& g, std::string&&) { g.request.version = true; }},
};

const Option* OptionNamed(std::string_view name)
{
    for (const Option& option : kOptions) {
        if (option.name == name ||
            (name.size() == 2 && name[0] == '-' && option.letter != 0 && name[1] == option.letter))
            return &option;
    }
    return nullptr;
}

// The options as given, each once it is known.
Given ReadOptions(int argc, char** argv)
{
    Given given;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument.front() != '-') {
            given.request.files.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument.starts_with("--")) {
            // --name, --name VALUE or --name=VALUE
            const std::size_t equals = argument.find('=');
            const std::string_view name = std::string_view(argument).substr(0, equals);
            if (const AlgorithmRow* row = RowByOption(name); row != nullptr && equals == std::string::npos) {
                given.request.input.algorithms.Add(row->algorithm);
                continue;
            }
            const Option* option = OptionNamed(name);
            if (option == nullptr || (!option->takesValue && equals != std::string::npos))
                throw UsageError{"unknown option " + argument};
            std::string value;
            if (equals != std::string::npos)
                value = argument.substr(equals + 1);
            else if (option->takesValue && i + 1 >= argc)
                throw UsageError{std::string(option->name) + " needs a value"};
            else if (option->takesValue)
                value = argv[++i];
            option->set(given, std::move(value));
        } else {
            // Letters, also together: -c, -w, -cw.
            for (std::size_t k = 1; k < argument.size(); ++k) {
                const Option* option = OptionNamed(std::string{'-', argument[k]});
                if (option == nullptr || option->takesValue)
                    throw UsageError{"unknown option -" + std::string(1, argument[k])};
                option->set(given, {});
            }
        }
    }
    return given;
}

// SFV lines hold the CRC-32 of a named file, in upper case, and nothing else.
void CheckSfvAlone(Given& given)
{
    if (given.text)
        throw UsageError{"--sfv names files: give FILE, not --text"};
    std::vector<std::string_view> others;
    for (const Algorithm algorithm : given.request.input.algorithms) {
        if (algorithm != Algorithm::Crc32)
            others.push_back(RowOf(algorithm).option);
    }
    const std::pair<bool, std::string_view> options[] = {{given.key.has_value(), "--hmac"},
                                                         {given.request.keyFile.has_value(), "--hmac-key-file"},
                                                         {given.tag, "--tag"},
                                                         {given.sum, "--sum"},
                                                         {given.request.lower, "--lower"}};
    for (const auto& [set, option] : options) {
        if (set)
            others.push_back(option);
    }
    if (!others.empty())
        throw UsageError{"--sfv writes CRC-32 alone, in upper case: it takes no " + std::string(others.front())};
    given.request.input.algorithms.Add(Algorithm::Crc32);
}

Request ParseArguments(int argc, char** argv)
{
    Given given = ReadOptions(argc, argv);
    Request& request = given.request;
    if (request.help || request.version)
        return request;

    GenerateInput& input = request.input;
    const CheckOptions& checks = request.checks;
    if (given.key && request.keyFile)
        throw UsageError{"give either --hmac or --hmac-key-file, not both"};
    const std::pair<bool, const char*> notInCheck[] = {{given.tag, "--tag"},
                                                       {given.sum, "--sum"},
                                                       {given.sfv, "--sfv"},
                                                       {request.lower, "--lower"},
                                                       {given.text.has_value(), "--text"},
                                                       {request.recursive, "--recursive"}};
    const std::pair<bool, const char*> onlyInCheck[] = {{checks.quiet, "--quiet"},
                                                        {checks.status, "--status"},
                                                        {checks.warn, "--warn"},
                                                        {checks.strict, "--strict"},
                                                        {checks.ignoreMissing, "--ignore-missing"}};
    for (const auto& [set, option] : notInCheck) {
        if (set && request.check)
            throw UsageError{std::string("the ") + option + " option is meaningless when verifying checksums"};
    }
    for (const auto& [set, option] : onlyInCheck) {
        if (set && !request.check)
            throw UsageError{std::string("the ") + option + " option is meaningful only when verifying checksums"};
    }
    if (!request.check) {
        if (given.text && !request.files.empty())
            throw UsageError{"give either FILE or --text, not both"};
        if (given.text && request.recursive)
            throw UsageError{"--recursive walks folders: give FILE, not --text"};
        if (given.text && (given.tag || given.sum))
            throw UsageError{"--tag and --sum name files: give FILE, not --text"};
        if (given.tag && given.sum)
            throw UsageError{"give either --tag or --sum, not both"};
        if (given.sfv)
            CheckSfvAlone(given);
        // Without a choice a check goes by each line; anything else computes MD5.
        if (input.algorithms.Empty())
            input.algorithms.Add(Algorithm::Md5);
        if (given.sum && input.algorithms.Count() != 1)
            throw UsageError{"--sum takes exactly one algorithm"};
        const bool named = given.tag || request.recursive || request.files.size() > 1;
        request.form = given.sfv ? LineForm::Sfv : given.sum ? LineForm::Sum : named ? LineForm::Tag : LineForm::Plain;
    }

    if (given.key) {
        input.hmac = true;
        input.key = *given.key;
    }
    if (given.text) {
        input.source = GenerateSource::Text;
        input.text = TextBytes(*given.text);
    }
    return request;
}

// What a run shares with the progress line: the bytes read and, of many
// files, how many there are and how many are done.
struct Progress {
    ProgressLine& line;
    RunControl read;
    RunTally tally;
};

ProgressLine::Shown ShowWholeRun(Progress& progress)
{
    return progress.line.Show([&progress](std::chrono::steady_clock::duration elapsed) {
        const RunTally& tally = progress.tally;
        const RunCounts counts{tally.filesDone,      tally.filesListed, tally.listEnded,
                               progress.read.Done(), tally.bytesListed, !tally.sizesUnknown};
        return ProgressLine::Text{{}, RunProgressText(counts, elapsed)};
    });
}

// Every list in turn, standard input's when none is named.
bool RunChecks(const Request& request, const FileInputs& inputs, Report& report, Progress& progress)
{
    CheckOptions options = request.checks;
    options.request = request.input;
    options.threads = platform::ProcessorCount();
    options.tally = &progress.tally;
    const ProgressLine::Shown shown = ShowWholeRun(progress);
    bool passed = true;
    for (const std::string& list : request.files.empty() ? std::vector<std::string>{"-"} : request.files) {
        const bool standardInput = IsStandardInput(list);
        // An empty name as md5sum shows it.
        const std::string listName = standardInput ? "standard input" : list.empty() ? "''" : list;
        progress.tally.listEnded = false;
        try {
            const platform::UniqueFd file(standardInput ? -1 : ::open(list.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
            if (!standardInput && file.Get() < 0)
                throw Exception(std::strerror(errno));
            ListLines lines(standardInput ? STDIN_FILENO : file.Get());
            passed = CheckList(listName, lines, standardInput, options, inputs, report) && passed;
        } catch (const Exception& error) {
            report.Err(listName + ": " + error.Message());
            passed = false;
        }
    }
    return passed;
}

// The named files (trimmed, as the window trims its name box), or standard
// input; with --recursive, the files in the named folders.
bool RunDigests(const Request& request, const FileInputs& inputs, Report& report, Progress& progress)
{
    std::vector<std::string> names;
    for (const std::string& file : request.files)
        names.push_back(IsStandardInput(file) ? file : TrimFileName(file));
    if (names.empty())
        names.emplace_back("-");
    SumOptions options;
    options.form = request.form;
    options.lower = request.lower;
    options.recursive = request.recursive;
    options.request = request.input;
    options.tally = &progress.tally;
    if (names.size() == 1 && !request.recursive) {
        // One input: on this thread alone, its own name and share on the line.
        const std::string& name = names.front();
        const ProgressLine::Shown shown =
            progress.line.Show([&progress, &name](std::chrono::steady_clock::duration elapsed) {
                return ProgressLine::Text{IsStandardInput(name) ? "standard input" : name,
                                          ProgressText(progress.read.Done(), progress.read.Total(), elapsed)};
            });
        return PrintDigests(names, options, inputs, report);
    }
    options.threads = platform::ProcessorCount();
    const ProgressLine::Shown shown = ShowWholeRun(progress);
    return PrintDigests(names, options, inputs, report);
}

bool Run(Request& request, Report& report, ProgressLine& line)
{
    if (request.keyFile) {
        try {
            request.input.key = ReadKeyLine(*request.keyFile);
            request.input.hmac = true;
        } catch (const Exception& error) {
            report.Err(*request.keyFile + ": " + error.Message());
            return false;
        }
    }
    if (request.input.source == GenerateSource::Text) {
        Generate(request.input, [&](Algorithm algorithm, const std::string& result) {
            report.Out(ResultLine(LineForm::Plain, request.lower, RowOf(algorithm), "", result));
        });
        return true;
    }
    Progress progress{line, {}, {}};
    const FileInputs inputs(&progress.read);
    if (request.check)
        return RunChecks(request, inputs, report, progress);
    return RunDigests(request, inputs, report, progress);
}

}  // namespace

int main(int argc, char** argv)
{
    const platform::Charset charset = LocaleCharset();
    ProgressLine progress(STDERR_FILENO, charset);
    StdioReport report(&progress, charset);
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
    ProgressLine::EndOnSignals();
    if (request.help || request.version) {
        std::fputs(request.help ? kUsage : kVersion, stdout);
        if (request.help)
            std::fputs(kHelp, stdout);
        return std::fflush(stdout) == 0 ? 0 : kExitFailure;
    }

    request.checks.charset = charset;
    bool succeeded = false;
    try {
        succeeded = Run(request, report, progress);
    } catch (const Exception& error) {
        return fail(error.Message());
    } catch (const std::bad_alloc&) {
        return fail("Out of memory");
    } catch (const std::exception& error) {
        return fail(error.what());
    }

    report.Flush();
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return fail(std::string("Cannot write the results: ") + std::strerror(errno));
    return succeeded ? 0 : kExitFailure;
}

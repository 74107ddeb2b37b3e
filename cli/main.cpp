// vellumark-cli: the Generate command for scripts and for checking results
// without a window. It prints what the window's result boxes would show, or
// the lines md5sum and sha1sum write, and checks lists of digests as they
// do. It never touches the settings or the instance table.

#include <algorithm>
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
constexpr const char* kTryHelp = "Try 'vellumark-cli --help' for more information.\n";

// At most 60 lines of at most 80 columns; vellumark-cli(1) tells the rest.
constexpr const char* kHelp =
    "Computes message digests and checksums of files, standard input or a text,\n"
    "as the Vellumark window shows them, and checks files against lists.\n"
    "\n"
    "Examples:\n"
    "  vellumark-cli ubuntu.iso                  the MD5 of a file\n"
    "  vellumark-cli -r --sum --sha256 photos > SHA256SUMS\n"
    "                                            a list of a folder's files\n"
    "  vellumark-cli -c SHA256SUMS               check the files a list names\n"
    "  vellumark-cli -c album.sfv                check an SFV list\n"
    "  vellumark-cli --sha256 --hmac-key-file key.txt report.pdf\n"
    "                                            an HMAC, the key in a file\n"
    "\n"
    "Algorithms, MD5 when none is chosen; a line each, in this order:\n"
    "  --md5  --sha1  --sha224  --sha256  --sha384  --sha512\n"
    "  --sha3-224  --sha3-256  --sha3-384  --sha3-512\n"
    "  --blake2b  --blake2s  --blake3  --crc32\n"
    "  --length BITS    BLAKE2b's length in bits: 8 to 512 by 8 (512)\n"
    "\n"
    "Inputs:\n"
    "  FILE             a file; \"*\" and \"?\" in its last part are wildcards;\n"
    "                   \"-\", or no FILE, is standard input\n"
    "  --text TEXT      TEXT as the window's text page digests it (CR LF)\n"
    "  -r, --recursive  a FILE that is a folder: every file under it\n"
    "\n"
    "Lines (\"LABEL HEX\" for one input, as the window's box shows it):\n"
    "  --tag            \"LABEL (name) = HEX\", as for several FILEs\n"
    "  --sum            \"hex  name\", as md5sum, sha256sum, b2sum, b3sum\n"
    "  --sfv            \"name HEX\" of CRC-32 alone\n"
    "  --lower          hexadecimal digits in lower case\n"
    "\n"
    "Checking:\n"
    "  -c, --check      check the files that the lists FILE name (standard\n"
    "                   input's when none); lines and tags of any tool\n"
    "  --ignore-missing pass over listed files that do not exist\n"
    "  --quiet          no line for a file that is OK\n"
    "  --status         nothing printed: the exit status tells\n"
    "  -w, --warn       warn about each line that is not checked\n"
    "  --strict         fail a list that has such a line\n"
    "\n"
    "Keys:\n"
    "  --hmac KEY       HMAC under KEY, for all but CRC-32 and BLAKE3\n"
    "  --hmac-key-file KEYFILE\n"
    "                   the same, the key a file's one line (\"-\": stdin's)\n"
    "  --blake3-key-file KEYFILE\n"
    "                   BLAKE3's keyed mode, the key a file's 32 bytes\n"
    "\n"
    "  --help, --version; \"--\" ends the options\n"
    "\n"
    "Exit status: 0 on success, 1 when an input cannot be digested or a check\n"
    "fails, 2 on bad usage. More in vellumark-cli(1).\n";

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
    std::optional<std::string> blake3KeyFile;
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
    std::optional<std::string> length;
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
    {"--blake3-key-file", 0, true,
     [](Given& g, std::string&& v) { Once(g.request.blake3KeyFile, std::move(v), "--blake3-key-file"); }},
    {"--length", 0, true, [](Given& g, std::string&& v) { Once(g.length, std::move(v), "--length"); }},
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
                                                         {given.request.blake3KeyFile.has_value(), "--blake3-key-file"},
                                                         {given.length.has_value(), "--length"},
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

// A length in bits that b2sum -l takes: 8 to 512 in steps of 8.
std::size_t Blake2bBytes(const std::string& bits)
{
    std::size_t value = 0;
    for (const char c : bits) {
        if (c < '0' || c > '9' || value > 512)
            throw UsageError{"--length takes a number of bits from 8 to 512, a multiple of 8: " + bits};
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    if (bits.empty() || value == 0 || value > 512 || value % 8 != 0)
        throw UsageError{"--length takes a number of bits from 8 to 512, a multiple of 8: " + bits};
    return value / 8;
}

// BLAKE3 has a keyed mode of its own rather than an HMAC; --length is
// BLAKE2b's. A key read from standard input leaves none of it to digest.
void CheckKeysAndLength(Given& given)
{
    Request& request = given.request;
    const bool blake3 = request.input.algorithms.Has(Algorithm::Blake3);
    if (blake3 && (given.key || request.keyFile))
        throw UsageError{"BLAKE3 has no HMAC: key it with --blake3-key-file"};
    if (request.blake3KeyFile && !blake3 && !request.check)
        throw UsageError{"--blake3-key-file keys BLAKE3: give --blake3 too"};
    if (given.length && !request.input.algorithms.Has(Algorithm::Blake2b))
        throw UsageError{"--length is BLAKE2b's: give --blake2b too"};
    if (given.length) {
        const std::size_t bytes = Blake2bBytes(*given.length);
        // A line of a list has its own length, as b2sum -c has it.
        if (!request.check)
            request.input.blake2bBytes = bytes;
    }
    const bool readsStandardInput =
        request.files.empty() ? !given.text : std::any_of(request.files.begin(), request.files.end(), IsStandardInput);
    if (request.blake3KeyFile && IsStandardInput(*request.blake3KeyFile) && readsStandardInput)
        throw UsageError{"the BLAKE3 key is read from standard input, which then cannot also be read as an input"};
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
    CheckKeysAndLength(given);
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
    if (request.blake3KeyFile) {
        try {
            request.input.blake3Key = ReadBlake3Key(*request.blake3KeyFile);
        } catch (const Exception& error) {
            report.Err(*request.blake3KeyFile + ": " + error.Message());
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
        std::fputs(kTryHelp, stderr);
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

// The manual pages of vellumark and vellumark-cli say what their --help says:
// every option and every sentence of the help is in the rendered page, the
// page documents no option the help does not know, and groff finds nothing
// wrong.

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QProcess>
#include <QString>
#include <QStringList>

namespace {

struct Output {
    std::string out;
    std::string err;
};

Output RunProgram(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        ADD_FAILURE() << program.toStdString() << " failed: " << process.readAllStandardError().toStdString();
    return {process.readAllStandardOutput().toStdString(), process.readAllStandardError().toStdString()};
}

// Every run of blanks and line breaks as one space, none at the ends: the
// page breaks lines where the help does not.
std::string Normalized(const std::string& text)
{
    std::string result;
    for (const char c : text) {
        const bool blank = c == ' ' || c == '\n' || c == '\t';
        if (!blank)
            result += c;
        else if (!result.empty() && result.back() != ' ')
            result += ' ';
    }
    if (!result.empty() && result.back() == ' ')
        result.pop_back();
    return result;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

// The sentences of a paragraph: a full stop followed by a capital letter ends one.
std::vector<std::string> Sentences(const std::string& paragraph)
{
    std::vector<std::string> sentences;
    std::size_t start = 0;
    for (std::size_t i = 0; i + 2 < paragraph.size(); ++i) {
        if (paragraph[i] == '.' && paragraph[i + 1] == ' ' && paragraph[i + 2] >= 'A' && paragraph[i + 2] <= 'Z') {
            sentences.push_back(paragraph.substr(start, i + 1 - start));
            start = i + 2;
        }
    }
    sentences.push_back(paragraph.substr(start));
    return sentences;
}

// The options a line begins with: "-c, --check", "--length BITS", "--help,
// --version;", "--md5  --sha1 ...", up to the first word that is neither an
// option nor its argument's name.
std::vector<std::string> LeadingOptions(const std::string& line)
{
    std::vector<std::string> options;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
        if (word.size() > 1 && word[0] == '-' && word != "--") {
            while (word.back() == ',' || word.back() == ';')
                word.pop_back();
            options.push_back(word);
        } else if (std::none_of(word.begin(), word.end(), [](char c) { return c >= 'a' && c <= 'z'; })) {
            continue;  // an argument's name: BITS, KEYFILE
        } else {
            break;
        }
    }
    return options;
}

// The help in pieces the page must hold: the usage without "usage: ", each
// option or example with its description (indented two spaces, continued
// deeper), each option alone of a line of options without descriptions,
// and each sentence of the other paragraphs but those that point to the
// page itself. A line ending in ":" heads a group and is no piece.
std::vector<std::string> HelpPieces(const std::string& help, std::vector<std::string>& options)
{
    const std::vector<std::string> lines = Lines(help);
    std::vector<std::string> pieces;
    const std::string usage = "usage: ";
    EXPECT_EQ(lines.at(0).rfind(usage, 0), 0u) << lines.at(0);
    pieces.push_back(Normalized(lines.at(0).substr(usage.size())));

    std::string paragraph;
    std::string option;
    const auto flush = [&] {
        if (!option.empty())
            pieces.push_back(Normalized(option));
        if (!paragraph.empty()) {
            for (const std::string& sentence : Sentences(Normalized(paragraph)))
                if (sentence.find("(1)") == std::string::npos)
                    pieces.push_back(sentence);
        }
        option.clear();
        paragraph.clear();
    };
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty()) {
            flush();
        } else if (line.rfind("   ", 0) == 0) {
            option += " " + line;  // a description goes on
        } else if (line.rfind("  ", 0) == 0) {
            flush();
            const std::string normalized = Normalized(line);
            if (normalized.rfind("vellumark", 0) == 0) {
                option = line;  // an example
                continue;
            }
            const std::vector<std::string> leading = LeadingOptions(normalized);
            options.insert(options.end(), leading.begin(), leading.end());
            std::istringstream words(normalized);
            const bool optionsAlone =
                std::all_of(std::istream_iterator<std::string>(words), std::istream_iterator<std::string>(),
                            [](const std::string& word) { return word.front() == '-'; });
            if (optionsAlone)
                pieces.insert(pieces.end(), leading.begin(), leading.end());
            else
                option = line;
        } else if (line.back() != ':') {
            paragraph += " " + line;
        }
    }
    flush();
    return pieces;
}

// The options the page's OPTIONS section lists: lines indented as far as the
// section's text that begin with "-".
std::vector<std::string> PageOptions(const std::string& page)
{
    std::vector<std::string> options;
    bool inOptions = false;
    for (const std::string& line : Lines(page)) {
        if (!line.empty() && line.front() != ' ')
            inOptions = line == "OPTIONS";
        else if (inOptions && line.rfind("       -", 0) == 0) {
            const std::vector<std::string> leading = LeadingOptions(Normalized(line));
            options.insert(options.end(), leading.begin(), leading.end());
        }
    }
    return options;
}

// The page of `program` holds its help: the usage, each option with its
// description and each sentence, and lists no option the help does not know.
void ExpectPageSaysWhatTheHelpSays(const char* program, const char* manpage, const std::string& title,
                                   std::size_t leastOptions)
{
    const std::string help = RunProgram(program, {"--help"}).out;
    const Output rendered = RunProgram("groff", {"-man", "-Tascii", "-P-cbou", "-ww", manpage});
    EXPECT_EQ(rendered.err, "") << "groff's warnings";
    const std::string page = Normalized(rendered.out);

    std::vector<std::string> helpOptions;
    const std::vector<std::string> pieces = HelpPieces(help, helpOptions);
    ASSERT_GE(helpOptions.size(), leastOptions) << help;
    for (const std::string& piece : pieces)
        EXPECT_NE(page.find(piece), std::string::npos) << "not in the page: " << piece;

    std::vector<std::string> pageOptions = PageOptions(rendered.out);
    std::sort(pageOptions.begin(), pageOptions.end());
    std::sort(helpOptions.begin(), helpOptions.end());
    EXPECT_EQ(pageOptions, helpOptions) << "the page lists the options the help lists";
    EXPECT_NE(rendered.out.find(title + "(1)"), std::string::npos);
    EXPECT_NE(rendered.out.find("Vellumark " VELLUMARK_VERSION), std::string::npos) << "the page names this version";
}

TEST(ManualPage, SaysWhatTheHelpSays)
{
    ExpectPageSaysWhatTheHelpSays(VELLUMARK_CLI_PATH, VELLUMARK_MANPAGE, "VELLUMARK-CLI", 30);
}

TEST(ManualPage, OfTheWindowSaysWhatItsHelpSays)
{
    ExpectPageSaysWhatTheHelpSays(VELLUMARK_PATH, VELLUMARK_WINDOW_MANPAGE, "VELLUMARK", 2);
    // The version the program gives is the one its page names.
    EXPECT_EQ(RunProgram(VELLUMARK_PATH, {"--version"}).out, "vellumark " VELLUMARK_VERSION "\n");
}

}  // namespace

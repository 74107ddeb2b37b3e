#include "app/arguments.h"

#include <limits.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/base/ascii.h"
#include "platform/files/file_names.h"
#include "platform/text/percent_codec.h"
#include "platform/text/shown_name.h"

const char* const kProgramHelp =
    "usage: vellumark [FILE]\n"
    "\n"
    "Opens the Vellumark window, which computes MD5, SHA-1 and CRC-32 checksums\n"
    "and HMACs of a file or of typed text.\n"
    "\n"
    "Copying a published digest (MD5, SHA-1, SHA-256, SHA-512, BLAKE2b, BLAKE3\n"
    "and the others) before Generate (MD5, SHA-1, CRC-32 and SHA-256 also after\n"
    "it) gives the verdict in the status bar: whether the file or text matches.\n"
    "\n"
    "  FILE           a file whose ticked checksums the window shows at once, as\n"
    "                 if its name had been put on the File page and Generate\n"
    "                 pressed: a name or a file:// URI; of several files the\n"
    "                 first is taken\n"
    "  --             ends the options, so that FILE may begin with \"-\"\n"
    "  --help         show this text\n"
    "  --version      show the version\n"
    "\n"
    "When Vellumark already runs, a new start brings its window to the front,\n"
    "hands it the file, if one is named, and ends. Qt's own options, such as\n"
    "-platform, -display and -style, work as in other Qt programs.\n"
    "Exit status: 0 after a normal end and after handing over to the running\n"
    "window, 1 when the window cannot be shown or the running window did not\n"
    "take the file, 2 on bad usage.\n";

const char* const kProgramUsage = "usage: vellumark [FILE]";

std::string ProgramVersionLine()
{
    return std::string("vellumark ") + VELLUMARK_VERSION + "\n";
}

namespace {

// Qt's own options (of QGuiApplication, QApplication and the X11 platform),
// which Qt takes with one dash or two; those in the first list take the next
// argument as their value, and -style, -stylesheet and -qmljsdebugger also
// come as -option=value.
constexpr std::array kQtOptionsWithValue = {
    "-platform", "-platformpluginpath", "-platformtheme", "-plugin",  "-qwindowgeometry", "-geometry", "-qwindowicon",
    "-icon",     "-qwindowtitle",       "-title",         "-session", "-display",         "-name",     "-visual",
    "-style",    "-stylesheet",
};
constexpr std::array kQtFlags = {"-reverse", "-widgetcount", "-nograb", "-dograb", "-sync", "-testability"};
constexpr std::array kQtOptionsWithAttachedValue = {"-style=", "-stylesheet=", "-qmljsdebugger="};

template <std::size_t N>
bool Listed(const std::array<const char*, N>& list, std::string_view option)
{
    for (const char* listed : list)
        if (option == listed)
            return true;
    return false;
}

template <std::size_t N>
bool PrefixListed(const std::array<const char*, N>& list, std::string_view option)
{
    for (const char* listed : list)
        if (option.substr(0, std::strlen(listed)) == listed)
            return true;
    return false;
}

// The longest name a path may have, its terminating zero aside.
constexpr std::size_t kLongestPath = PATH_MAX - 1;

bool UriSafe(unsigned char byte)
{
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
           byte == '-' || byte == '.' || byte == '_' || byte == '~' || byte == '/';
}

// A character a URI's path may hold as it is: unreserved, sub-delimiters,
// ":", "@" and "/"; and, as file managers write them, bytes of non-ASCII
// characters.
bool PathCharacter(unsigned char byte)
{
    return UriSafe(byte) || std::strchr("!$&'()*+,;=:@", byte) != nullptr || byte >= 0x80;
}

}  // namespace

std::string AbsoluteName(std::string_view name, std::string_view workingDirectory)
{
    // A trailing "/" stays: only a folder passes it.
    const bool folder = !name.empty() && (name.back() == '/' || name == "." || name.ends_with("/."));
    const std::string absolute = platform::AbsoluteFileName(name, workingDirectory);
    return folder && absolute != "/" ? absolute + "/" : absolute;
}

ProgramArguments ParseProgramArguments(const std::vector<std::string>& arguments, std::string_view workingDirectory)
{
    ProgramArguments parsed;
    if (!arguments.empty())
        parsed.qtArguments.push_back(arguments.front());
    const auto usage = [&](std::string problem) {
        parsed.action = ProgramArguments::Action::Usage;
        parsed.problem = std::move(problem);
        return parsed;
    };
    std::vector<std::string> names;
    bool optionsEnded = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument.front() != '-') {
            names.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--help") {
            parsed.action = ProgramArguments::Action::Help;
            return parsed;
        }
        if (argument == "--version") {
            parsed.action = ProgramArguments::Action::Version;
            return parsed;
        }
        // Qt reads "--option" as "-option".
        const std::string_view option = std::string_view(argument).substr(argument.rfind("--", 0) == 0 ? 1 : 0);
        if (Listed(kQtOptionsWithValue, option)) {
            if (i + 1 >= arguments.size())
                return usage(std::string(option) + " needs a value");
            parsed.qtArguments.push_back(argument);
            parsed.qtArguments.push_back(arguments[++i]);
        } else if (Listed(kQtFlags, option) || PrefixListed(kQtOptionsWithAttachedValue, option)) {
            parsed.qtArguments.push_back(argument);
        } else {
            return usage("unknown option \"" + platform::ShownName(argument) + "\"");
        }
    }
    for (const std::string& name : names) {
        if (name.empty())
            return usage("an empty argument names no file");
        std::string file = name;
        if (name.size() >= 5 && platform::SameAsciiNoCase(std::string_view(name).substr(0, 5), "file:")) {
            const auto local = FileFromUri(name);
            if (!local)
                return usage("not the URI of a local file: \"" + platform::ShownName(name) + "\"");
            file = *local;
        } else if (name.front() != '/' && workingDirectory.empty()) {
            parsed.action = ProgramArguments::Action::Fail;
            parsed.problem =
                "cannot make \"" + platform::ShownName(name) + "\" absolute: the current folder cannot be told";
            return parsed;
        }
        parsed.files.push_back(AbsoluteName(file, workingDirectory));
    }
    return parsed;
}

std::string FileUri(std::string_view absoluteName)
{
    return "file://" + platform::PercentEncode(absoluteName, UriSafe);
}

std::optional<std::string> FileFromUri(std::string_view uri)
{
    if (uri.size() < 5 || !platform::SameAsciiNoCase(uri.substr(0, 5), "file:"))
        return std::nullopt;
    std::string_view rest = uri.substr(5);
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        const std::size_t slash = rest.find('/');
        if (slash == std::string_view::npos)
            return std::nullopt;
        const std::string_view host = rest.substr(0, slash);
        if (!host.empty() && !platform::SameAsciiNoCase(host, "localhost"))
            return std::nullopt;
        rest.remove_prefix(slash);
    }
    if (rest.empty() || rest.front() != '/')
        return std::nullopt;
    // An escaped zero byte would end the name early wherever it is used.
    return platform::PercentDecode(rest, PathCharacter, [](unsigned char byte) { return byte != 0; });
}

std::vector<std::string> HandOverLines(const std::vector<std::string>& absoluteNames)
{
    std::vector<std::string> lines;
    for (const std::string& name : absoluteNames)
        lines.push_back(FileUri(name));
    lines.emplace_back();
    return lines;
}

std::optional<std::vector<std::string>> HandedFiles(const std::vector<std::string>& lines)
{
    if (lines.size() < 2 || !lines.back().empty())
        return std::nullopt;
    std::vector<std::string> files;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        // The URI of the longest path is three times as long; a longer line
        // cannot name a file.
        if (lines[i].size() > std::string_view("file://localhost").size() + 3 * kLongestPath)
            return std::nullopt;
        auto name = FileFromUri(lines[i]);
        if (!name || name->size() > kLongestPath)
            return std::nullopt;
        files.push_back(std::move(*name));
    }
    return files;
}

#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What `vellumark [FILE]` is asked to do, and the files it hands a running
// instance. Names are bytes, as the file system takes them: nothing here
// assumes they are UTF-8.

struct ProgramArguments {
    enum class Action {
        Run,      // open the window (with the files, when any are named)
        Help,     // print the help and end
        Version,  // print the version and end
        Usage,    // bad usage: print `problem` and the usage, end with 2
        Fail,     // a name that cannot be made absolute: print `problem`, end with 1
    };
    Action action = Action::Run;
    // Argument 0 and Qt's own options with their values, for QApplication;
    // the files never reach Qt, so a file named like one of its options stays a file.
    std::vector<std::string> qtArguments;
    // The files named, absolute, in the order given.
    std::vector<std::string> files;
    std::string problem;
};

// `arguments` starts with argument 0. Relative names are made absolute
// against `workingDirectory`; when it is empty (the current folder cannot be
// told) a relative name fails.
ProgramArguments ParseProgramArguments(const std::vector<std::string>& arguments, std::string_view workingDirectory);

// `name` made absolute against `workingDirectory`, with empty and "."
// components dropped; ".." stays (it means something else after a link), and
// so does a trailing "/", which only a folder passes.
std::string AbsoluteName(std::string_view name, std::string_view workingDirectory);

// "file://" and the absolute name, every byte but ASCII letters, digits and
// "-._~/" written as %XX: the URI holds any name, CR and LF included, in
// plain ASCII.
std::string FileUri(std::string_view absoluteName);

// The name a local file URI stands for ("file:/…", "file:///…" or
// "file://localhost/…", %XX escapes of either case); nothing for a URI of
// another host or scheme, a query or fragment, a character no URI holds, a
// broken escape, an escaped zero byte or a relative path.
std::optional<std::string> FileFromUri(std::string_view uri);

// The lines a start hands over to the running instance for its files: each
// file's URI, then an empty line that closes the list, so that a block cut
// short is never taken for one that names a shorter file.
std::vector<std::string> HandOverLines(const std::vector<std::string>& absoluteNames);

// The files that handed-over lines name, in order; nothing unless the lines
// are exactly such a list: at least one URI of an absolute name no longer
// than a path can be, then the empty line, then nothing.
std::optional<std::vector<std::string>> HandedFiles(const std::vector<std::string>& lines);

// What `vellumark --help` prints, the one line that bad usage ends with, and
// what `vellumark --version` prints.
extern const char* const kProgramHelp;
extern const char* const kProgramUsage;
std::string ProgramVersionLine();

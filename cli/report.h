#pragma once

#include <string>

#include "platform/text/shown_name.h"

// Where the command-line companion's lines go. The runs write through this,
// so that tests can read what they would have printed.
class Report {
public:
    virtual ~Report() = default;
    // A line of standard output, without its line break.
    virtual void Out(const std::string& line) = 0;
    // A line for standard error, without the program's name before it and
    // the line break after it.
    virtual void Err(const std::string& line) = 0;
    // The lines so far are to be seen now: the run waits for more.
    virtual void Flush() {}
};

class ProgressLine;

// The character set of the locale that the environment names (LC_ALL,
// LC_CTYPE, LANG), which the terminal is taken to read: names shown to a
// person are escaped for it. Looked up once, at the start, before any
// thread; the program's own locale stays "C".
platform::Charset LocaleCharset();

// Standard output and standard error. An error line starts with
// "vellumark-cli: " and is written as ShownName writes names for the
// terminal's character set, so that no name in it can drive the terminal.
// Lines are written when the run waits for more and before each error line,
// so that the two keep their order on a terminal and what was printed stays
// printed when Ctrl+C ends the program, in one write for the lines of many
// files; a progress line on the terminal makes room for them.
class StdioReport : public Report {
public:
    StdioReport(ProgressLine* progress, platform::Charset charset) : progress_(progress), charset_(charset) {}
    void Out(const std::string& line) override;
    void Err(const std::string& line) override;
    void Flush() override;

private:
    ProgressLine* progress_;
    const platform::Charset charset_;
    std::string pending_;  // standard output's lines not yet written
};

// The window's Generate against vellumark-cli on the same file, in the same
// run: from the click on Generate to the last result in its box, against
// the companion's whole run (start to exit) with the same digests (the
// ticked ones and the SHA-256 the window computes beside them); and how
// soon Escape gives the window back from a run under way. Needs xdotool
// for the Escape.
//
//   xvfb-run -a build/bench/window_bench FILE [ROUNDS] [--md5] [--sha512] [--clipboard KIND] [--window-only]
//
// FILE should be large (1 GiB) and in the page cache. Prints the medians and
// the ratios with their goals. --md5 ticks MD5 alone (all three otherwise);
// --clipboard puts a digest on a stand-in clipboard, so that each Generate
// computes what it asks for beside SHA-256: KIND is unnamed64 (a line of 64
// digits that names no algorithm: BLAKE3), sha3-256 (a SHA3-256 tag line),
// blake2b-256 (a BLAKE2b-256 tag line), unnamed128 (a line of 128 digits:
// SHA-512 and BLAKE2b) or sha512 (a SHA512 tag line); --sha512 is
// --clipboard sha512. --window-only times the window's Generate alone and
// prints each round's seconds ("window 1.234"), for a script that runs two
// builds in turn.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/frame.h"
#include "app/main_form.h"
#include "app/result_clipboard.h"
#include "app/startup.h"
#include "bench/run_directory.h"
#include "platform/files/file_reader.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

template <class T>
T& Control(TForm1& form, const char* name)
{
    T* control = form.findChild<T*>(name);
    if (control == nullptr) {
        std::fprintf(stderr, "no control %s\n", name);
        std::exit(1);
    }
    return *control;
}

// A clipboard that holds the same text all along, read at once.
class StandInClipboard final : public ResultClipboard {
public:
    explicit StandInClipboard(std::string text) : text_(std::move(text)) {}
    std::optional<std::string> LastText() const override { return text_; }
    void OnRead(std::function<void()>) override {}
    void ReadAgain() override {}
    bool Unanswered() const override { return false; }
    // Read at once, never under way. Without `override`: a build from
    // before this question compiles the same file.
    bool Reading() const { return false; }

private:
    std::string text_;
};

}  // namespace

int main(int argc, char** argv)
{
    const RunDirectory run;
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: window_bench FILE [ROUNDS]\n");
        return 2;
    }
    const QString file = QString::fromLocal8Bit(argv[1]);
    int rounds = 5;
    bool md5Alone = false, windowOnly = false;
    std::string clipboard;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--md5")
            md5Alone = true;
        else if (arg == "--sha512")
            clipboard = "sha512";
        else if (arg == "--clipboard" && i + 1 < argc)
            clipboard = argv[++i];
        else if (arg == "--window-only")
            windowOnly = true;
        else
            rounds = std::atoi(argv[i]);
    }
    platform::IgnoreLeaseBreakSignal();

    AppFrameClass frame("vellumark");
    TForm1& form = *CreateForm(frame, Form1);
    form.show();
    if (!clipboard.empty()) {
        const std::pair<const char*, std::string> texts[] = {
            {"unnamed64", std::string(64, '0') + "  file\n"},
            {"sha3-256", "SHA3-256 (file) = " + std::string(64, '0') + "\n"},
            {"blake2b-256", "BLAKE2b-256 (file) = " + std::string(64, '0') + "\n"},
            {"unnamed128", std::string(128, '0') + "  file\n"},
            {"sha512", "SHA512 (file) = " + std::string(128, '0') + "\n"},
        };
        const auto text = std::find_if(std::begin(texts), std::end(texts),
                                       [&](const auto& known) { return clipboard == known.first; });
        if (text == std::end(texts)) {
            std::fprintf(stderr, "unknown clipboard %s\n", clipboard.c_str());
            return 2;
        }
        form.SetClipboard(std::make_unique<StandInClipboard>(text->second));
    }
    Control<QLineEdit>(form, "FNEdit").setText(file);
    Control<QCheckBox>(form, "CheckBoxMD5").setChecked(true);
    for (const char* tick : {"CheckBoxSHA1", "CheckBoxCRC32"})
        Control<QCheckBox>(form, tick).setChecked(!md5Alone);
    auto& generate = Control<QPushButton>(form, "BtnGenerate");
    auto& lastResult = Control<QLineEdit>(form, md5Alone ? "ResultMD5" : "ResultCRC32");
    const QString ticks = md5Alone ? "MD5 alone" : "all three";
    const QStringList cliTicks =
        md5Alone ? QStringList{"--md5", "--sha256"} : QStringList{"--md5", "--sha1", "--sha256", "--crc32"};

    std::vector<double> window, cli;
    std::string windowResults, cliResults;
    for (int round = 0; round < rounds; ++round) {
        // The click returns once the last result is in its box.
        lastResult.clear();
        const auto clicked = Clock::now();
        QTest::mouseClick(&generate, Qt::LeftButton);
        window.push_back(Seconds(Clock::now() - clicked));
        if (lastResult.text().isEmpty()) {
            std::fprintf(stderr, "the window showed no result\n");
            return 1;
        }
        if (windowOnly) {
            std::printf("window %.4f\n", window.back());
            std::fflush(stdout);
            continue;
        }
        windowResults = "MD5 " + Control<QLineEdit>(form, "ResultMD5").text().toStdString() + "\n";
        if (!md5Alone)
            windowResults += "SHA1 " + Control<QLineEdit>(form, "ResultSHA1").text().toStdString() + "\nCRC32 " +
                             lastResult.text().toStdString() + "\n";

        QProcess companion;
        const auto started = Clock::now();
        companion.start(VELLUMARK_CLI_PATH, cliTicks + QStringList{file});
        companion.waitForFinished(-1);
        cli.push_back(Seconds(Clock::now() - started));
        // The window shows no SHA-256.
        cliResults.clear();
        for (const QByteArray& line : companion.readAllStandardOutput().split('\n'))
            if (!line.isEmpty() && !line.startsWith("SHA256 "))
                cliResults += line.toStdString() + "\n";
        if (cliResults != windowResults) {
            std::fprintf(stderr, "the window and the companion disagree:\n%s%s", windowResults.c_str(),
                         cliResults.c_str());
            return 1;
        }
    }

    if (windowOnly)
        return 0;

    // Escape a second into a run, pressed through the display server as a
    // user's key would come: how long until the window is back. The time
    // includes starting xdotool, which presses it.
    std::vector<double> cancel;
    form.activateWindow();
    for (int round = 0; round < rounds; ++round) {
        Clock::time_point pressed;
        // Waited for after the round: left running, the last one's key-up
        // reached a window already gone and xdotool reported BadWindow.
        QProcess press;
        QTimer timer;  // gone with the round, so it never fires into a later one
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            pressed = Clock::now();
            press.start("xdotool", {"key", "--window", QString::number(form.winId()), "Escape"});
        });
        timer.start(1000);
        lastResult.clear();
        QTest::mouseClick(&generate, Qt::LeftButton);
        if (pressed == Clock::time_point()) {
            std::fprintf(stderr, "the run ended within a second: give a larger file for the cancel rows\n");
            break;
        }
        cancel.push_back(Seconds(Clock::now() - pressed));
        press.waitForFinished();
    }

    const double w = Median(window), c = Median(cli);
    const std::string what = ticks.toStdString() + (clipboard.empty() ? "" : ", clipboard " + clipboard);
    std::printf("File: %s, %d rounds, median seconds\n", argv[1], rounds);
    std::printf("  window, click to last result (%s)   %7.3f\n", what.c_str(), w);
    std::printf("  vellumark-cli, start to exit (%s, SHA-256)   %7.3f\n", ticks.toStdString().c_str(), c);
    std::printf("Ratio (lower is faster)\n");
    std::printf("  window / vellumark-cli (goal <= 1.10)      %7.2f\n", w / c);
    if (!cancel.empty())
        std::printf("  Escape to the window back, seconds (goal <= 0.20)  %5.3f (worst %5.3f)\n", Median(cancel),
                    *std::max_element(cancel.begin(), cancel.end()));
    std::fflush(stdout);
    return 0;
}

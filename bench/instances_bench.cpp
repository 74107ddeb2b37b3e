// What a user waits for at a second start, against a plain start of the
// program in the same run; and a blocking send between two processes,
// against a bare socket round trip.
//
//   BM_PlainStartToShownWindow: start to the moment the new program has
//     shown its window and answers in its message loop. Run it under
//     xvfb-run for a real window; without a display the program runs on
//     Qt's offscreen platform, where a window costs next to nothing to show.
//   BM_TurnedAwayStart: start of a second instance to its exit, while the
//     first one runs.
//   BM_HandOverStart: the same with a file named, which the second start
//     hands to the first one before it ends.
//   BM_SendRoundTrip / BM_SocketRoundTrip: one blocking send to a window of
//     another process and its answer / 64 bytes there and back over a
//     socket pair.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include "bench/run_directory.h"

#include "platform/windows/application_window.h"
#include "platform/windows/message_window.h"

namespace {

using Clock = std::chrono::steady_clock;

double g_plainSeconds = 0;
double g_turnedAwaySeconds = 0;
double g_handOverSeconds = 0;
// The file a start hands over, in the run's directory.
std::string g_handedFile;

// The program, with a file to open when one is given.
pid_t StartProgram(const char* file = nullptr)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::execl(VELLUMARK_PATH, VELLUMARK_PATH, file, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return child;
}

// Waits until the program's application window answers in its loop, which
// it reaches only after showing its main window.
bool WaitUntilShown(pid_t program)
{
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        for (const platform::WindowInfo& window : platform::ProcessWindows(program))
            if (window.className == platform::kApplicationWindowClass &&
                platform::QueryIconic(window.handle, std::chrono::milliseconds(100)).Answered())
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void End(pid_t program)
{
    ::kill(program, SIGKILL);
    ::waitpid(program, nullptr, 0);
}

void BM_PlainStartToShownWindow(benchmark::State& state)
{
    double total = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const pid_t program = StartProgram();
        if (!WaitUntilShown(program)) {
            state.SkipWithError("the program did not show its window");
            End(program);
            return;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
        state.PauseTiming();
        End(program);
        state.ResumeTiming();
    }
    g_plainSeconds = total / static_cast<double>(state.iterations());
}
BENCHMARK(BM_PlainStartToShownWindow)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// A second start while the first runs, until it has ended; with a file, it
// hands the file over first.
double SecondStarts(benchmark::State& state, const char* file)
{
    const pid_t first = StartProgram();
    if (!WaitUntilShown(first)) {
        state.SkipWithError("the first instance did not show its window");
        End(first);
        return 0;
    }
    double total = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const pid_t second = StartProgram(file);
        int status = 0;
        ::waitpid(second, &status, 0);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("the second start was not turned away");
            break;
        }
        // Not timed: the first one is done with what the start asked of it
        // (to come forward, to open the file) before the next start comes.
        for (int answered = 0; answered < 2; ++answered)
            WaitUntilShown(first);
    }
    End(first);
    return total / static_cast<double>(state.iterations());
}

void BM_TurnedAwayStart(benchmark::State& state)
{
    g_turnedAwaySeconds = SecondStarts(state, nullptr);
}
BENCHMARK(BM_TurnedAwayStart)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_HandOverStart(benchmark::State& state)
{
    g_handOverSeconds = SecondStarts(state, g_handedFile.c_str());
}
BENCHMARK(BM_HandOverStart)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// A child process with an event loop and one window that answers wParam + 1.
pid_t StartEcho(platform::WindowHandle& window)
{
    int pipe[2];
    if (::pipe(pipe) != 0)
        std::abort();
    const pid_t child = ::fork();
    if (child == 0) {
        int argc = 1;
        char name[] = "echo";
        char* argv[] = {name, nullptr};
        QCoreApplication application(argc, argv);
        platform::MessageWindow echo("BenchEcho", [](platform::WindowMessage& m) { return m.WParam + 1; });
        const platform::WindowHandle handle = echo.Handle();
        [[maybe_unused]] const ssize_t put = ::write(pipe[1], &handle, sizeof handle);
        QCoreApplication::exec();
        ::_exit(0);
    }
    if (::read(pipe[0], &window, sizeof window) != sizeof window)
        window = 0;
    ::close(pipe[0]);
    ::close(pipe[1]);
    return child;
}

void BM_SendRoundTrip(benchmark::State& state)
{
    platform::WindowHandle window = 0;
    const pid_t echo = StartEcho(window);
    std::intptr_t i = 0;
    for (auto _ : state) {
        const platform::SendResult result = platform::SendMessageTimeout(window, 0x9001, i, 0);
        if (!result.Answered() || result.result != i + 1) {
            state.SkipWithError("no answer");
            break;
        }
        ++i;
    }
    End(echo);
}
BENCHMARK(BM_SendRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_SocketRoundTrip(benchmark::State& state)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        std::abort();
    const pid_t echo = ::fork();
    if (echo == 0) {
        ::close(pair[0]);
        char buffer[64];
        while (::recv(pair[1], buffer, sizeof buffer, MSG_WAITALL) == sizeof buffer)
            ::send(pair[1], buffer, sizeof buffer, 0);
        ::_exit(0);
    }
    ::close(pair[1]);
    char buffer[64] = {};
    for (auto _ : state) {
        ::send(pair[0], buffer, sizeof buffer, 0);
        ::recv(pair[0], buffer, sizeof buffer, MSG_WAITALL);
    }
    ::close(pair[0]);
    ::waitpid(echo, nullptr, 0);
}
BENCHMARK(BM_SocketRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    const RunDirectory directory;
    g_handedFile = directory.path + "/handed.bin";
    if (FILE* handed = std::fopen(g_handedFile.c_str(), "wb")) {
        std::fputs("abc", handed);
        std::fclose(handed);
    }
    // Under a display (xvfb-run) the program shows a real window; without
    // one it runs offscreen, where showing costs next to nothing.
    if (std::getenv("DISPLAY") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::printf("platform: %s\n", std::getenv("DISPLAY") == nullptr ? "offscreen" : "X11");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_plainSeconds > 0 && g_turnedAwaySeconds > 0)
        std::printf("turned-away start / plain start to its window: %.3f (goal: below 0.5)\n",
                    g_turnedAwaySeconds / g_plainSeconds);
    if (g_plainSeconds > 0 && g_handOverSeconds > 0)
        std::printf("start that hands a file over / plain start to its window: %.3f (goal: at most 0.5)\n",
                    g_handOverSeconds / g_plainSeconds);
    return 0;
}

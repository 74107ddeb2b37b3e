#pragma once

// Shared by the tests of the single-instance guard: a runtime directory of
// their own, names no other run uses, and helper processes to talk to.

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ipc_test {

using namespace std::chrono_literals;

// Points XDG_RUNTIME_DIR at a fresh 0755 directory (like /run/user), removed
// when the test program ends, so nothing reaches the real one. Every test
// program that includes this sets it up before its first test.
inline int RemoveItem(const char* item, const struct stat*, int, FTW*)
{
    return ::remove(item);
}

inline std::string UseTestRuntimeDir()
{
    static char dir[] = "/tmp/vellumark-ipc-test-XXXXXX";
    static const bool made = ::mkdtemp(dir) && !::chmod(dir, 0755) && !::setenv("XDG_RUNTIME_DIR", dir, 1) &&
                             !std::atexit([] { ::nftw(dir, RemoveItem, 16, FTW_DEPTH | FTW_PHYS); });
    if (!made)
        std::abort();
    return dir;
}
inline const std::string kTestRuntimeDir = UseTestRuntimeDir();

// A helper that has ended closes its end of the pipe: writing to it fails
// with EPIPE, which the test reports, instead of SIGPIPE ending the program
// with every test after it.
inline const bool kWritesToEndedHelpersFail = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

inline std::string PrivateDir()
{
    return UseTestRuntimeDir() + "/vellumark";
}

inline std::string UniqueName(const std::string& tag)
{
    static std::atomic<int> counter{0};
    return "vmtest" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + "_" + tag;
}

// The helper program, its standard output on a pipe, optionally run as
// another user. It dies with the test program, and is killed and collected
// when the object goes.
class Helper {
public:
    explicit Helper(std::vector<std::string> args, std::optional<uid_t> asUser = std::nullopt,
                    std::string program = IPC_HELPER_PATH)
    {
        args.insert(args.begin(), std::move(program));
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        int out[2];
        int in[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0)
            std::abort();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(in[0], 0);
            if (asUser && (::setgroups(0, nullptr) != 0 || ::setgid(*asUser) != 0 || ::setuid(*asUser) != 0))
                ::_exit(126);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(in[0]);
        output_ = out[0];
        input_ = in[1];
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;
    ~Helper()
    {
        Kill();
        ::close(output_);
        ::close(input_);
    }

    pid_t Pid() const { return pid_; }

    // One line to the helper's standard input.
    void Send(const std::string& line)
    {
        const std::string text = line + "\n";
        if (::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            ADD_FAILURE() << "the helper does not read its input";
    }

    // Reads lines until one starts with `prefix`; that line, or empty when
    // none comes within `timeout`.
    std::string ReadUntil(const std::string& prefix, std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return {};
            std::string line = ReadLine(left);
            if (line.empty() && !Running())
                return {};
            if (line.rfind(prefix, 0) == 0)
                return line;
        }
    }

    // One line without its line break; empty when the helper says nothing
    // more within `timeout`.
    std::string ReadLine(std::chrono::milliseconds timeout = 10s)
    {
        std::string line;
        for (char c;; line += c) {
            pollfd p{output_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0 || ::read(output_, &c, 1) != 1)
                return {};
            if (c == '\n')
                return line;
        }
    }

    // SIGKILL; without `collect` the dead helper stays a zombie until the end.
    void Kill(bool collect = true)
    {
        if (pid_ > 0)
            ::kill(pid_, SIGKILL);
        if (pid_ > 0 && collect) {
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    bool Running()
    {
        if (pid_ <= 0)
            return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_)
            return true;
        pid_ = -1;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }

    // Waits at most `timeout` for the helper to end: its exit code, 128 +
    // the signal, or -1 while it still runs.
    int WaitFor(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (Running()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return -1;
            ::usleep(2000);
        }
        return exitCode_;
    }

    // Waits for the helper to end: its exit code, or 128 + the signal.
    int Wait()
    {
        if (pid_ <= 0)
            return exitCode_;
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_)
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    int input_ = -1;
    int exitCode_ = -1;
};

}  // namespace ipc_test

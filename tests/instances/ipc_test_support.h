#pragma once

// Shared by the tests of the single-instance guard: a runtime directory of
// their own, names no other run uses, and helper processes to talk to.

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ipc_test {

using namespace std::chrono_literals;

// Points XDG_RUNTIME_DIR at a fresh directory (0755, like /run/user) that is
// removed when the test program ends, so nothing reaches the real one.
struct TestRuntimeDir {
    TestRuntimeDir()
    {
        char pattern[] = "/tmp/vellumark-ipc-test-XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            std::abort();
        ::chmod(pattern, 0755);
        ::setenv("XDG_RUNTIME_DIR", pattern, 1);
        path = pattern;
    }
    ~TestRuntimeDir()
    {
        if (::getpid() == creator)
            ::nftw(path.c_str(), [](const char* item, const struct stat*, int, struct FTW*) { return ::remove(item); },
                   16, FTW_DEPTH | FTW_PHYS);
    }
    std::string path;
    pid_t creator = ::getpid();
};

inline const std::string& UseTestRuntimeDir()
{
    static const TestRuntimeDir dir;
    return dir.path;
}

inline std::string PrivateDir()
{
    return UseTestRuntimeDir() + "/vellumark";
}

inline std::string UniqueName(const std::string& tag)
{
    static std::atomic<int> counter{0};
    return "vmtest" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + "_" + tag;
}

// A helper program run with pipes on its standard input and output. Killed
// and collected when it goes, if still running.
class Helper {
public:
    explicit Helper(const std::vector<std::string>& args, std::optional<uid_t> asUser = std::nullopt,
                    const std::string& program = IPC_HELPER_PATH)
    {
        UseTestRuntimeDir();
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            std::abort();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            if (asUser && (::setgroups(0, nullptr) != 0 || ::setgid(*asUser) != 0 || ::setuid(*asUser) != 0))
                ::_exit(126);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;
    ~Helper()
    {
        Kill();
        CloseInput();
        if (output_ >= 0)
            ::close(output_);
    }

    pid_t Pid() const { return pid_; }

    // One line without its line break; empty on timeout or end of output.
    std::string ReadLine(std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto cut = buffer_.find('\n');
            if (cut != std::string::npos) {
                std::string line = buffer_.substr(0, cut);
                buffer_.erase(0, cut + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            struct pollfd p {output_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return {};
            char chunk[256];
            const ssize_t n = ::read(output_, chunk, sizeof chunk);
            if (n <= 0)
                return {};
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    void Send(const std::string& line)
    {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    void CloseInput()
    {
        if (input_ >= 0)
            ::close(input_);
        input_ = -1;
    }

    // Sends a signal without collecting the process: a killed helper stays a
    // zombie until Wait or Kill.
    void Signal(int signal) { ::kill(pid_, signal); }

    void Kill()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    // The exit code, or -1 when it does not end in time (it is killed then).
    int Wait(std::chrono::milliseconds timeout = 20s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (pid_ > 0) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() >= deadline)
                break;
            ::usleep(2000);
        }
        Kill();
        return -1;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffer_;
};

}  // namespace ipc_test

#pragma once

// Runs a program as a script would, without Qt: its arguments as given (any
// bytes), standard input from a string, standard output and error caught.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

struct Outcome {
    int exitCode = -1;  // also when the program did not end by itself, or was killed
    std::string out;
    std::string err;
};

using Arguments = std::vector<std::string>;

inline std::string Joined(const Arguments& arguments)
{
    std::string joined;
    for (const std::string& argument : arguments)
        joined += (joined.empty() ? "" : " ") + argument;
    return joined;
}

// `environment` holds NAME=VALUE lines set for the program on top of ours.
// A program still running at the timeout is killed, and its outcome is the
// default one. With `user` (root may ask for it), the program runs as that
// user and group instead; it exits 126 when they cannot be taken.
inline Outcome RunProgram(const std::string& program, const Arguments& arguments, const std::string& workingDirectory,
                          const std::string& input = {}, const std::vector<std::string>& environment = {},
                          std::chrono::milliseconds timeout = std::chrono::seconds(10), int user = -1)
{
    // A program that ends before reading all its input must not end us.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return {};
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err[1], 2) < 0)
            ::_exit(127);
        if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0)
            ::_exit(127);
        if (user >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(user)) != 0 ||
                          ::setuid(static_cast<uid_t>(user)) != 0))
            ::_exit(126);
        for (const std::string& line : environment)
            ::putenv(const_cast<char*>(line.c_str()));
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    Outcome outcome;
    if (pid < 0) {
        ::close(in[1]), ::close(out[0]), ::close(err[0]);
        return outcome;
    }
    std::size_t written = 0;
    int writer = in[1];
    if (input.empty())
        ::close(writer), writer = -1;
    else
        ::fcntl(writer, F_SETFL, O_NONBLOCK);
    int readers[2] = {out[0], err[0]};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool timedOut = false;
    while (readers[0] >= 0 || readers[1] >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd fds[3] = {{readers[0], POLLIN, 0}, {readers[1], POLLIN, 0}, {writer, POLLOUT, 0}};
        if (::poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (readers[i] < 0 || fds[i].revents == 0)
                continue;
            char buffer[65536];
            const ssize_t got = ::read(readers[i], buffer, sizeof buffer);
            if (got > 0)
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                ::close(readers[i]), readers[i] = -1;
        }
        if (writer >= 0 && fds[2].revents != 0) {
            const ssize_t put = ::write(writer, input.data() + written, input.size() - written);
            if (put > 0)
                written += static_cast<std::size_t>(put);
            if ((put < 0 && errno != EAGAIN && errno != EINTR) || written == input.size())
                ::close(writer), writer = -1;
        }
    }
    for (int fd : {readers[0], readers[1], writer})
        if (fd >= 0)
            ::close(fd);
    if (timedOut)
        ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut)
        return {};
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

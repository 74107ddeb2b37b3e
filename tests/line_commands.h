#pragma once

// For the helper programs of the multi-process tests: the lines that arrive
// on standard input, each handed on as a command on the loop's thread, so
// that a helper takes orders while its event loop runs. The end of the input
// ends the loop.

#include <unistd.h>

#include <functional>
#include <string>

#include <QCoreApplication>
#include <QSocketNotifier>

class LineCommands {
public:
    explicit LineCommands(std::function<void(const std::string& line)> onLine) : onLine_(std::move(onLine))
    {
        QObject::connect(&input_, &QSocketNotifier::activated, [this] { ReadMore(); });
    }

private:
    void ReadMore()
    {
        char buffer[256];
        const ssize_t got = ::read(0, buffer, sizeof buffer);
        if (got <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending_.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            onLine_(line);
        }
    }

    std::function<void(const std::string&)> onLine_;
    QSocketNotifier input_{0, QSocketNotifier::Read};
    std::string pending_;
};

#include "platform/ui/session_end.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <QCoreApplication>

#include "platform/base/exception.h"

namespace {

struct sigaction Disposition(int signal)
{
    struct sigaction current {};
    EXPECT_EQ(::sigaction(signal, nullptr, &current), 0);
    return current;
}

// The watcher owns SIGTERM and SIGHUP while it lives: a second one would
// silently take them from the first, so it is refused, and the signals'
// earlier dispositions come back when the watcher goes.
TEST(SessionEnd, OneWatcherTurnsEachSignalIntoACallOnTheLoopAndThenLetsGo)
{
    int argc = 1;
    char name[] = "session_end_test";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    const auto before = Disposition(SIGTERM).sa_handler;
    for (int round = 0; round < 2; ++round) {
        int ends = 0;
        {
            const platform::SessionEndWatcher watcher([&] { ++ends; });
            ASSERT_TRUE(watcher.Active());
            EXPECT_THROW(platform::SessionEndWatcher([] {}), Exception);
            for (int signal : {SIGTERM, SIGHUP}) {
                ASSERT_EQ(::raise(signal), 0);
                QCoreApplication::processEvents();
            }
            EXPECT_EQ(ends, 2);
        }
        EXPECT_EQ(Disposition(SIGTERM).sa_handler, before);
        EXPECT_EQ(Disposition(SIGHUP).sa_handler, before);
    }
}

}  // namespace

// The instance limit between real processes: each helper is a program with a
// shown window, the application window and a TInstanceLimit, and prints what
// happens to it. Every test has a table of its own (table=<unique path>).

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ipc_test_support.h"

namespace {

using namespace ipc_test;

const bool kOffscreen = ::setenv("QT_QPA_PLATFORM", "offscreen", 1) == 0;
// Under LeakSanitizer a turned-away helper reports only what it leaks itself.
const bool kExitSuppressions = ::setenv("LSAN_OPTIONS", "suppressions=" LSAN_SUPPRESSIONS_PATH, 1) == 0;

class InstanceLimitTest : public ::testing::Test {
protected:
    std::unique_ptr<Helper> Start(std::vector<std::string> args)
    {
        args.insert(args.begin(), "table=/vellumark-test/" + table_);
        return std::make_unique<Helper>(std::move(args), std::nullopt, INSTANCE_HELPER_PATH);
    }

    // Started and admitted; its process id.
    std::unique_ptr<Helper> StartAdmitted(std::vector<std::string> args = {})
    {
        auto helper = Start(std::move(args));
        const std::string line = helper->ReadUntil("admitted ");
        EXPECT_FALSE(line.empty()) << "the helper was not admitted";
        return helper;
    }

    // Lines up to and including the first that starts with `last`.
    static std::vector<std::string> LinesUntil(Helper& helper, const std::string& last)
    {
        std::vector<std::string> lines;
        for (;;) {
            std::string line = helper.ReadLine(10s);
            if (line.empty() && !helper.Running())
                return lines;
            lines.push_back(line);
            if (line.rfind(last, 0) == 0 || lines.size() > 200)
                return lines;
        }
    }

    static std::ptrdiff_t IndexOf(const std::vector<std::string>& lines, const std::string& line)
    {
        const auto it = std::find(lines.begin(), lines.end(), line);
        return it == lines.end() ? -1 : it - lines.begin();
    }

    const std::string table_ = UniqueName("limit");
};

TEST_F(InstanceLimitTest, ASecondStartIsTurnedAwayAndBringsTheFirstForwardFromMinimised)
{
    auto first = StartAdmitted();
    first->Send("other");
    ASSERT_EQ(first->ReadUntil("other "), "other active=1");
    first->Send("minimize");
    ASSERT_EQ(first->ReadUntil("state "), "state minimized=1");
    first->Send("state");
    ASSERT_EQ(first->ReadUntil("state "), "state minimized=1 active=0");

    auto second = Start({});
    const std::string id = std::to_string(second->Pid());
    EXPECT_EQ(second->ReadUntil("rejected"), "rejected");
    EXPECT_EQ(second->WaitFor(20s), 0);

    std::vector<std::string> seen = LinesUntil(*first, "destroyed " + id);
    // Qt may deliver the activation after the departure notice.
    if (IndexOf(seen, "activated") < 0)
        seen.push_back(first->ReadUntil("activated"));
    first->Send("state");
    const std::vector<std::string> after = LinesUntil(*first, "state ");
    seen.insert(seen.end(), after.begin(), after.end());
    const auto created = IndexOf(seen, "created " + id);
    const auto restored = IndexOf(seen, "state minimized=0");
    const auto activated = IndexOf(seen, "activated");
    const auto destroyed = IndexOf(seen, "destroyed " + id);
    ASSERT_GE(created, 0) << testing::PrintToString(seen);
    EXPECT_GT(restored, created) << testing::PrintToString(seen);
    EXPECT_GT(activated, created) << testing::PrintToString(seen);
    EXPECT_GT(destroyed, restored) << testing::PrintToString(seen);
    EXPECT_EQ(seen.back(), "state minimized=0 active=1");
    // Each notice also reaches the GUI thread once, as a posted message. It
    // comes on a connection of its own, so a loaded machine may hand it over
    // after the window's lines.
    if (IndexOf(seen, "thread 1 " + id) < 0)
        seen.push_back(first->ReadUntil("thread 1 " + id));
    first->Send("state");
    const std::vector<std::string> later = LinesUntil(*first, "state ");
    seen.insert(seen.end(), later.begin(), later.end());
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "thread 1 " + id), 1) << testing::PrintToString(seen);
    first->Send("count");
    EXPECT_EQ(first->ReadUntil("count "), "count 1");
}

// Paths that differ in letter case, or in a '_' or a blank where the other
// has a '/', are different program files: each runs beside the other.
TEST_F(InstanceLimitTest, ProgramsWhosePathsDifferOnlyInCaseOrUnderscoreRunSideBySide)
{
    const std::string base = "table=/vellumark-test/" + table_;
    std::vector<std::unique_ptr<Helper>> running;
    for (const std::string& table : {base + "/c1/vellumark", base + "/C1/vellumark", base + "/a_b/vellumark",
                                     base + "/a/b/vellumark", base + "/a b/vellumark"}) {
        running.push_back(
            std::make_unique<Helper>(std::vector<std::string>{table}, std::nullopt, INSTANCE_HELPER_PATH));
        EXPECT_NE(running.back()->ReadUntil("admitted "), "") << table << " was turned away";
    }
    // The same path still finds its table.
    for (const std::string& table : {base + "/C1/vellumark", base + "/a b/vellumark"}) {
        running.push_back(
            std::make_unique<Helper>(std::vector<std::string>{table}, std::nullopt, INSTANCE_HELPER_PATH));
        EXPECT_EQ(running.back()->ReadUntil("rejected"), "rejected") << table;
        EXPECT_EQ(running.back()->WaitFor(20s), 0);
    }
}

TEST_F(InstanceLimitTest, ARunningInstanceThatDoesNotAnswerStillCountsAndComesForwardLater)
{
    auto first = StartAdmitted();
    first->Send("other");
    ASSERT_EQ(first->ReadUntil("other "), "other active=1");
    ::kill(first->Pid(), SIGSTOP);
    auto second = Start({});
    const std::string id = std::to_string(second->Pid());
    // Its questions go unanswered for a bounded time; then it leaves.
    EXPECT_EQ(second->ReadUntil("rejected", 30s), "rejected");
    EXPECT_EQ(second->WaitFor(30s), 0);
    ::kill(first->Pid(), SIGCONT);
    // Once running again, the first one acts on what reached it meanwhile.
    std::vector<std::string> seen = LinesUntil(*first, "destroyed " + id);
    if (IndexOf(seen, "activated") < 0)
        seen.push_back(first->ReadUntil("activated"));
    first->Send("state");
    const std::vector<std::string> after = LinesUntil(*first, "state ");
    seen.insert(seen.end(), after.begin(), after.end());
    EXPECT_GE(IndexOf(seen, "created " + id), 0) << testing::PrintToString(seen);
    EXPECT_EQ(seen.back(), "state minimized=0 active=1") << testing::PrintToString(seen);
}

// The running instance answers that it is active and then ends before the
// new start can bring it forward: killed, or closing (its windows go first,
// it leaves the table a moment later). The new start counts again and, with
// none left, opens its own window.
TEST_F(InstanceLimitTest, AStartWhoseRunningInstanceEndsMeanwhileOpensItsOwnWindow)
{
    for (const char* ending : {"ending=kill", "ending=quit"}) {
        SCOPED_TRACE(ending);
        auto first = StartAdmitted({ending});
        auto second = Start({});
        EXPECT_EQ(second->ReadUntil("rejected"), "rejected");
        const std::string admitted = second->ReadUntil("admitted ");
        EXPECT_EQ(admitted, "admitted " + std::to_string(second->Pid()) + " active=1") << "no window at all";
        if (admitted.empty())
            continue;
        second->Send("count");
        EXPECT_EQ(second->ReadUntil("count "), "count 1");
        // And it is the one a third start finds and brings forward.
        second->Send("other");
        EXPECT_EQ(second->ReadUntil("other "), "other active=1");
        auto third = Start({});
        EXPECT_EQ(third->ReadUntil("rejected"), "rejected");
        EXPECT_EQ(third->WaitFor(20s), 0);
        EXPECT_NE(second->ReadUntil("activated"), "");
        second->Kill();
    }
}

// A private folder that others may enter stops the start in the program's
// error box as a system failure (ESystemError), in words that name the
// folder and its mode and say what to do.
TEST_F(InstanceLimitTest, APrivateFolderOpenToOthersStopsTheStartSayingWhatToDo)
{
    const std::string runtime = UseTestRuntimeDir() + "/" + UniqueName("open");
    const std::string folder = runtime + "/vellumark";
    ASSERT_EQ(::mkdir(runtime.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    auto start = Start({});
    ::setenv("XDG_RUNTIME_DIR", UseTestRuntimeDir().c_str(), 1);
    EXPECT_EQ(start->ReadUntil("error "), "error ESystemError The private folder " + folder +
                                              " has mode 0755, open to other users: remove it, or make it mode "
                                              "0700 | Win32: Permission denied (13)");
    EXPECT_EQ(start->WaitFor(20s), 3);
}

TEST_F(InstanceLimitTest, AtMostMaxInstancesRunAndZeroOrLessMeansNoLimit)
{
    {
        auto a = StartAdmitted({"max=2"});
        auto b = StartAdmitted({"max=2"});
        auto c = Start({"max=2"});
        EXPECT_EQ(c->ReadUntil("rejected"), "rejected");
        EXPECT_EQ(c->WaitFor(20s), 0);
    }
    for (const char* unlimited : {"max=0", "max=-1"}) {
        SCOPED_TRACE(unlimited);
        const std::string table = UniqueName("unlimited");
        std::vector<std::unique_ptr<Helper>> running;
        for (int i = 0; i < 3; ++i) {
            running.push_back(
                std::make_unique<Helper>(std::vector<std::string>{"table=/vellumark-test/" + table, unlimited},
                                         std::nullopt, INSTANCE_HELPER_PATH));
            EXPECT_FALSE(running.back()->ReadUntil("admitted ").empty());
        }
    }
}

TEST_F(InstanceLimitTest, AnInactiveInstanceAnswersInactiveAndTheNextStartStaysInactive)
{
    auto quiet = StartAdmitted({"active=0"});
    auto next = Start({});
    EXPECT_NE(next->ReadUntil("admitted "), "") << "turned away although the running one is inactive";
    // Its own query was answered "inactive", which made it inactive too.
    next->Send("query");
    EXPECT_EQ(next->ReadUntil("peers "), "peers active=0");
    auto third = Start({});
    EXPECT_NE(third->ReadUntil("admitted "), "");
}

TEST_F(InstanceLimitTest, AnInstanceKilledOutrightNoLongerCounts)
{
    // Alone: its table goes with it.
    auto first = StartAdmitted();
    first->Kill();
    StartAdmitted();

    // With another process keeping the table alive, its entry stays behind
    // and must be seen to be dead.
    const std::string table = UniqueName("kept");
    auto start = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "table=/vellumark-test/" + table);
        return std::make_unique<Helper>(std::move(args), std::nullopt, INSTANCE_HELPER_PATH);
    };
    auto keeper = start({"max=0"});
    ASSERT_NE(keeper->ReadUntil("admitted "), "");
    auto victim = start({"max=2"});
    ASSERT_NE(victim->ReadUntil("admitted "), "");
    victim->Kill();
    auto next = start({"max=2"});
    EXPECT_NE(next->ReadUntil("admitted "), "") << "the killed instance still counted";
    keeper->Send("count");
    EXPECT_EQ(keeper->ReadUntil("count "), "count 2");
}

TEST_F(InstanceLimitTest, OfManySimultaneousStartsExactlyOneStays)
{
    constexpr int kStarts = 6;
    std::vector<std::unique_ptr<Helper>> starts;
    for (int i = 0; i < kStarts; ++i)
        starts.push_back(Start({}));
    int admitted = 0, rejected = 0;
    for (auto& helper : starts) {
        const std::string line = helper->ReadUntil("", 20s);
        std::string verdict = line;
        // Skip whatever comes before the verdict.
        while (!verdict.empty() && verdict.rfind("admitted", 0) != 0 && verdict != "rejected")
            verdict = helper->ReadLine(20s);
        if (verdict.rfind("admitted", 0) == 0)
            ++admitted;
        else if (verdict == "rejected" && helper->WaitFor(20s) == 0)
            ++rejected;
    }
    EXPECT_EQ(admitted, 1);
    EXPECT_EQ(rejected, kStarts - 1);
}

TEST_F(InstanceLimitTest, ARejectedStartHandsItsArgumentsOverAsLines)
{
    auto first = StartAdmitted();
    auto second = Start({"cmdline=1", "alpha", "two words", ""});
    EXPECT_EQ(second->WaitFor(20s), 0);
    const std::string line = first->ReadUntil("cmdline ");
    EXPECT_EQ(line, "cmdline 5 [table=/vellumark-test/" + table_ + "] [cmdline=1] [alpha] [two words] []");
}

// The lines must be taken: a running instance that answers that it did not
// take them, or that does not answer at all, makes the start say so and end
// with exit code 1. Without lines to hand over, the start ends as before.
TEST_F(InstanceLimitTest, ARejectedStartWhoseLinesAreNotTakenSaysSoAndEndsWithOne)
{
    {
        auto first = StartAdmitted({"take=0"});
        auto second = Start({"cmdline=1", "alpha"});
        EXPECT_EQ(second->ReadUntil("not taken"), "not taken");
        EXPECT_EQ(second->WaitFor(20s), 1);
        EXPECT_EQ(first->ReadUntil("cmdline "), "cmdline 3 [table=/vellumark-test/" + table_ + "] [cmdline=1] [alpha]");
        auto plain = Start({});
        EXPECT_EQ(plain->ReadUntil("rejected"), "rejected");
        EXPECT_EQ(plain->WaitFor(20s), 0);
    }
    const std::string table = UniqueName("stopped");
    const auto start = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "table=/vellumark-test/" + table);
        return std::make_unique<Helper>(std::move(args), std::nullopt, INSTANCE_HELPER_PATH);
    };
    auto stopped = start({});
    ASSERT_NE(stopped->ReadUntil("admitted "), "");
    ::kill(stopped->Pid(), SIGSTOP);
    auto second = start({"cmdline=1", "alpha"});
    EXPECT_EQ(second->ReadUntil("not taken", 30s), "not taken");
    EXPECT_EQ(second->WaitFor(30s), 1);
    ::kill(stopped->Pid(), SIGCONT);
}

// The running instance ends while the lines are on their way to it: the
// start finds none left before it and goes on with its own window.
TEST_F(InstanceLimitTest, AStartWhoseRunningInstanceDiesWithItsLinesOpensItsOwnWindow)
{
    auto first = StartAdmitted({"take=die"});
    auto second = Start({"cmdline=1", "alpha"});
    EXPECT_EQ(second->ReadUntil("rejected"), "rejected");
    const std::string admitted = second->ReadUntil("admitted ");
    EXPECT_EQ(admitted, "admitted " + std::to_string(second->Pid()) + " active=1") << "no window at all";
    second->Send("count");
    EXPECT_EQ(second->ReadUntil("count "), "count 1");
}

TEST_F(InstanceLimitTest, BlocksAndUserNoticesReachTheOthersButNotTheSender)
{
    auto first = StartAdmitted({"max=0"});
    auto second = StartAdmitted({"max=0"});
    std::vector<std::string> senderSaw;
    auto command = [&](const std::string& line) {
        second->Send(line);
        const std::vector<std::string> lines = LinesUntil(*second, "sent");
        senderSaw.insert(senderSaw.end(), lines.begin(), lines.end());
        return lines.empty() ? std::string() : lines.back();
    };
    EXPECT_EQ(command("block 9 0"), "sent 1");
    EXPECT_EQ(first->ReadUntil("data "), "data 9 0 ");
    EXPECT_EQ(command("block 5 300000"), "sent 1");
    EXPECT_EQ(first->ReadUntil("data "), "data 5 300000 0001020304050607");
    EXPECT_EQ(command("lines a b"), "sent 1");
    EXPECT_EQ(first->ReadUntil("data "), "data 7 6 610d0a620d0a");
    // A user notice reaches every listed process, the sender's own window
    // included; the blocks did not.
    EXPECT_EQ(command("user 42"), "sent");
    EXPECT_EQ(first->ReadUntil("user "), "user 42");
    EXPECT_GE(IndexOf(senderSaw, "user 42"), 0) << testing::PrintToString(senderSaw);
    EXPECT_TRUE(std::none_of(senderSaw.begin(), senderSaw.end(), [](const std::string& line) {
        return line.rfind("data", 0) == 0;
    })) << testing::PrintToString(senderSaw);
}

}  // namespace

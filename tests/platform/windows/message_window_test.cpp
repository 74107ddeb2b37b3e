// Windows and their messages between this process and a helper process, each
// with its own event loop; and what other users and broken frames get.

#include "platform/windows/message_window.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <numeric>

#include <QCoreApplication>

#include "platform/windows/registered_messages.h"
#include "platform/windows/wire_frame.h"
#include "tests/instances/ipc_test_support.h"

namespace {

using namespace ipc_test;
using namespace platform;

QCoreApplication& App()
{
    static int argc = 1;
    static char name[] = "message_window_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    return application;
}

std::string PeersDir()
{
    return PrivateDir() + "/peers";
}

// Reads the helper's lines while this process's own event loop turns.
std::string PumpUntil(Helper& helper, const std::string& prefix, std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents();
        const std::string line = helper.ReadLine(5ms);
        if (!line.empty() && line.rfind(prefix, 0) == 0)
            return line;
    }
    return {};
}

void Pump(std::chrono::milliseconds duration)
{
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(2ms);
    }
}

class MessageWindowTest : public ::testing::Test {
protected:
    MessageWindowTest() { App(); }

    // A helper with one window of class `name`; its handle.
    WindowHandle HelperWindow(Helper& helper, const std::string& name)
    {
        EXPECT_FALSE(helper.ReadUntil("ready").empty());
        helper.Send("window " + name);
        const std::string line = helper.ReadUntil("window ");
        return line.empty() ? 0 : std::stoull(line.substr(7, line.find(' ', 7) - 7));
    }

    // A window of this process that records what it gets and doubles wParam.
    std::unique_ptr<MessageWindow> OwnWindow()
    {
        return std::make_unique<MessageWindow>("TestOwn", [this](WindowMessage& message) {
            received_.push_back(message.Msg);
            return message.WParam * 2;
        });
    }

    std::vector<std::uint32_t> received_;
};

TEST_F(MessageWindowTest, ANameHasTheSameNumberInEveryProcess)
{
    const std::string name = UniqueName("message");
    const std::uint32_t number = RegisterWindowMessage(name);
    EXPECT_GE(number, kFirstRegisteredMessage);
    EXPECT_EQ(RegisterWindowMessage(name), number);
    EXPECT_NE(RegisterWindowMessage(name + "x"), number);
    // Line breaks and escapes in a name cannot make two names one.
    EXPECT_NE(RegisterWindowMessage(name + "\nx"), RegisterWindowMessage(name + "%0Ax"));
    EXPECT_EQ(RegisterWindowMessage(name + "\nx"), RegisterWindowMessage(name + "\nx"));
    Helper helper({});
    ASSERT_FALSE(helper.ReadUntil("ready").empty());
    helper.Send("register " + name);
    EXPECT_EQ(helper.ReadUntil("number "), "number " + std::to_string(number));
}

TEST_F(MessageWindowTest, OthersWindowsAreSeenUntilTheirProcessDies)
{
    Helper helper({});
    const WindowHandle window = HelperWindow(helper, "HelperClass");
    ASSERT_NE(window, 0u);
    const auto own = OwnWindow();
    const std::vector<WindowInfo> all = TopLevelWindows();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all.front().handle, own->Handle());  // this process's own first
    const auto found = std::find_if(all.begin(), all.end(), [&](const WindowInfo& w) { return w.handle == window; });
    ASSERT_NE(found, all.end());
    EXPECT_EQ(found->className, "HelperClass");
    EXPECT_EQ(found->process, helper.Pid());
    EXPECT_EQ(found->thread, helper.Pid());  // its main thread
    EXPECT_EQ(ThreadWindows({helper.Pid(), helper.Pid()}).size(), 1u);
    EXPECT_TRUE(ThreadWindows({helper.Pid(), helper.Pid() + 1}).empty());

    helper.Kill();
    EXPECT_FALSE(FindWindowInfo(window).has_value());
    // The dead process's files are gone once someone has looked.
    struct stat st {};
    const std::string base = PeersDir() + "/" + std::to_string(HandleProcess(window));
    EXPECT_NE(::stat((base + ".rec").c_str(), &st), 0);
    EXPECT_NE(::stat((base + ".sock").c_str(), &st), 0);
    EXPECT_EQ(SendMessageTimeout(window, 0x9001, 1, 2).status, SendStatus::NoWindow);
    EXPECT_EQ(PostThreadMessage({HandleProcess(window), HandleProcess(window)}, 0x9004, 0, 0),
              PostStatus::InvalidThread);
}

// What killed processes leave (records, sockets, a temporary record) is gone
// once the next process has opened its first window: the folder does not
// grow with every kill.
TEST_F(MessageWindowTest, FilesOfKilledProcessesAreSweptByTheNextStart)
{
    std::deque<Helper> doomed;
    std::vector<pid_t> killed;
    for (int i = 0; i < 4; ++i) {
        doomed.emplace_back(std::vector<std::string>{});
        ASSERT_NE(HelperWindow(doomed.back(), "Doomed"), 0u);
        killed.push_back(doomed.back().Pid());
    }
    for (Helper& helper : doomed)
        helper.Kill();
    const auto exists = [](const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0;
    };
    for (const pid_t pid : killed) {
        const std::string files = PeersDir() + "/" + std::to_string(pid);
        ASSERT_TRUE(exists(files + ".rec") && exists(files + ".sock")) << "nobody has looked yet";
    }
    // A socket whose record is gone, and a record that was never published.
    ASSERT_EQ(::unlink((PeersDir() + "/" + std::to_string(killed[1]) + ".rec").c_str()), 0);
    const int temporary = ::open((PeersDir() + "/" + std::to_string(killed[2]) + ".tmp").c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(temporary, 0);
    ::close(temporary);

    Helper next({});
    ASSERT_NE(HelperWindow(next, "Next"), 0u);
    for (const pid_t pid : killed)
        for (const char* suffix : {".rec", ".sock", ".tmp"}) {
            const std::string path = PeersDir() + "/" + std::to_string(pid) + suffix;
            EXPECT_FALSE(exists(path)) << path;
        }
    const std::string live = PeersDir() + "/" + std::to_string(next.Pid());
    EXPECT_TRUE(exists(live + ".rec") && exists(live + ".sock"));
}

TEST_F(MessageWindowTest, SendsNotificationsPostsAndDataReachTheHelper)
{
    Helper helper({});
    const WindowHandle window = HelperWindow(helper, "H");
    ASSERT_NE(window, 0u);
    const auto own = OwnWindow();

    // A send whose handler sends back to us while we wait for it.
    const SendResult nested = SendMessageTimeout(window, 0x9000, 21, static_cast<std::intptr_t>(own->Handle()));
    EXPECT_TRUE(nested.Answered());
    EXPECT_EQ(nested.result, 1042);
    EXPECT_EQ(received_, std::vector<std::uint32_t>{0x9001});

    const SendResult plain = SendMessageTimeout(window, 0x9005, 40, 2);
    EXPECT_TRUE(plain.Answered());
    EXPECT_EQ(plain.result, 42);
    EXPECT_EQ(helper.ReadUntil("got "), "got H 36869 40 2");

    std::vector<std::uint8_t> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint8_t>(i * 31 + 7);
    const SendResult data = SendDataMessage(window, kWmCopyData, 0, 5, block.data(), block.size());
    EXPECT_EQ(data.result, 1);
    EXPECT_EQ(helper.ReadUntil("data "),
              "data H 5 1048576 07264564 " + std::to_string(std::accumulate(block.begin(), block.end(), 0u)));
    EXPECT_EQ(SendDataMessage(window, kWmCopyData, 0, 6, nullptr, 0).result, 1);
    EXPECT_EQ(helper.ReadUntil("data "), "data H 6 0  0");

    EXPECT_TRUE(SendNotifyMessage(window, 0x9003, 1, 2));
    EXPECT_EQ(helper.ReadUntil("got "), "got H 36867 1 2");
    EXPECT_EQ(PostThreadMessage({helper.Pid(), helper.Pid()}, 0x9004, 3, 4), PostStatus::Posted);
    EXPECT_EQ(helper.ReadUntil("thread "), "thread 36868 3 4");
    // Posts to a thread that owns no windows there, and sends to a window
    // that does not exist, reach nobody.
    EXPECT_EQ(SendMessageTimeout(window + 1000, 0x9005, 1, 1).status, SendStatus::NoWindow);
    // A pointer cannot travel: copy-data only with its bytes.
    EXPECT_EQ(SendMessageTimeout(window, kWmCopyData, 0, 12345).status, SendStatus::Failed);
    EXPECT_FALSE(SendNotifyMessage(window, kWmCopyData, 0, 12345));

    // The helper sends to us: handled by our event loop.
    helper.Send("send " + std::to_string(own->Handle()) + " 36865 8 0");
    EXPECT_EQ(PumpUntil(helper, "result "), "result 0 16");
}

TEST_F(MessageWindowTest, APeerThatDoesNotAnswerIsGivenUp)
{
    Helper helper({});
    const WindowHandle window = HelperWindow(helper, "Stopped");
    ASSERT_NE(window, 0u);
    ::kill(helper.Pid(), SIGSTOP);
    EXPECT_EQ(SendMessageTimeout(window, 0x9005, 1, 1, 300ms).status, SendStatus::TimedOut);
    // Posts and notifications do not wait.
    EXPECT_TRUE(SendNotifyMessage(window, 0x9003, 5, 6));
    ::kill(helper.Pid(), SIGCONT);
    // It handles what was sent once it runs again.
    EXPECT_EQ(helper.ReadUntil("got "), "got Stopped 36869 1 1");
    EXPECT_EQ(helper.ReadUntil("got "), "got Stopped 36867 5 6");
}

// Connects to this process's own socket as any peer could, sends bytes and
// waits for the other end to close.
void SendRaw(const std::vector<std::uint8_t>& bytes, bool waitForClose = true)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = PeersDir() + "/" + std::to_string(::getpid()) + ".sock";
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    if (!waitForClose) {
        ::close(fd);
        return;
    }
    ::shutdown(fd, SHUT_WR);
    char buffer[256];
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    ssize_t got = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents();
        got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            break;
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(got, 0) << "the connection was not dropped";
    ::close(fd);
}

TEST_F(MessageWindowTest, BrokenFramesAreDroppedAndTheWindowGoesOnWorking)
{
    const auto own = OwnWindow();
    wire::Frame frame;
    frame.kind = wire::FrameKind::Notify;
    frame.window = own->Handle();
    frame.message = 0x9010;
    const std::vector<std::uint8_t> good = wire::Encode(frame);

    std::vector<std::uint8_t> garbage(300, 0xAB);
    SendRaw(garbage);
    std::vector<std::uint8_t> oversized = good;
    oversized[5] = 1;
    oversized[59] = 0x7F;  // claims far more data than allowed
    SendRaw(oversized);
    std::vector<std::uint8_t> promised = good;
    promised[5] = 1;
    promised[58] = 0x10;  // claims 1 MiB, then hangs up
    SendRaw(promised, false);
    std::vector<std::uint8_t> twice = good;
    twice.insert(twice.end(), good.begin(), good.end());
    SendRaw(twice);
    wire::Frame pointer = frame;
    pointer.message = kWmCopyData;  // copy-data without its bytes
    SendRaw(wire::Encode(pointer));
    wire::Frame bytes = frame;
    bytes.hasData = true;  // bytes with a message that has no use for them
    bytes.data = {1, 2, 3};
    SendRaw(wire::Encode(bytes));
    SendRaw(std::vector<std::uint8_t>(good.begin(), good.begin() + 20));
    Pump(50ms);
    EXPECT_TRUE(received_.empty());

    SendRaw(good);
    Pump(20ms);
    EXPECT_EQ(received_, std::vector<std::uint32_t>{0x9010});
}

// Peers that each send most of a large frame share one budget: the process
// drops the connections that would take it past kMaxInFlight, holds no more
// than that, and goes on working.
TEST_F(MessageWindowTest, PartlySentFramesOfManyPeersShareOneBudget)
{
    const auto own = OwnWindow();
    wire::Frame frame;
    frame.kind = wire::FrameKind::Send;
    frame.window = own->Handle();
    frame.message = kWmCopyData;
    frame.hasData = true;
    frame.data.assign(wire::kMaxData, 0x11);
    const std::vector<std::uint8_t> bytes = wire::Encode(frame);
    const std::size_t partial = bytes.size() - 1;  // never a whole frame
    constexpr int kPeers = 6;
    static_assert(kPeers * std::size_t{wire::kMaxData} >= wire::kMaxInFlight + 2 * wire::kMaxData);

    struct Peer {
        int fd = -1;
        std::size_t sent = 0;
        bool dropped = false;
    };
    std::vector<Peer> peers(kPeers);
    const std::string path = PeersDir() + "/" + std::to_string(::getpid()) + ".sock";
    for (Peer& peer : peers) {
        peer.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::connect(peer.fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    const auto deadline = std::chrono::steady_clock::now() + 8s;
    const auto busy = [&] {
        return std::any_of(peers.begin(), peers.end(), [&](const Peer& p) { return !p.dropped && p.sent < partial; });
    };
    while (busy() && std::chrono::steady_clock::now() < deadline) {
        for (Peer& peer : peers) {
            if (peer.dropped || peer.sent == partial)
                continue;
            const std::size_t chunk = std::min<std::size_t>(256 * 1024, partial - peer.sent);
            const ssize_t put = ::send(peer.fd, bytes.data() + peer.sent, chunk, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (put > 0)
                peer.sent += static_cast<std::size_t>(put);
            else if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                peer.dropped = true;  // EPIPE or ECONNRESET: the other end closed it
        }
        QCoreApplication::processEvents();
    }
    EXPECT_FALSE(busy()) << "the peers neither got through nor were dropped";
    std::size_t held = 0;
    int dropped = 0;
    for (const Peer& peer : peers) {
        dropped += peer.dropped ? 1 : 0;
        held += peer.dropped ? 0 : peer.sent - wire::kHeaderSize;
    }
    EXPECT_GE(dropped, 2) << "more than the budget of partial frames was kept";
    EXPECT_LE(held, wire::kMaxInFlight);
    for (const Peer& peer : peers)
        ::close(peer.fd);
    Pump(50ms);

    wire::Frame notify;
    notify.kind = wire::FrameKind::Notify;
    notify.window = own->Handle();
    notify.message = 0x9013;
    SendRaw(wire::Encode(notify));
    Pump(20ms);
    EXPECT_EQ(received_, std::vector<std::uint32_t>{0x9013});
}

// Forks a child that becomes `nobody` and runs `body`; its exit code.
template <class Body>
int AsNobody(
    Body body, std::function<void()> whileWaiting = [] {})
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(100);
        ::_exit(body());
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        whileWaiting();
        std::this_thread::sleep_for(1ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(MessageWindowTest, AnotherUsersProcessIsRefusedAtBothEnds)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to run a process as another user";
    const auto own = OwnWindow();

    // Our socket, opened up by mistake: the other user connects and is
    // dropped before a byte of its frame is read.
    const std::string socket = PeersDir() + "/" + std::to_string(::getpid()) + ".sock";
    ASSERT_EQ(::chmod(socket.c_str(), 0666), 0);
    const int path = ::open(socket.c_str(), O_PATH | O_CLOEXEC);
    ASSERT_GE(path, 0);
    wire::Frame frame;
    frame.kind = wire::FrameKind::Send;
    frame.window = own->Handle();
    frame.message = 0x9011;
    const std::vector<std::uint8_t> bytes = wire::Encode(frame);
    const int intruder = AsNobody(
        [&] {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d", path);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                return 2;
            ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            char reply[64];
            return ::recv(fd, reply, sizeof reply, 0) > 0 ? 1 : 0;  // no answer comes
        },
        [] { QCoreApplication::processEvents(); });
    ::close(path);
    EXPECT_EQ(intruder, 0);
    Pump(20ms);
    EXPECT_TRUE(received_.empty());

    // A socket in our peers folder that another user serves: nothing is
    // sent to it.
    char shared[] = "/tmp/vellumark-foreign-XXXXXX";
    ASSERT_NE(::mkdtemp(shared), nullptr);
    ASSERT_EQ(::chmod(shared, 0777), 0);
    const std::string foreign = std::string(shared) + "/s";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    std::atomic<pid_t> server{0};
    std::thread mover([&] {
        char pid[16] = {};
        if (::read(ready[0], pid, sizeof pid - 1) > 0) {
            ::rename(foreign.c_str(), (PeersDir() + "/" + pid + ".sock").c_str());
            server = static_cast<pid_t>(std::atoi(pid));
        }
    });
    int received = -1;
    const int served = AsNobody(
        [&] {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, foreign.c_str(), sizeof address.sun_path - 1);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0)
                return 20;
            const std::string pid = std::to_string(::getpid());
            if (::write(ready[1], pid.c_str(), pid.size()) != static_cast<ssize_t>(pid.size()))
                return 22;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0)
                return 21;
            const int connection = ::accept(fd, nullptr, nullptr);
            char buffer[256];
            ssize_t total = 0;
            for (ssize_t got; (got = ::recv(connection, buffer, sizeof buffer, 0)) > 0;)
                total += got;
            return total == 0 ? 0 : 22;
        },
        [&] {
            if (server != 0 && received == -1) {
                const WindowHandle window = (static_cast<std::uint64_t>(server) << 32) | 1;
                received = static_cast<int>(SendMessageTimeout(window, 0x9012, 1, 2, 2s).status);
            }
        });
    mover.join();
    ::close(ready[0]);
    ::close(ready[1]);
    ::unlink((PeersDir() + "/" + std::to_string(server.load()) + ".sock").c_str());
    ::rmdir(shared);
    EXPECT_EQ(served, 0) << "the other user's process received bytes";
    EXPECT_EQ(received, static_cast<int>(SendStatus::Refused));
}

}  // namespace

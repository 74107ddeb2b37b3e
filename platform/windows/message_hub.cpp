#include "platform/windows/message_hub.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <system_error>

#include <QCoreApplication>
#include <QMetaObject>

#include "platform/base/retry.h"
#include "platform/process/thread_identity.h"
#include "platform/ui/guard.h"
#include "platform/windows/peer_directory.h"

namespace platform::detail {
namespace {

// Connections being read at once. A new one past this makes the oldest idle
// one give way (see AcceptAll); with none idle, it is closed.
constexpr std::size_t kMaxIncoming = 64;
// A peer that connects and does not finish its frame is dropped after this.
constexpr std::chrono::seconds kIncomingLimit{10};
// Sends handled inside blocking sends inside blocking sends...: past this
// depth they wait for the outer wait to end.
constexpr int kMaxNesting = 16;
constexpr int kBacklog = 64;

[[noreturn]] void Fail(int error, const char* what)
{
    throw std::system_error(error, std::generic_category(), what);
}

enum class Connect { Connected, Missing, Busy, Refused, Failed };

// The peer at the other end must be of this user and, for a socket we
// connected to, the very process whose name it has.
bool PeerIsTrusted(int fd, std::int32_t expectedProcess)
{
    struct ucred cred {};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred)
        return false;
    return cred.uid == ::getuid() && (expectedProcess == 0 || cred.pid == expectedProcess);
}

// A socket path under the peers folder through its descriptor: short
// whatever the folder's own path, and not resolved again from the top.
bool FillAddress(sockaddr_un& address, int peers, std::int32_t process)
{
    address = {};
    address.sun_family = AF_UNIX;
    const std::string path = "/proc/self/fd/" + std::to_string(peers) + "/" + SocketFileName(process);
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

Connect ConnectTo(int peers, std::int32_t process, UniqueFd& out)
{
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un address;
    if (!fd || !FillAddress(address, peers, process))
        return Connect::Failed;
    if (RetryOnInterrupt(
            [&] { return ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address); }) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTSOCK)
            return Connect::Missing;
        if (errno == EAGAIN)
            return Connect::Busy;
        return Connect::Failed;
    }
    if (!PeerIsTrusted(fd.Get(), process))
        return Connect::Refused;
    out = std::move(fd);
    return Connect::Connected;
}

int MillisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left + 1, 0, 100));
}

}  // namespace

std::function<void(const WindowMessage&)>& ThreadHandler()
{
    static std::function<void(const WindowMessage&)> handler;
    return handler;
}

Hub::Hub()
{
    std::random_device random;
    serial_ = (random() & 0x3FFFFFFFu) | 1u;
}

void Hub::Add(MessageWindow& window)
{
    if (pid_ != Process()) {
        // First window, or the first in a forked child: nothing of the
        // parent's belongs to us.
        // Closing our copies of its descriptors leaves the parent's intact;
        // its Qt objects are not ours to touch.
        peers_.Reset();
        record_.Reset();
        listen_.Reset();
        (void)listenNotifier_.release();
        (void)expiry_.release();
        for (auto& [id, connection] : incoming_)
            (void)connection->notifier.release();
        incoming_.clear();
        windows_.clear();
        socketInode_ = 0;
        pid_ = Process();
        guiThread_ = static_cast<std::int32_t>(CurrentThreadId());
    }
    if (!peers_) {
        peers_ = OpenPeerDirectory();
        // Processes that were killed left their files: the first window of
        // each process clears them away, so that the folder does not grow.
        SweepStalePeers(peers_.Get(), Process());
    }
    windows_.push_back(&window);
    try {
        // The record goes first: a socket is never there without a live
        // record, so whoever removes a stale record may remove its socket.
        Publish();
        if (!listen_)
            Listen();
    } catch (...) {
        windows_.pop_back();
        if (windows_.empty())
            StopListening();
        throw;
    }
}

void Hub::Remove(MessageWindow& window) noexcept
{
    windows_.erase(std::remove(windows_.begin(), windows_.end(), &window), windows_.end());
    if (pid_ != Process())
        return;
    if (windows_.empty()) {
        StopListening();
        return;
    }
    try {
        Publish();
    } catch (const std::system_error&) {
        // The old record lists a window that no longer answers: harmless.
    }
}

std::vector<WindowInfo> Hub::OwnWindows() const
{
    std::vector<WindowInfo> infos;
    if (pid_ != Process())
        return infos;
    for (const MessageWindow* window : windows_)
        infos.push_back({window->Handle(), window->ClassName(), Process(), window->Thread()});
    return infos;
}

int Hub::Peers(UniqueFd& scratch) const
{
    if (peers_ && pid_ == Process())
        return peers_.Get();
    scratch = OpenPeerDirectory();
    return scratch.Get();
}

void Hub::Publish()
{
    UniqueFd record = WritePeerRecord(peers_.Get(), Process(), OwnWindows());
    // The new record is published and locked; the old one may go now.
    record_ = std::move(record);
}

void Hub::Listen()
{
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        Fail(errno, "cannot create a socket");
    sockaddr_un address;
    if (!FillAddress(address, peers_.Get(), Process()))
        Fail(ENAMETOOLONG, "socket path too long");
    const std::string name = SocketFileName(Process());
    // A process that had our id before us may have left its socket.
    ::unlinkat(peers_.Get(), name.c_str(), 0);
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        Fail(errno, "cannot bind the socket");
    // The folder is the user's alone; the socket's own mode is a second fence,
    // which a file system without socket modes may not keep.
    if (::fchmodat(peers_.Get(), name.c_str(), 0600, 0) != 0) {
    }
    struct stat st {};
    if (::fstatat(peers_.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        Fail(errno, "cannot inspect the socket");
    if (::listen(fd.Get(), kBacklog) != 0)
        Fail(errno, "cannot listen on the socket");
    socketInode_ = st.st_ino;
    listen_ = std::move(fd);
    if (QCoreApplication::instance() != nullptr) {
        listenNotifier_.reset(new QSocketNotifier(listen_.Get(), QSocketNotifier::Read));
        QObject::connect(listenNotifier_.get(), &QSocketNotifier::activated, [this] { OnListenReady(); });
        expiry_.reset(new QTimer);
        expiry_->setInterval(1000);
        QObject::connect(expiry_.get(), &QTimer::timeout, [this] { ExpireIncoming(); });
    }
    if (!atExitRegistered_) {
        atExitRegistered_ = true;
        std::atexit([] { Hub::Get().AtExit(); });
    }
}

void Hub::StopListening() noexcept
{
    listenNotifier_.reset();
    expiry_.reset();
    for (auto& [id, connection] : incoming_)
        connection->notifier.reset();
    incoming_.clear();
    if (peers_)
        RemoveOwnPeerFiles(peers_.Get(), Process(), socketInode_);
    listen_.Reset();
    record_.Reset();
    socketInode_ = 0;
}

void Hub::AtExit() noexcept
{
    // Qt may be gone already: only files and descriptors here.
    if (pid_ != Process() || !listen_)
        return;
    if (peers_)
        RemoveOwnPeerFiles(peers_.Get(), Process(), socketInode_);
}

void Hub::OnListenReady()
{
    AcceptAll();
}

void Hub::AcceptAll()
{
    for (;;) {
        UniqueFd fd(
            RetryOnInterrupt([&] { return ::accept4(listen_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }));
        if (!fd)
            return;
        // Another user's process is dropped before a byte is read.
        if (!PeerIsTrusted(fd.Get(), 0))
            continue;
        // Connections that idle (a peer that hung, or one that holds them
        // open on purpose) must not keep a live peer out, and a deadline
        // alone would let them back in as fast as they expire: the oldest
        // idle one gives way to the newcomer. A live peer sends its frame as
        // soon as it has connected, so it is usually there before the
        // connection is accepted and is read at once.
        if (incoming_.size() >= kMaxIncoming && !DropOldestIdle())
            continue;
        const std::uint64_t id = nextIncoming_++;
        auto connection = std::make_unique<Incoming>();
        connection->fd = std::move(fd);
        connection->deadline = Clock::now() + kIncomingLimit;
        if (QCoreApplication::instance() != nullptr) {
            connection->notifier.reset(new QSocketNotifier(connection->fd.Get(), QSocketNotifier::Read));
            QObject::connect(connection->notifier.get(), &QSocketNotifier::activated, [this, id] { Read(id, false); });
        }
        incoming_.emplace(id, std::move(connection));
        if (expiry_ && !expiry_->isActive())
            expiry_->start();
        // The frame is usually there already.
        Read(id, nesting_ > 0);
    }
}

void Hub::Read(std::uint64_t id, bool nested)
{
    auto it = incoming_.find(id);
    if (it == incoming_.end() || it->second->busy)
        return;
    Incoming& connection = *it->second;
    if (!connection.ready) {
        std::uint8_t buffer[16 * 1024];
        for (;;) {
            const ssize_t got = RetryOnInterrupt([&] { return ::recv(connection.fd.Get(), buffer, sizeof buffer, 0); });
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (got <= 0) {
                Close(id);  // hung up before the frame was complete, or failed
                return;
            }
            std::size_t used = 0;
            // The frames of all connections share one budget: many peers
            // that each send part of a large frame cannot add up to more.
            const std::size_t others = InFlight() - connection.Held();
            const std::size_t room = others < wire::kMaxInFlight ? wire::kMaxInFlight - others : 0;
            const auto state = connection.reader.Feed(buffer, static_cast<std::size_t>(got), used, room);
            if (state == wire::FrameReader::State::Malformed || state == wire::FrameReader::State::OverBudget ||
                (state == wire::FrameReader::State::Ready && used != static_cast<std::size_t>(got))) {
                Close(id);  // not one of our frames, more than one frame, or no room for it
                return;
            }
            if (state == wire::FrameReader::State::Ready) {
                connection.ready = connection.reader.Take();
                break;
            }
        }
    }
    if (connection.notifier)
        connection.notifier->setEnabled(false);
    const bool post = connection.ready->kind == wire::FrameKind::Post;
    if (!nested || post || nesting_ < kMaxNesting)
        Dispatch(id);
}

void Hub::Dispatch(std::uint64_t id)
{
    auto it = incoming_.find(id);
    if (it == incoming_.end() || it->second->busy || !it->second->ready)
        return;
    Incoming& connection = *it->second;
    connection.busy = true;
    const wire::Frame frame = std::move(*connection.ready);
    connection.ready.reset();
    connection.dispatching = frame.data.capacity();

    WindowMessage message{frame.message, static_cast<std::intptr_t>(frame.wParam),
                          static_cast<std::intptr_t>(frame.lParam), 0};
    CopyDataStruct record;
    // Bytes go only with the messages that expect a pointer to them, and a
    // pointer never travels without its bytes.
    const bool dataMessage = frame.message == kWmCopyData || frame.message == kWmBringToFront;
    const bool wellFormed = frame.hasData ? dataMessage : frame.message != kWmCopyData;
    if (frame.hasData) {
        record.kind = frame.dataKind;
        record.size = static_cast<std::uint32_t>(frame.data.size());
        record.data = frame.data.empty() ? nullptr : frame.data.data();
        message.LParam = reinterpret_cast<std::intptr_t>(&record);
    }

    switch (frame.kind) {
    case wire::FrameKind::Post:
        if (wellFormed && !frame.hasData && frame.window == 0 && frame.thread == GuiThread())
            QueuePost(message);
        break;
    case wire::FrameKind::Notify:
        if (wellFormed)
            if (const MessageWindow* window = Find(frame.window))
                window->Call(message);
        break;
    case wire::FrameKind::Send: {
        if (!wellFormed)
            break;
        wire::Frame reply;
        reply.kind = wire::FrameKind::Reply;
        reply.sequence = frame.sequence;
        reply.window = frame.window;
        if (const MessageWindow* window = Find(frame.window))
            reply.result = window->Call(message);
        else
            reply.status = wire::ReplyStatus::NoWindow;
        it = incoming_.find(id);
        if (it != incoming_.end()) {
            const std::vector<std::uint8_t> bytes = wire::Encode(reply);
            // The sender waits with an empty buffer: this fits at once, or
            // the sender has gone and the reply does not matter.
            [[maybe_unused]] const ssize_t sent =
                ::send(it->second->fd.Get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        break;
    }
    case wire::FrameKind::Reply:
        break;
    }
    Close(id);
}

void Hub::Close(std::uint64_t id)
{
    auto it = incoming_.find(id);
    if (it == incoming_.end())
        return;
    // The notifier lets go of the descriptor before it is closed.
    it->second->notifier.reset();
    incoming_.erase(it);
    if (incoming_.empty() && expiry_)
        expiry_->stop();
}

bool Hub::DropOldestIdle()
{
    // Ids grow with every connection accepted: the first idle one is the oldest.
    for (const auto& [id, connection] : incoming_)
        if (!connection->busy && !connection->ready) {
            Close(id);
            return true;
        }
    return false;
}

void Hub::ExpireIncoming()
{
    const Clock::time_point now = Clock::now();
    std::vector<std::uint64_t> expired;
    std::vector<std::uint64_t> waiting;
    for (const auto& [id, connection] : incoming_) {
        if (connection->busy)
            continue;
        if (connection->ready)
            waiting.push_back(id);
        else if (now >= connection->deadline)
            expired.push_back(id);
    }
    for (const std::uint64_t id : expired)
        Close(id);
    // A frame that arrived in the deepest wait, left for later: now is later.
    if (nesting_ == 0)
        for (const std::uint64_t id : waiting)
            Dispatch(id);
}

std::size_t Hub::InFlight() const noexcept
{
    std::size_t held = 0;
    for (const auto& [id, connection] : incoming_)
        held += connection->Held();
    return held;
}

void Hub::QueuePost(const WindowMessage& message)
{
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr)
        return;
    QMetaObject::invokeMethod(
        application,
        [message] {
            if (const auto handler = ThreadHandler())
                Guard([&] { handler(message); });
        },
        Qt::QueuedConnection);
}

short Hub::Wait(int fd, short events, Clock::time_point deadline)
{
    ++nesting_;
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    fds.push_back({fd, events, 0});
    const bool listening = listen_ && pid_ == Process();
    if (listening)
        fds.push_back({listen_.Get(), POLLIN, 0});
    const std::size_t firstIncoming = fds.size();
    for (const auto& [id, connection] : incoming_)
        if (!connection->busy && !connection->ready) {
            fds.push_back({connection->fd.Get(), POLLIN, 0});
            ids.push_back(id);
        }
    const int ready = RetryOnInterrupt(
        [&] { return ::poll(fds.data(), static_cast<nfds_t>(fds.size()), MillisecondsUntil(deadline)); });
    if (ready > 0) {
        if (listening && (fds[1].revents & POLLIN))
            AcceptAll();
        for (std::size_t i = 0; i < ids.size(); ++i)
            if (fds[firstIncoming + i].revents != 0)
                Read(ids[i], true);
    }
    // Frames that arrived complete while a deeper wait could not take them.
    if (nesting_ < kMaxNesting) {
        std::vector<std::uint64_t> waiting;
        for (const auto& [id, connection] : incoming_)
            if (!connection->busy && connection->ready)
                waiting.push_back(id);
        for (const std::uint64_t id : waiting)
            Dispatch(id);
    }
    ExpireIncoming();
    --nesting_;
    return ready > 0 ? fds[0].revents : 0;
}

SendResult Hub::Send(const wire::Frame& request, std::int32_t process, std::chrono::milliseconds timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    UniqueFd scratch;
    int peers = -1;
    try {
        peers = Peers(scratch);
    } catch (const std::system_error&) {
        return {SendStatus::NoWindow, 0};
    }
    wire::Frame frame = request;
    frame.sequence = sequence_++;
    const std::vector<std::uint8_t> bytes = wire::Encode(frame);
    if (bytes.empty())
        return {SendStatus::Failed, 0};

    UniqueFd fd;
    for (;;) {
        const Connect connected = ConnectTo(peers, process, fd);
        if (connected == Connect::Connected)
            break;
        if (connected == Connect::Missing)
            return {SendStatus::NoWindow, 0};
        if (connected == Connect::Refused)
            return {SendStatus::Refused, 0};
        if (connected == Connect::Failed)
            return {SendStatus::Failed, 0};
        // Its queue of connections is full: wait a little, serving ours.
        if (Clock::now() >= deadline)
            return {SendStatus::TimedOut, 0};
        Wait(-1, 0, std::min(deadline, Clock::now() + std::chrono::milliseconds(2)));
    }

    std::size_t written = 0;
    wire::FrameReader reader;
    for (;;) {
        while (written < bytes.size()) {
            const ssize_t put = RetryOnInterrupt([&] {
                return ::send(fd.Get(), bytes.data() + written, bytes.size() - written, MSG_DONTWAIT | MSG_NOSIGNAL);
            });
            if (put > 0) {
                written += static_cast<std::size_t>(put);
                continue;
            }
            if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            return {SendStatus::Failed, 0};
        }
        if (written == bytes.size()) {
            std::uint8_t buffer[wire::kHeaderSize];
            for (;;) {
                const ssize_t got =
                    RetryOnInterrupt([&] { return ::recv(fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT); });
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                    break;
                if (got <= 0)
                    return {SendStatus::Failed, 0};  // hung up without an answer
                std::size_t used = 0;
                const auto state = reader.Feed(buffer, static_cast<std::size_t>(got), used);
                if (state == wire::FrameReader::State::Malformed || used != static_cast<std::size_t>(got))
                    return {SendStatus::Failed, 0};
                if (state == wire::FrameReader::State::Ready) {
                    const wire::Frame reply = reader.Take();
                    if (reply.kind != wire::FrameKind::Reply || reply.sequence != frame.sequence)
                        return {SendStatus::Failed, 0};
                    if (reply.status == wire::ReplyStatus::NoWindow)
                        return {SendStatus::NoWindow, 0};
                    return {SendStatus::Answered, static_cast<std::intptr_t>(reply.result)};
                }
            }
        }
        if (Clock::now() >= deadline)
            return {SendStatus::TimedOut, 0};
        Wait(fd.Get(), written < bytes.size() ? POLLOUT : POLLIN, deadline);
    }
}

PostStatus Hub::Deliver(const wire::Frame& request, std::int32_t process)
{
    UniqueFd scratch;
    int peers = -1;
    try {
        peers = Peers(scratch);
    } catch (const std::system_error&) {
        return PostStatus::InvalidThread;
    }
    wire::Frame frame = request;
    frame.sequence = sequence_++;
    const std::vector<std::uint8_t> bytes = wire::Encode(frame);
    if (bytes.empty())
        return PostStatus::Failed;
    UniqueFd fd;
    switch (ConnectTo(peers, process, fd)) {
    case Connect::Connected:
        break;
    case Connect::Missing:
    case Connect::Refused:
        return PostStatus::InvalidThread;
    case Connect::Busy:
        return PostStatus::Busy;
    case Connect::Failed:
        return PostStatus::Failed;
    }
    const ssize_t put =
        RetryOnInterrupt([&] { return ::send(fd.Get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL); });
    if (put == static_cast<ssize_t>(bytes.size()))
        return PostStatus::Posted;
    return put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? PostStatus::Busy : PostStatus::Failed;
}

}  // namespace platform::detail

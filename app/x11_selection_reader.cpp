#include "app/x11_selection_reader.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>

#include "core/clipboard_marks.h"

namespace {

// The X protocol's layouts and numbers, as libxcb hands them over.
using Atom = std::uint32_t;
using Window = std::uint32_t;

constexpr Atom kNone = 0;
constexpr Atom kAnyPropertyType = 0;
constexpr std::uint32_t kCurrentTime = 0;
constexpr std::uint8_t kPropertyNotify = 28;
constexpr std::uint8_t kSelectionNotify = 31;
// The top bit of an event's code marks one sent by another client.
constexpr std::uint8_t kEventCodeMask = 0x7f;
constexpr std::uint8_t kPropertyNewValue = 0;
constexpr std::uint16_t kInputOnly = 2;
constexpr std::uint32_t kEventMaskAttribute = 1u << 11;
constexpr std::uint32_t kPropertyChangeMask = 1u << 22;

struct Cookie {
    unsigned int sequence;
};

struct GenericEvent {
    std::uint8_t responseType;
};

struct SelectionNotifyEvent {
    std::uint8_t responseType;
    std::uint8_t pad0;
    std::uint16_t sequence;
    std::uint32_t time;
    Window requestor;
    Atom selection;
    Atom target;
    Atom property;
};

struct PropertyNotifyEvent {
    std::uint8_t responseType;
    std::uint8_t pad0;
    std::uint16_t sequence;
    Window window;
    Atom atom;
    std::uint32_t time;
    std::uint8_t state;
};

struct InternAtomReply {
    std::uint8_t responseType;
    std::uint8_t pad0;
    std::uint16_t sequence;
    std::uint32_t length;
    Atom atom;
};

struct GetPropertyReply {
    std::uint8_t responseType;
    std::uint8_t format;
    std::uint16_t sequence;
    std::uint32_t length;
    Atom type;
    std::uint32_t bytesAfter;
    std::uint32_t valueLength;
};

struct Screen {
    Window root;
};

struct ScreenIterator {
    const Screen* data;
    int rem;
    int index;
};

struct Setup;

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};

template <class Reply>
using ReplyPtr = std::unique_ptr<Reply, FreeReply>;

// The names of our window's properties that answers arrive on, one per
// transfer.
constexpr const char* kPropertyNames[] = {"VELLUMARK_CLIPBOARD_0", "VELLUMARK_CLIPBOARD_1", "VELLUMARK_CLIPBOARD_2",
                                          "VELLUMARK_CLIPBOARD_3"};

}  // namespace

// Qt's connection and the libxcb functions the reader calls, found in the
// library Qt has loaded.
struct X11SelectionReader::Xcb {
    struct CloseLibrary {
        void operator()(void* handle) const { ::dlclose(handle); }
    };
    std::unique_ptr<void, CloseLibrary> library;
    xcb_connection_t* connection = nullptr;

    Cookie (*internAtom)(xcb_connection_t*, std::uint8_t onlyIfExists, std::uint16_t length,
                         const char* name) = nullptr;
    InternAtomReply* (*internAtomReply)(xcb_connection_t*, Cookie, void** error) = nullptr;
    std::uint32_t (*generateId)(xcb_connection_t*) = nullptr;
    const Setup* (*getSetup)(xcb_connection_t*) = nullptr;
    ScreenIterator (*setupRootsIterator)(const Setup*) = nullptr;
    Cookie (*createWindow)(xcb_connection_t*, std::uint8_t depth, Window window, Window parent, std::int16_t x,
                           std::int16_t y, std::uint16_t width, std::uint16_t height, std::uint16_t border,
                           std::uint16_t windowClass, std::uint32_t visual, std::uint32_t valueMask,
                           const void* values) = nullptr;
    Cookie (*destroyWindow)(xcb_connection_t*, Window) = nullptr;
    Cookie (*convertSelection)(xcb_connection_t*, Window requestor, Atom selection, Atom target, Atom property,
                               std::uint32_t time) = nullptr;
    Cookie (*deleteProperty)(xcb_connection_t*, Window, Atom) = nullptr;
    Cookie (*getProperty)(xcb_connection_t*, std::uint8_t remove, Window, Atom property, Atom type,
                          std::uint32_t offset, std::uint32_t length) = nullptr;
    GetPropertyReply* (*getPropertyReply)(xcb_connection_t*, Cookie, void** error) = nullptr;
    void* (*getPropertyValue)(const GetPropertyReply*) = nullptr;
    int (*flush)(xcb_connection_t*) = nullptr;

    // False when a function is missing.
    bool Load()
    {
        bool found = true;
        const auto find = [&](auto& function, const char* name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(library.get(), name));
            found = found && function != nullptr;
        };
        find(internAtom, "xcb_intern_atom");
        find(internAtomReply, "xcb_intern_atom_reply");
        find(generateId, "xcb_generate_id");
        find(getSetup, "xcb_get_setup");
        find(setupRootsIterator, "xcb_setup_roots_iterator");
        find(createWindow, "xcb_create_window");
        find(destroyWindow, "xcb_destroy_window");
        find(convertSelection, "xcb_convert_selection");
        find(deleteProperty, "xcb_delete_property");
        find(getProperty, "xcb_get_property");
        find(getPropertyReply, "xcb_get_property_reply");
        find(getPropertyValue, "xcb_get_property_value");
        find(flush, "xcb_flush");
        return found;
    }

    // The property's value, no more than `limit` bytes of it, deleted once
    // it has been read to its end; nothing on an error.
    ReplyPtr<GetPropertyReply> Property(Window window, Atom property, bool remove, std::size_t limit) const
    {
        // The length is asked in units of four bytes.
        const auto units = static_cast<std::uint32_t>((limit + 3) / 4);
        return ReplyPtr<GetPropertyReply>(getPropertyReply(
            connection, getProperty(connection, remove ? 1 : 0, window, property, kAnyPropertyType, 0, units),
            nullptr));
    }
};

std::unique_ptr<X11SelectionReader> X11SelectionReader::Make(Done done)
{
    auto* x11 = qGuiApp == nullptr ? nullptr : qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr)
        return nullptr;
    auto xcb = std::make_unique<Xcb>();
    // Only the library that is already there: the program does not bring one.
    xcb->library.reset(::dlopen("libxcb.so.1", RTLD_NOW | RTLD_NOLOAD));
    if (xcb->library == nullptr || !xcb->Load())
        return nullptr;
    xcb->connection = x11->connection();
    std::unique_ptr<X11SelectionReader> reader(new X11SelectionReader(std::move(xcb), std::move(done)));
    if (!reader->Start())
        return nullptr;
    return reader;
}

X11SelectionReader::X11SelectionReader(std::unique_ptr<Xcb> xcb, Done done)
    : xcb_(std::move(xcb)), done_(std::move(done))
{
    patience_.setSingleShot(true);
    // A coarse timer may fire a twentieth early: the owner gets its whole
    // fifth of a second.
    patience_.setTimerType(Qt::PreciseTimer);
    patience_.setInterval(kPatience);
    QObject::connect(&patience_, &QTimer::timeout, this, [this] { GiveUp(); });
}

bool X11SelectionReader::Start()
{
    xcb_connection_t* connection = xcb_->connection;
    // Asked all at once, answered in one round trip.
    std::vector<const char*> names = {"CLIPBOARD", "UTF8_STRING", "INCR"};
    names.insert(names.end(), std::begin(kPropertyNames), std::end(kPropertyNames));
    std::vector<Cookie> cookies;
    for (const char* name : names)
        cookies.push_back(xcb_->internAtom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name));
    std::vector<Atom> atoms;
    for (const Cookie cookie : cookies) {
        const ReplyPtr<InternAtomReply> reply(xcb_->internAtomReply(connection, cookie, nullptr));
        atoms.push_back(reply == nullptr ? kNone : reply->atom);
    }
    if (std::find(atoms.begin(), atoms.end(), kNone) != atoms.end())
        return false;
    clipboard_ = atoms[0];
    utf8_ = atoms[1];
    incr_ = atoms[2];
    for (std::size_t i = 0; i < transfers_.size(); ++i)
        transfers_[i].property = atoms[3 + i];

    // A window of our own, never shown, that answers arrive on; it hears of
    // changes to its properties, which a long answer comes in.
    const Screen* screen = xcb_->setupRootsIterator(xcb_->getSetup(connection)).data;
    if (screen == nullptr)
        return false;
    window_ = xcb_->generateId(connection);
    const std::uint32_t events = kPropertyChangeMask;
    xcb_->createWindow(connection, 0, window_, screen->root, 0, 0, 1, 1, 0, kInputOnly, 0, kEventMaskAttribute,
                       &events);
    xcb_->flush(connection);
    qGuiApp->installNativeEventFilter(this);
    return true;
}

X11SelectionReader::~X11SelectionReader()
{
    // The connection goes with the application.
    if (qGuiApp == nullptr || window_ == 0)
        return;
    qGuiApp->removeNativeEventFilter(this);
    xcb_->destroyWindow(xcb_->connection, window_);
    xcb_->flush(xcb_->connection);
}

void X11SelectionReader::Read()
{
    Drop();
    // A free property, else the one asked longest ago: its owner has kept
    // us waiting past all patience.
    const auto free = std::find_if(transfers_.begin(), transfers_.end(),
                                   [](const Transfer& transfer) { return transfer.phase == Phase::Free; });
    const auto chosen = free != transfers_.end()
                            ? free
                            : std::min_element(transfers_.begin(), transfers_.end(),
                                               [](const Transfer& a, const Transfer& b) { return a.asked < b.asked; });
    Transfer& transfer = *chosen;
    transfer.phase = Phase::Asked;
    transfer.text.clear();
    transfer.asked = std::chrono::steady_clock::now();
    xcb_->deleteProperty(xcb_->connection, window_, transfer.property);
    xcb_->convertSelection(xcb_->connection, window_, clipboard_, utf8_, transfer.property, kCurrentTime);
    xcb_->flush(xcb_->connection);
    current_ = static_cast<std::size_t>(chosen - transfers_.begin());
    patience_.start();
}

void X11SelectionReader::Drop()
{
    patience_.stop();
    if (current_ && transfers_[*current_].phase == Phase::Receiving)
        transfers_[*current_].phase = Phase::Draining;
    current_.reset();
}

void X11SelectionReader::GiveUp()
{
    if (!current_)
        return;
    Drop();
    done_(std::nullopt, true);
}

void X11SelectionReader::Finish(std::size_t index, std::optional<std::string> text)
{
    if (current_ != index)
        return;
    patience_.stop();
    current_.reset();
    done_(std::move(text), false);
}

bool X11SelectionReader::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto code = static_cast<const GenericEvent*>(message)->responseType & kEventCodeMask;
    if (code == kSelectionNotify) {
        const auto* notify = static_cast<const SelectionNotifyEvent*>(message);
        if (notify->requestor != window_)
            return false;
        if (notify->property == kNone) {
            // A refusal names no property, so it cannot say whose it is: it
            // ends the read in flight.
            if (current_ && transfers_[*current_].phase == Phase::Asked) {
                transfers_[*current_].phase = Phase::Free;
                Finish(*current_, std::nullopt);
            }
            return true;
        }
        for (std::size_t i = 0; i < transfers_.size(); ++i)
            if (transfers_[i].property == notify->property && transfers_[i].phase == Phase::Asked)
                Answered(i, notify->property);
        return true;
    }
    if (code == kPropertyNotify) {
        const auto* change = static_cast<const PropertyNotifyEvent*>(message);
        if (change->window != window_)
            return false;
        if (change->state == kPropertyNewValue)
            for (std::size_t i = 0; i < transfers_.size(); ++i)
                if (transfers_[i].property == change->atom &&
                    (transfers_[i].phase == Phase::Receiving || transfers_[i].phase == Phase::Draining))
                    PieceArrived(i);
        return true;
    }
    return false;
}

void X11SelectionReader::Answered(std::size_t index, std::uint32_t property)
{
    Transfer& transfer = transfers_[index];
    const bool wanted = current_ == index;
    const ReplyPtr<GetPropertyReply> reply = xcb_->Property(window_, property, true, kClipboardReadLimit);
    if (reply == nullptr) {
        transfer.phase = Phase::Free;
        Finish(index, std::nullopt);
        return;
    }
    // Read to its end, it is gone; a longer one is not read further.
    if (reply->bytesAfter > 0)
        xcb_->deleteProperty(xcb_->connection, window_, property);
    if (reply->type == incr_) {
        // A long answer comes in pieces, each written once the last one is
        // deleted, which the read above did. An owner that answers is not
        // silent: patience starts again with each piece.
        transfer.phase = wanted ? Phase::Receiving : Phase::Draining;
        if (wanted)
            patience_.start();
        xcb_->flush(xcb_->connection);
        return;
    }
    xcb_->flush(xcb_->connection);
    transfer.phase = Phase::Free;
    if (reply->format != 8) {
        Finish(index, std::nullopt);
        return;
    }
    const auto* value = static_cast<const char*>(xcb_->getPropertyValue(reply.get()));
    Finish(index, std::string(value, std::min<std::size_t>(reply->valueLength, kClipboardReadLimit)));
}

void X11SelectionReader::PieceArrived(std::size_t index)
{
    Transfer& transfer = transfers_[index];
    if (transfer.phase == Phase::Draining) {
        // Only its length, to see the empty piece that ends the answer.
        const ReplyPtr<GetPropertyReply> reply = xcb_->Property(window_, transfer.property, false, 0);
        if (reply == nullptr || reply->bytesAfter == 0)
            transfer.phase = Phase::Free;
        xcb_->deleteProperty(xcb_->connection, window_, transfer.property);
        xcb_->flush(xcb_->connection);
        return;
    }
    const std::size_t room = kClipboardReadLimit - transfer.text.size();
    const ReplyPtr<GetPropertyReply> reply = xcb_->Property(window_, transfer.property, true, room);
    if (reply == nullptr || reply->format != 8) {
        transfer.phase = reply == nullptr ? Phase::Free : Phase::Draining;
        if (reply != nullptr)
            xcb_->deleteProperty(xcb_->connection, window_, transfer.property);
        xcb_->flush(xcb_->connection);
        Finish(index, std::nullopt);
        return;
    }
    if (reply->valueLength == 0 && reply->bytesAfter == 0) {
        // The empty piece: the answer is whole.
        transfer.phase = Phase::Free;
        Finish(index, std::move(transfer.text));
        return;
    }
    const auto* value = static_cast<const char*>(xcb_->getPropertyValue(reply.get()));
    transfer.text.append(value, std::min<std::size_t>(reply->valueLength, room));
    if (current_ == index)
        patience_.start();
    if (reply->bytesAfter > 0)
        xcb_->deleteProperty(xcb_->connection, window_, transfer.property);
    xcb_->flush(xcb_->connection);
    if (transfer.text.size() >= kClipboardReadLimit) {
        // Enough: the rest is taken off unread, piece by piece.
        transfer.phase = Phase::Draining;
        Finish(index, transfer.text);
    }
}

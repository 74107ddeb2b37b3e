#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QTimer>

// Reads the X clipboard's text without ever waiting for its owner: the
// question goes out, the loop runs on, and the answer is taken up when it
// arrives, or given up after a fifth of a second of the owner's silence (a
// long answer's pieces each show it alive). No more than the first
// 64 KiB of the text and one byte is read (kClipboardReadLimit).
//
// It speaks the X protocol through Qt's own connection, with the functions
// of the libxcb that Qt's X11 platform plugin has loaded: the program links
// nothing but Qt.
class X11SelectionReader final : public QObject, public QAbstractNativeEventFilter {
public:
    // Called with the text read (UTF-8, at most 64 KiB and a byte), or nothing when the
    // owner had no text or refused; or nothing and `silent` when it did not
    // answer in time.
    using Done = std::function<void(std::optional<std::string> text, bool silent)>;

    // Nothing where the application does not run on X11, or the X library
    // cannot be found in the process.
    static std::unique_ptr<X11SelectionReader> Make(Done done);
    ~X11SelectionReader() override;
    X11SelectionReader(const X11SelectionReader&) = delete;
    X11SelectionReader& operator=(const X11SelectionReader&) = delete;

    // Asks the clipboard's owner for its text. A read still in flight no
    // longer counts: only the newest one's answer is passed on.
    void Read();
    // The read in flight, if any, no longer counts.
    void Drop();

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    // The owner's silence after which a read is given up.
    static constexpr std::chrono::milliseconds kPatience{200};

private:
    // Qt's connection and the X library's functions.
    struct Xcb;

    // A question to an owner, and its answer on a property of our window.
    // An answer that no longer counts is still taken off the property (and
    // a long one taken to its end unread), so that the owner is not left
    // waiting on us.
    enum class Phase {
        Free,       // the property is ours to use
        Asked,      // waiting for the owner's notice
        Receiving,  // a long answer, piece by piece (INCR)
        Draining,   // a long answer no longer wanted: pieces deleted unread
    };
    struct Transfer {
        std::uint32_t property = 0;
        Phase phase = Phase::Free;
        std::string text;
        std::chrono::steady_clock::time_point asked;
    };

    X11SelectionReader(std::unique_ptr<Xcb> xcb, Done done);
    bool Start();
    void Answered(std::size_t index, std::uint32_t property);
    void PieceArrived(std::size_t index);
    void Finish(std::size_t index, std::optional<std::string> text);
    void GiveUp();

    std::unique_ptr<Xcb> xcb_;
    Done done_;
    std::uint32_t window_ = 0;
    std::uint32_t clipboard_ = 0;
    std::uint32_t utf8_ = 0;
    std::uint32_t incr_ = 0;
    std::array<Transfer, 4> transfers_;
    // The transfer whose answer counts; none when no read is in flight.
    std::optional<std::size_t> current_;
    QTimer patience_;
};

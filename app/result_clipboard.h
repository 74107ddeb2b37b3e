#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

// The clipboard as the window compares its results with it. The clipboard is
// shared with the whole desktop, and its owner (another program) may be slow
// or never answer: the window never waits for it. It is read when it changes
// and when the window asks, in the background, and the window compares its
// results with what was read last. Tests replace it.
class ResultClipboard {
public:
    virtual ~ResultClipboard() = default;

    // What the clipboard held when last read: its plain text as UTF-8, no
    // more than the first 64 KiB and one byte of it (kClipboardReadLimit:
    // the byte tells a text cut there from one that ends there); nothing
    // when it held no text, text
    // this program put there (a result the user copied, which must not match
    // itself), or when its owner did not answer in time. Never waits.
    virtual std::optional<std::string> LastText() const = 0;

    // Calls back on the GUI thread, from the loop, whenever a read has ended
    // (what LastText gives may have changed).
    virtual void OnRead(std::function<void()> read) = 0;

    // Reads the clipboard again, without waiting for it: for a window that
    // has become active, since on some desktops a window sees the
    // clipboard's changes only while it is active.
    virtual void ReadAgain() = 0;

    // Whether the last read was given up because the owner did not answer
    // in time, so that asking again may still get its text. Never where the
    // toolkit itself waits for the owner (Wayland): asking again there
    // would wait again.
    virtual bool Unanswered() const = 0;

    // Whether a read is under way whose answer has not come yet, so that a
    // Generate that a start runs may wait a little for it. Never where the
    // toolkit reads the clipboard itself (Wayland): its reads wait for the
    // owner, and are not waited for.
    virtual bool Reading() const = 0;
};

std::unique_ptr<ResultClipboard> MakeSystemClipboard();

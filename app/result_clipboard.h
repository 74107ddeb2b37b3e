#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

// The clipboard as the window compares its results with it. Tests replace
// it: the real one is shared with the whole desktop, and reading it waits
// on whichever program owns it.
class ResultClipboard {
public:
    virtual ~ResultClipboard() = default;

    // The clipboard's plain text as UTF-8, no more than the first 64 KiB of
    // it; nothing when the clipboard holds no text, or text this program put
    // there (a result the user copied, which must not match itself).
    virtual std::optional<std::string> ForeignText() = 0;

    // Calls back on the GUI thread whenever the clipboard's content changes.
    virtual void OnChange(std::function<void()> changed) = 0;

    // Whether the clipboard is seen only by the active window (Wayland), so
    // that its changes must be looked for when the window becomes active.
    virtual bool SeenOnlyWhenActive() const = 0;
};

std::unique_ptr<ResultClipboard> MakeSystemClipboard();

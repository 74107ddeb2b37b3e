#pragma once

#include <chrono>
#include <cstdint>

#include "platform/ui/shell.h"

// Hands URLs to the desktop's default handler through xdg-open, and reports
// xdg-open's failure (no handler for the scheme, xdg-open missing) as the
// shell's. A handler that is still running when the wait ends has taken the
// URL (generic handlers wait for the browser they start): that counts as
// opened, and it is left to run.
class DesktopUrlOpener final : public platform::UrlOpener {
public:
    static constexpr std::chrono::milliseconds kDefaultWait{1500};

    explicit DesktopUrlOpener(std::chrono::milliseconds wait = kDefaultWait) : wait_(wait) {}
    int Open(std::uintptr_t owner, const QString& url) override;

    // The handlers left to run that have not been released yet: each is
    // released (destroyed) once the event loop has seen it end.
    static int KeptHandlers() noexcept;

private:
    std::chrono::milliseconds wait_;
};

// The opener installed through platform::InstallUrlOpener, or the desktop's
// when none is.
platform::UrlOpener& UrlOpenerInUse();

#pragma once

#include <cstdint>

#include "platform/ui/shell.h"

// Hands URLs to the desktop's default handler (xdg-open and friends).
class DesktopUrlOpener final : public platform::UrlOpener {
public:
    int Open(std::uintptr_t owner, const QString& url) override;
};

// The opener installed through platform::InstallUrlOpener, or the desktop's
// when none is.
platform::UrlOpener& UrlOpenerInUse();

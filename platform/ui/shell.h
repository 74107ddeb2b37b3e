#pragma once

#include <cstdint>

#include <QString>

namespace platform {

// Opening a URL with the user's default handler. Results follow the shell's
// rule: above 32 the URL was handed on, 32 or less it was not.
inline constexpr int kShellOpened = 33;
inline constexpr int kShellNotOpened = 2;

constexpr bool ShellOpenSucceeded(int result) noexcept
{
    return result > 32;
}

class UrlOpener {
public:
    virtual ~UrlOpener() = default;

    // owner is the native id of the window asking, 0 when it has none yet.
    // The URL is opened with the handler's default action, shown normally.
    virtual int Open(std::uintptr_t owner, const QString& url) = 0;
};

// The opener that replaces the desktop's, or null for the desktop's own.
// The installed opener is not owned and must outlive its installation.
UrlOpener* InstalledUrlOpener() noexcept;

// Installs opener (null goes back to the desktop's) and returns the previous.
UrlOpener* InstallUrlOpener(UrlOpener* opener) noexcept;

// Installs an opener for the life of a scope, then puts the previous back.
class ScopedUrlOpener {
public:
    explicit ScopedUrlOpener(UrlOpener& opener) noexcept : previous_(InstallUrlOpener(&opener)) {}
    ~ScopedUrlOpener() { InstallUrlOpener(previous_); }

    ScopedUrlOpener(const ScopedUrlOpener&) = delete;
    ScopedUrlOpener& operator=(const ScopedUrlOpener&) = delete;

private:
    UrlOpener* previous_;
};

}  // namespace platform

#include "platform/ui/shell.h"

namespace platform {
namespace {

UrlOpener*& Installed() noexcept
{
    static UrlOpener* opener = nullptr;
    return opener;
}

}  // namespace

UrlOpener* InstalledUrlOpener() noexcept
{
    return Installed();
}

UrlOpener* InstallUrlOpener(UrlOpener* opener) noexcept
{
    UrlOpener* previous = Installed();
    Installed() = opener;
    return previous;
}

}  // namespace platform

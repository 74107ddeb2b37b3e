#include "about/desktopopener.h"

#include <QDesktopServices>
#include <QUrl>

int DesktopUrlOpener::Open(std::uintptr_t /*owner*/, const QString& url)
{
    // The desktop picks the handler and its window itself; Qt only tells
    // whether the request was handed on.
    return QDesktopServices::openUrl(QUrl(url)) ? platform::kShellOpened : platform::kShellNotOpened;
}

platform::UrlOpener& UrlOpenerInUse()
{
    if (platform::UrlOpener* installed = platform::InstalledUrlOpener()) {
        return *installed;
    }
    static DesktopUrlOpener desktop;
    return desktop;
}

#include "about/placement.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include "about/about.h"

namespace {

// Wide arithmetic, so that no window position can overflow on the way.
struct Position {
    std::int64_t left;
    std::int64_t top;
};

Position Centred(const QSize& box, const QRect& main)
{
    Position at{};
    at.top = main.top() + (std::int64_t{main.height()} - box.height()) / 2;
    at.left = main.left() + (std::int64_t{main.width()} - box.width()) / 2;
    at.left = std::max<std::int64_t>(at.left, 0);
    at.top = std::max<std::int64_t>(at.top, 0);
    return at;
}

QPoint ToPoint(const Position& at)
{
    const auto fit = [](std::int64_t value) {
        return static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
    };
    return {fit(at.left), fit(at.top)};
}

}  // namespace

QPoint AboutBoxPlacement(const QSize& box, const QRect& main, const QSize& screen)
{
    Position at = Centred(box, main);
    const std::int64_t lastLeft = std::int64_t{screen.width()} - box.width();
    const std::int64_t lastTop = std::int64_t{screen.height()} - box.height();
    if (lastLeft < at.left) {
        at.left = lastLeft;
    }
    if (lastTop < at.top) {
        at.top = lastTop;
    }
    return ToPoint(at);
}

QPoint FirstShowingPlacement(const QSize& box, const QRect& main)
{
    return ToPoint(Centred(box, main));
}

QSize OuterSize(const QWidget& box, const QWidget& main)
{
    // A window that has not been shown yet has no frame; the window system
    // gives it the same decorations as the main window, so count those.
    if (box.frameGeometry().size() != box.size() || main.frameGeometry().size() == main.size())
        return box.frameGeometry().size();
    return box.size() + (main.frameGeometry().size() - main.size());
}

void PlaceAboutBox(TAboutBox& box, const QWidget& main)
{
    const QSize boxSize = OuterSize(box, main);
    const QRect mainBounds = main.frameGeometry();
    const QScreen* screen = QGuiApplication::primaryScreen();
    // Without a screen there is no edge to keep to.
    box.move(screen != nullptr ? AboutBoxPlacement(boxSize, mainBounds, screen->geometry().size())
                               : FirstShowingPlacement(boxSize, mainBounds));
}

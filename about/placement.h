#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;
class TAboutBox;

// All rectangles are outer bounds (frame included) in screen pixels. Halves
// are integer divisions that truncate toward zero.

// Centred over the main window, then kept off the left and top edges and,
// after that, flush with the right and bottom edges of a screen of the given
// size where it would reach past them. A box larger than the screen therefore
// ends up at a negative position.
QPoint AboutBoxPlacement(const QSize& box, const QRect& main, const QSize& screen);

// Where the box centres itself on its first showing: centred over the main
// window and kept off the left and top edges, with no right or bottom
// correction.
QPoint FirstShowingPlacement(const QSize& box, const QRect& main);

// The box's outer size, also before its first showing, when the window system
// has not framed it yet.
QSize OuterSize(const QWidget& box, const QWidget& main);

// Moves the box to AboutBoxPlacement over main on the primary screen.
void PlaceAboutBox(TAboutBox& box, const QWidget& main);

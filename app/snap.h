#pragma once

#include <QPoint>
#include <QRect>

// Where a window whose outer bounds are `frame` goes when it is moved near
// the edges of `workArea`: each edge closer than `distance` pixels to the
// same edge of the work area is put onto it.
QPoint SnapToWorkArea(const QRect& frame, const QRect& workArea, int distance);

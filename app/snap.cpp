#include "app/snap.h"

#include <cstdlib>

QPoint SnapToWorkArea(const QRect& frame, const QRect& workArea, int distance)
{
    QPoint position = frame.topLeft();
    const int right = frame.x() + frame.width();
    const int bottom = frame.y() + frame.height();
    const int areaRight = workArea.x() + workArea.width();
    const int areaBottom = workArea.y() + workArea.height();
    if (std::abs(frame.x() - workArea.x()) < distance)
        position.setX(workArea.x());
    else if (std::abs(right - areaRight) < distance)
        position.setX(areaRight - frame.width());
    if (std::abs(frame.y() - workArea.y()) < distance)
        position.setY(workArea.y());
    else if (std::abs(bottom - areaBottom) < distance)
        position.setY(areaBottom - frame.height());
    return position;
}

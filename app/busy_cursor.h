#pragma once

#include <QCursor>
#include <QGuiApplication>
#include <Qt>

// Shows the busy cursor for its lifetime and restores the one before it on
// every path out, exceptions included.
class BusyCursor {
public:
    BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// Shows the About box over a stand-in main window so that it can be looked
// at (and captured) under a real display. Options: --hover lights the link
// as if the mouse were over it; --seconds N quits after N seconds.
#include <QApplication>
#include <QEnterEvent>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include "about/about.h"
#include "about/zelhotlabel.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qsizetype secondsAt = args.indexOf("--seconds");
    const int seconds = secondsAt >= 0 && secondsAt + 1 < args.size() ? args[secondsAt + 1].toInt() : 0;

    QWidget main;
    main.setWindowTitle("Vellumark");
    main.setGeometry(120, 90, 379, 334);
    QVBoxLayout layout(&main);
    QLabel stand("Main window");
    stand.setAlignment(Qt::AlignCenter);
    layout.addWidget(&stand);
    main.show();

    TAboutBox box;
    box.SetMainWindow(&main);
    PlaceAboutBox(box, main);
    if (args.contains("--hover")) {
        QTimer::singleShot(300, &box, [&box] {
            QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
            QApplication::sendEvent(box.Homepage(), &enter);
        });
    }
    if (seconds > 0) {
        QTimer::singleShot(seconds * 1000, &app, [&box] { box.done(TAboutBox::mrOk); });
    }
    return box.exec() == TAboutBox::mrOk ? 0 : 1;
}

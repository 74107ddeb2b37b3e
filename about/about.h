#pragma once

#include <memory>

#include <QDialog>
#include <QPointer>

#include "about/placement.h"

class QFrame;
class QKeyEvent;
class QLabel;
class QPushButton;
class TZelHotLabel;

namespace Ui {
class AboutBox;
}

// The About box: product, version, maker, the maker's address and a link to
// the home page. Made once, hidden, and shown modally over the main window
// after PlaceAboutBox; hiding keeps it for the next showing.
class TAboutBox : public QDialog {
    Q_OBJECT

public:
    // Results of a modal showing: OK, and the close box or Alt+F4.
    static constexpr int mrOk = 1;
    static constexpr int mrCancel = 2;

    // May raise EZelURLError when the layout holds a link the label rejects.
    explicit TAboutBox(QWidget* parent = nullptr);
    ~TAboutBox() override;

    QFrame* Panel1() const;
    QLabel* ProgramIcon() const;
    QLabel* ProductName() const;
    QLabel* Version() const;
    QLabel* Copyright() const;
    QLabel* Comments() const;
    QPushButton* OKButton() const;
    TZelHotLabel* Homepage() const;

    // The window the first showing centres on; without one, the parent's.
    void SetMainWindow(const QWidget* main);

    void setVisible(bool visible) override;

public slots:
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    const QWidget* CentreTarget() const;

    std::unique_ptr<Ui::AboutBox> ui_;
    QPointer<const QWidget> mainWindow_;
    bool centreOnFirstShowing_ = true;
};

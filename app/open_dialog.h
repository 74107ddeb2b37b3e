#pragma once

#include <memory>
#include <optional>

#include <QString>

class QWidget;

// The open-file dialog behind Browse. Tests replace it, since a real dialog
// would wait for a user.
class OpenFileDialog {
public:
    virtual ~OpenFileDialog() = default;
    // The full path the user confirmed, or nothing when cancelled.
    virtual std::optional<QString> Execute(QWidget* parent) = 0;
};

// Title "Open", one filter that shows every file, resizable; offers the file
// chosen last when it opens again.
std::unique_ptr<OpenFileDialog> MakeSystemOpenFileDialog();

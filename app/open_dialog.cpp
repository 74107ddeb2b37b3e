#include "app/open_dialog.h"

#include <QFileDialog>

#include "platform/ui/dialog_flags.h"

namespace {

class SystemOpenFileDialog final : public OpenFileDialog {
public:
    std::optional<QString> Execute(QWidget* parent) override
    {
        QFileDialog dialog(parent, QStringLiteral("Open"));
        dialog.setWindowFlags(platform::kDialogWindowFlags);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        // The description reads as users know it; the pattern that counts is
        // the last one, "*", which also shows names without a dot.
        dialog.setNameFilter(QStringLiteral("All files (*.*) (*)"));
        dialog.setOption(QFileDialog::HideNameFilterDetails);
        dialog.setSizeGripEnabled(true);
        if (!lastFile_.isEmpty())
            dialog.selectFile(lastFile_);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        lastFile_ = dialog.selectedFiles().constFirst();
        return lastFile_;
    }

private:
    QString lastFile_;
};

}  // namespace

std::unique_ptr<OpenFileDialog> MakeSystemOpenFileDialog()
{
    return std::make_unique<SystemOpenFileDialog>();
}

#pragma once

#include <Qt>

namespace platform {

// The window hints of every dialog: a title with the system menu and a close
// box, and neither minimise nor maximise. A minimised modal dialog would leave
// the window it blocks with nothing to show.
inline constexpr Qt::WindowFlags kDialogWindowFlags =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;

}  // namespace platform

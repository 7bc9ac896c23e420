#include "dialog/settings_launcher.h"

#include <memory>

#include "dialog/settings_dialog.h"
#include "dialog/settings_lock_win.h"
#include "store/vigil_app.h"

namespace pv {

void OpenSettingsDialog() {
    // With a settings password set, nothing opens until it has been given.
    if (!UnlockSettings()) return;
    auto dialog = std::make_unique<CSettingsDialog>();
    if (!dialog->BeginModal()) TheApp().ShowMessage("Cannot create dialog!");
    // Also after a failed BeginModal: it re-enables whatever BeginModal disabled.
    dialog->RunModal();
}

void FirstRunCheck() {
    // The flag and the registry value are set before the dialog opens, so title changes
    // reported while it is open do not open it again.
    if (TheApp().TakeFirstRun()) OpenSettingsDialog();
}

} // namespace pv

// Placeholder until the settings dialog lands.
#include "guard/settings_launcher.h"

namespace pv {

void OpenSettingsDialog(CVigil*) {}
void FirstRunCheck(CVigil*) {}

} // namespace pv

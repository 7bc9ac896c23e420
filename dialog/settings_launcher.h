// Opening the settings dialog: from the toolbar command and from the first title change. Both run
// inside the COM object's boundary, which answers for whatever they throw.
#pragma once

namespace pv {

// Runs the settings dialog modally; returns when it has closed.
// Shows "Cannot create dialog!" when the dialog window cannot be created. With a settings password
// set, it is asked for first, and a wrong one opens nothing.
void OpenSettingsDialog();

// The TitleChange branch: on the first call in the process while the first-run flag is 0, records
// the flag (memory and registry "first" = 1) and then opens the dialog.
void FirstRunCheck();

} // namespace pv

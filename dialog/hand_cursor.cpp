#include "dialog/hand_cursor.h"

#include "platform/module_instance_win.h"
#include "resources/resource.h"

namespace pv {

HCURSOR HandCursor() {
    // A cursor loaded from resources is shared and never destroyed, so one handle serves all.
    static const HCURSOR hand = ::LoadCursorA(ModuleInstance(), MAKEINTRESOURCEA(IDC_PV_HAND));
    return hand;
}

} // namespace pv

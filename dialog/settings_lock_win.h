// The settings password in the module: where its record lives and the prompt that guards the
// settings dialog. See guard/settings_password_win.h for the record itself.
#pragma once

#include <string>

namespace pv {

// Messages of the prompt.
inline constexpr const char* kWrongSettingsPassword =
    "The settings password is wrong. The settings stay closed.";
inline constexpr const char* kSettingsPasswordWait =
    "Too many wrong settings passwords. Try again in %u seconds.";

// The stored record ("settingsPassword" of the settings key), read afresh each time so that a
// password set in another browser process counts at once. Empty: no password. The machine's key
// (HKEY_LOCAL_MACHINE\SOFTWARE\Classes\Pathvigil.CVigil) decides when it holds a record, so that
// a user's own classes cannot hide it; HKEY_CLASSES_ROOT otherwise.
std::string SettingsPasswordRecord();
// Stores a record, in the machine's key when there is one; an empty record switches the password
// off. False when the write failed.
bool StoreSettingsPasswordRecord(const std::string& record);

// Whether the settings may open. With no password set: yes, at once. Otherwise the prompt asks for
// it; a wrong one is refused with a message (and counts towards the wait before the next attempt),
// Cancel refuses silently.
bool UnlockSettings();

// Whether an attempt at the settings password may be made now; shows the wait message if not.
bool SettingsPasswordAttemptAllowed();
// Checks a password against the record and records the outcome for the wait; shows the message
// for a wrong one.
bool CheckSettingsPassword(const std::string& record, const std::string& password);

} // namespace pv

// The small dialogs of the settings password: the prompt that comes before the settings dialog,
// and the one that sets, changes or switches off the password from the Basic page.
#pragma once

#include <windows.h>

#include <string>

#include "dialog/dialog_base.h"

namespace pv {

// Asks for the settings password. The text typed is taken when OK is pressed, before the window
// goes; TakePassword hands it over once (and forgets it).
class CPasswordPrompt : public CDialogBase {
public:
    static constexpr const char* kCaption = "Settings password";
    CPasswordPrompt();
    ~CPasswordPrompt() override;
    std::string TakePassword();

protected:
    void OnOK() override;

private:
    std::string m_password;
};

// Sets, changes or switches off the settings password. With a password set, the current one must
// be given first (wrong answers count towards the same wait as the prompt's). An empty new
// password switches the protection off. The new record is stored when OK succeeds; on a refusal
// the dialog stays open with a message.
class CSettingsPasswordDialog : public CDialogBase {
public:
    static constexpr const char* kCaption = "Change the settings password";
    static constexpr const char* kMismatch = "The new password and its confirmation differ.";
    static constexpr const char* kNotStored = "The settings password could not be stored.";
    CSettingsPasswordDialog();
    ~CSettingsPasswordDialog() override;

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;

private:
    std::string m_record; // the record when the dialog opened; empty: no password set
};

} // namespace pv

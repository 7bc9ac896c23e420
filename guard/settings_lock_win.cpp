#include "guard/settings_lock_win.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "dialog/password_prompt.h"
#include "guard/password_throttle.h"
#include "guard/settings_password_win.h"
#include "store/vigil_app.h"

namespace pv {

namespace {

PasswordThrottle& Throttle() {
    static PasswordThrottle throttle;
    return throttle;
}

void Wipe(std::string& text) {
    SecureZeroMemory(text.data(), text.size());
    text.clear();
}

} // namespace

std::string SettingsPasswordRecord() {
    std::vector<char> buffer(1024, '\0');
    uint32_t size = static_cast<uint32_t>(buffer.size());
    if (!TheApp().platform().RegGetValue(CVigilApp::kSettingsKey, settings_password::kRecordValue,
                                         buffer.data(), &size)) {
        return {};
    }
    if (size > buffer.size()) size = static_cast<uint32_t>(buffer.size());
    std::string record(buffer.data(), size);
    return record.substr(0, record.find('\0'));
}

bool StoreSettingsPasswordRecord(const std::string& record) {
    return TheApp().platform().RegSetValue(CVigilApp::kSettingsKey, settings_password::kRecordValue, kRegSz,
                                           record.data(), static_cast<uint32_t>(record.size()));
}

bool SettingsPasswordAttemptAllowed() {
    const auto wait = Throttle().Wait(PasswordThrottle::Clock::now());
    if (wait.count() == 0) return true;
    char text[128];
    std::snprintf(text, sizeof text, kSettingsPasswordWait, static_cast<unsigned>(wait.count()));
    TheApp().ShowMessage(text);
    return false;
}

bool CheckSettingsPassword(const std::string& record, const std::string& password) {
    if (settings_password::Matches(record, password)) {
        Throttle().Succeeded();
        return true;
    }
    Throttle().Failed(PasswordThrottle::Clock::now());
    TheApp().ShowMessage(kWrongSettingsPassword);
    return false;
}

bool UnlockSettings() {
    const std::string record = SettingsPasswordRecord();
    if (record.empty()) return true;
    if (!SettingsPasswordAttemptAllowed()) return false;

    CPasswordPrompt prompt;
    if (!prompt.BeginModal()) {
        TheApp().ShowMessage("Cannot create dialog!");
        prompt.RunModal();
        return false;
    }
    if (prompt.RunModal() != IDOK) return false;
    std::string password = prompt.TakePassword();
    const bool ok = CheckSettingsPassword(record, password);
    Wipe(password);
    return ok;
}

} // namespace pv

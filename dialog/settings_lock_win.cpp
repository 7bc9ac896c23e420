#include "dialog/settings_lock_win.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "dialog/password_prompt.h"
#include "guard/password_throttle.h"
#include "guard/settings_password_win.h"
#include "platform/handles_win.h"
#include "store/vigil_app.h"

namespace pv {

namespace {

// The machine's own settings key, in this process's registry view (a 32-bit module reads the 32-bit
// view, where the 32-bit package wrote). HKEY_CLASSES_ROOT lays every user's own classes over it,
// and any user may write those: a record there must not be able to replace or remove the machine's.
constexpr const char* kMachineSettingsKey = "SOFTWARE\\Classes\\Pathvigil.CVigil";

bool OpenMachineKey(REGSAM access, RegKey& key) {
    return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMachineSettingsKey, 0, access, key.Put()) == ERROR_SUCCESS;
}

// The text before the first NUL of a value read into a buffer.
std::string TextOf(const std::vector<char>& buffer, std::size_t size) {
    if (size > buffer.size()) size = buffer.size();
    std::string text(buffer.data(), size);
    return text.substr(0, text.find('\0'));
}

PasswordThrottle& Throttle() {
    static PasswordThrottle throttle;
    return throttle;
}

} // namespace

std::string SettingsPasswordRecord() {
    std::vector<char> buffer(1024, '\0');
    RegKey machine;
    if (OpenMachineKey(KEY_QUERY_VALUE, machine)) {
        DWORD size = static_cast<DWORD>(buffer.size());
        if (::RegQueryValueExA(machine.Get(), settings_password::kRecordValue, nullptr, nullptr,
                               reinterpret_cast<BYTE*>(buffer.data()), &size) == ERROR_SUCCESS) {
            return TextOf(buffer, size);
        }
    }
    // Registered for one user only (no machine key, or no record in it): the classes the module
    // reads its other settings from.
    uint32_t size = static_cast<uint32_t>(buffer.size());
    if (!TheApp().GetPlatform().ReadRegistryValue(CVigilApp::kSettingsKey, settings_password::kRecordValue,
                                                  buffer.data(), &size)) {
        return {};
    }
    return TextOf(buffer, size);
}

bool StoreSettingsPasswordRecord(const std::string& record) {
    RegKey machine;
    if (OpenMachineKey(KEY_SET_VALUE, machine)) {
        return ::RegSetValueExA(machine.Get(), settings_password::kRecordValue, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(record.c_str()),
                                static_cast<DWORD>(record.size() + 1)) == ERROR_SUCCESS;
    }
    return TheApp().GetPlatform().WriteRegistryValue(CVigilApp::kSettingsKey, settings_password::kRecordValue,
                                                     kRegSz, record.data(),
                                                     static_cast<uint32_t>(record.size()));
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
    settings_password::Wipe(password);
    return ok;
}

} // namespace pv

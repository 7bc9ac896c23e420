// The settings password: an administrator's password that the toolbar button and the first run ask
// for before they open the settings dialog. Off while no record is stored.
//
// The record is a salted PBKDF2-HMAC-SHA256 hash from the system's own cryptography (bcrypt.dll),
// kept as the REG_SZ value kRecordValue of the module's settings key, in the form
//   pbkdf2-sha256$<iterations>$<salt, hex>$<derived key, hex>
// The password itself is never stored. The installer's custom action (installer/) makes records
// with the same code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pv::settings_password {

inline constexpr const char* kRecordValue = "settingsPassword";
inline constexpr uint32_t kIterations = 600000;
inline constexpr std::size_t kSaltBytes = 16;
inline constexpr std::size_t kKeyBytes = 32;

// A new record for password with a fresh random salt; nullopt when the system cannot hash (the
// caller then must not switch protection on or off).
std::optional<std::string> MakeRecord(std::string_view password, uint32_t iterations = kIterations);

// Whether password is the one the record was made from. A record that does not parse matches no
// password, so a damaged value keeps the settings closed rather than open.
bool Matches(std::string_view record, std::string_view password);

// Overwrites a string that held a password before it is freed or reused, and empties it.
void Wipe(std::string& text);

} // namespace pv::settings_password

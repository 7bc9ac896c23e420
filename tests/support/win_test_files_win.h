// File and path helpers shared by the Windows tests.
#pragma once

#include <optional>
#include <string>

namespace pv::wintest {

// A path as a Windows program under Wine sees it: Unix paths (from the test environment) become
// Z: paths; anything else is returned as it is.
std::string WindowsPath(const std::string& path);

// The whole content of a file; nullopt when it cannot be opened.
std::optional<std::string> ReadWholeFile(const std::string& path);
// Replaces a file's content; false when it cannot be written.
bool WriteWholeFile(const std::string& path, const std::string& content);

} // namespace pv::wintest

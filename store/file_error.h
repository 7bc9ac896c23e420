// The error a failed pv.dat write (or read) raises: which file, and why, in the words the
// settings dialog shows to the user.
#pragma once

#include <exception>
#include <string>

#include "platform/platform.h"

namespace pv {

class FileException : public std::exception {
public:
    FileException(FileStatus cause, std::string path);

    FileStatus Cause() const noexcept { return m_cause; }
    const std::string& Path() const noexcept { return m_path; }
    // The standard text for the cause with the full path in place of %1,
    // e.g. "C:\WINDOWS\system32\pv.dat was not found."
    const std::string& Message() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    // The text with its %1 placeholder still in it.
    static const char* Template(FileStatus cause) noexcept;

    FileStatus m_cause;
    std::string m_path;
    std::string m_message;
};

} // namespace pv

#include "store/file_error.h"

namespace pv {

namespace {

struct CauseText {
    FileStatus cause;
    const char* text;
};

// The user sees these texts verbatim; "%1" stands for the file's full path.
constexpr CauseText kTexts[] = {
    {FileStatus::NotFound, "%1 was not found."},
    {FileStatus::DiskFull, "Disk full while accessing %1."},
    {FileStatus::AccessDenied, "Access to %1 was denied."},
    {FileStatus::SharingViolation, "A sharing violation occurred while accessing %1."},
    {FileStatus::Generic, "A generic error occurred while accessing %1."},
};

constexpr const char* kFallbackText = "A generic error occurred while accessing %1.";

std::string Expand(const char* text, const std::string& path) {
    std::string out;
    std::string_view t(text);
    out.reserve(t.size() + path.size());
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '%' && i + 1 < t.size() && t[i + 1] == '1') {
            out += path;
            ++i;
        } else {
            out += t[i];
        }
    }
    return out;
}

} // namespace

const char* FileException::Template(FileStatus cause) noexcept {
    for (const CauseText& entry : kTexts) {
        if (entry.cause == cause) return entry.text;
    }
    // Ok never travels in an exception; should it ever, it must still read as a failure.
    return kFallbackText;
}

FileException::FileException(FileStatus cause, std::string path)
    : m_cause(cause), m_path(std::move(path)), m_message(Expand(Template(cause), m_path)) {}

} // namespace pv

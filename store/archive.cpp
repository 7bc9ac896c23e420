#include "store/archive.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "store/file_error.h"

namespace pv {

namespace {

const char* ArchiveText(ArchiveException::Cause cause) {
    switch (cause) {
    case ArchiveException::Cause::EndOfFile:
        return "An attempt was made to access %1 past its end.";
    case ArchiveException::Cause::BadLength:
        break;
    }
    return "%1 contains an invalid length.";
}

std::string ExpandPath(std::string_view text, const std::string& path) {
    std::string out;
    std::size_t at = text.find("%1");
    if (at == std::string_view::npos) return std::string(text);
    out.reserve(text.size() + path.size());
    out.append(text.substr(0, at)).append(path).append(text.substr(at + 2));
    return out;
}

uint16_t LoadLE16(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t LoadLE32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

void StoreLE16(char* p, uint16_t v) {
    p[0] = static_cast<char>(v & 0xFF);
    p[1] = static_cast<char>(v >> 8);
}

void StoreLE32(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

} // namespace

ArchiveException::ArchiveException(Cause cause, std::string path)
    : m_cause(cause), m_path(std::move(path)), m_message(ExpandPath(ArchiveText(cause), m_path)) {}

Archive::Archive(File* file, Mode mode, std::string path, Platform* platform)
    : m_file(file), m_mode(mode), m_path(std::move(path)), m_platform(platform) {
    if (m_mode == Mode::Store) {
        m_buffer.resize(kBufferSize);
        return;
    }
    m_image = std::make_shared<detail::PodBuffer<char>>();
    if (!m_file) return;
    m_fileSize = m_file->Size();
    try {
        // The whole file will be read into one block: reserved once, it is never copied.
        m_image->reserve(static_cast<std::size_t>(
            std::min<uint64_t>(m_fileSize, std::numeric_limits<std::size_t>::max())));
    } catch (const std::bad_alloc&) {
        // Only a hint: the image then grows as it is read.
    }
}

Archive::~Archive() = default;

void Archive::Close() {
    if (m_closed) return;
    if (m_mode == Mode::Store) {
        Flush();
        // Even with nothing left to flush, a file that never opened must not pass for saved.
        if (!m_file) throw FileException(FileStatus::NotFound, m_path);
    }
    m_closed = true;
}

// ---------------------------------------------------------------------------------------------
// Reading

std::size_t Archive::ReadFile(char* dst, std::size_t size) {
    if (!m_file) return 0;
    std::size_t got = 0;
    FileStatus status = m_file->Read(dst, size, &got);
    if (status != FileStatus::Ok) throw FileException(status, m_path);
    return std::min(got, size);
}

void Archive::Require(uint64_t bytes, ArchiveException::Cause cause) {
    if (bytes > Remaining()) throw ArchiveException(cause, m_path);
}

void Archive::Fill(std::size_t size) {
    while (Buffered() < size) {
        // A block at a time, so that records are parsed while their bytes are still in the cache.
        const uint64_t announced = m_fileSize > m_end ? m_fileSize - m_end : 0;
        const std::size_t block = std::max(
            size - Buffered(), static_cast<std::size_t>(std::min<uint64_t>(announced, kLoadBufferSize)));
        char* at = m_image->Extend(block);
        std::size_t got = 0;
        try {
            got = ReadFile(at, block);
        } catch (...) {
            m_image->Truncate(m_end);
            throw;
        }
        m_image->Truncate(m_end + got);
        if (got == 0) throw ArchiveException(ArchiveException::Cause::EndOfFile, m_path);
        m_end += got;
    }
}

void Archive::Read(void* data, std::size_t size) {
    Require(size, ArchiveException::Cause::EndOfFile);
    Fill(size);
    if (size) std::memcpy(data, m_image->data() + m_pos, size);
    m_pos += size;
    m_consumed += size;
}

uint8_t Archive::ReadUInt8() {
    Require(1, ArchiveException::Cause::EndOfFile);
    Fill(1);
    m_consumed += 1;
    return static_cast<uint8_t>(m_image->data()[m_pos++]);
}

uint16_t Archive::ReadUInt16() {
    Require(2, ArchiveException::Cause::EndOfFile);
    Fill(2);
    uint16_t v = LoadLE16(m_image->data() + m_pos);
    m_pos += 2;
    m_consumed += 2;
    return v;
}

uint32_t Archive::ReadUInt32() {
    Require(4, ArchiveException::Cause::EndOfFile);
    Fill(4);
    uint32_t v = LoadLE32(m_image->data() + m_pos);
    m_pos += 4;
    m_consumed += 4;
    return v;
}

uint64_t Archive::ReadUInt64() {
    uint64_t low = ReadUInt32();
    uint64_t high = ReadUInt32();
    return low | (high << 32);
}

Archive::StringHeader Archive::ReadStringHeader() {
    StringHeader h;
    uint8_t b = ReadUInt8();
    if (b < 0xFF) {
        h.length = b;
        return h;
    }
    uint16_t w = ReadUInt16();
    if (w == 0xFFFE) {
        // Wide-character string: the real length prefix follows, starting again with one byte.
        h.wide = true;
        b = ReadUInt8();
        if (b < 0xFF) {
            h.length = b;
            return h;
        }
        w = ReadUInt16();
    }
    if (w < 0xFFFF) {
        h.length = w;
        return h;
    }
    uint32_t d = ReadUInt32();
    if (d < 0xFFFFFFFFu) {
        h.length = d;
        return h;
    }
    uint64_t q = ReadUInt64();
    if (q > 0x7FFFFFFFu) throw ArchiveException(ArchiveException::Cause::BadLength, m_path);
    h.length = q;
    return h;
}

uint64_t Archive::CheckedByteLength(const StringHeader& h) {
    // At most 2 * 0xFFFFFFFE, so no overflow.
    uint64_t bytes = h.wide ? h.length * 2 : h.length;
    // Checked against what the file really holds before anything is allocated for it.
    if (bytes > Remaining() || bytes > std::numeric_limits<std::size_t>::max() / 2) {
        throw ArchiveException(ArchiveException::Cause::BadLength, m_path);
    }
    return bytes;
}

std::string_view Archive::ConvertWide(const char* bytes, std::size_t chars, std::string& scratch) {
    std::u16string wide(chars, u'\0');
    for (std::size_t i = 0; i < chars; ++i) wide[i] = static_cast<char16_t>(LoadLE16(bytes + 2 * i));

    if (m_platform) {
        if (std::optional<std::string> ansi = m_platform->WideToAnsi(wide)) {
            scratch = std::move(*ansi);
            return scratch;
        }
    }
    // The whole string did not convert: keep the entry and mark only the characters the code page
    // cannot hold, as the system's own default character would.
    scratch.clear();
    scratch.reserve(chars);
    for (std::size_t i = 0; i < chars; ++i) {
        std::size_t units = 1;
        if (IsHighSurrogate(wide[i]) && i + 1 < chars && IsLowSurrogate(wide[i + 1])) units = 2;
        std::u16string_view one(wide.data() + i, units);
        std::optional<std::string> ansi;
        if (m_platform && !(units == 1 && (IsHighSurrogate(one[0]) || IsLowSurrogate(one[0])))) {
            ansi = m_platform->WideToAnsi(one);
        } else if (!m_platform && units == 1 && one[0] < 0x80) {
            ansi = std::string(1, static_cast<char>(one[0]));
        }
        if (ansi) {
            scratch += *ansi;
        } else {
            scratch += '?';
        }
        i += units - 1;
    }
    return scratch;
}

std::string_view Archive::ReadString(std::string& scratch) {
    StringHeader h = ReadStringHeader();
    const std::size_t bytes = static_cast<std::size_t>(CheckedByteLength(h));
    Fill(bytes);
    const char* src = m_image->data() + m_pos;
    m_pos += bytes;
    m_consumed += bytes;
    if (!h.wide) return std::string_view(src, bytes);
    return ConvertWide(src, bytes / 2, scratch);
}

std::string Archive::ReadString() {
    std::string scratch;
    std::string_view v = ReadString(scratch);
    if (v.data() == scratch.data()) return scratch;
    return std::string(v);
}

void Archive::SkipString() {
    StringHeader h = ReadStringHeader();
    const std::size_t bytes = static_cast<std::size_t>(CheckedByteLength(h));
    Fill(bytes);
    m_pos += bytes;
    m_consumed += bytes;
}

// ---------------------------------------------------------------------------------------------
// Writing

void Archive::WriteFile(const char* data, std::size_t size) {
    // Writing to a file that could neither be opened nor created fails as an invalid handle.
    if (!m_file) throw FileException(FileStatus::NotFound, m_path);
    FileStatus status = m_file->Write(data, size);
    if (status != FileStatus::Ok) throw FileException(status, m_path);
}

void Archive::Flush() {
    if (m_mode != Mode::Store || m_pos == 0) return;
    std::size_t n = m_pos;
    m_pos = 0;
    WriteFile(m_buffer.data(), n);
}

void Archive::Write(const void* data, std::size_t size) {
    if (m_mode != Mode::Store) throw std::logic_error("write on a loading archive");
    const char* src = static_cast<const char*>(data);
    std::size_t space = kBufferSize - m_pos;
    if (size <= space) {
        if (size) std::memcpy(m_buffer.data() + m_pos, src, size);
        m_pos += size;
        return;
    }
    std::memcpy(m_buffer.data() + m_pos, src, space);
    m_pos += space;
    src += space;
    size -= space;
    Flush();
    if (size >= kBufferSize) {
        WriteFile(src, size);
        return;
    }
    std::memcpy(m_buffer.data(), src, size);
    m_pos = size;
}

void Archive::WriteUInt16(uint16_t v) {
    char b[2];
    StoreLE16(b, v);
    Write(b, 2);
}

void Archive::WriteUInt32(uint32_t v) {
    char b[4];
    StoreLE32(b, v);
    Write(b, 4);
}

void Archive::WriteString(std::string_view s) {
    const std::size_t n = s.size();
    char prefix[7];
    std::size_t len = 0;
    if (n < 0xFF) {
        prefix[len++] = static_cast<char>(n);
    } else if (n < 0xFFFE) {
        prefix[len++] = static_cast<char>(0xFF);
        StoreLE16(prefix + len, static_cast<uint16_t>(n));
        len += 2;
    } else {
        // Lengths from 0xFFFFFFFF on would need the 64-bit form, which readers reject beyond
        // 31 bits anyway; such an entry cannot be saved faithfully, so the save fails instead.
        if (static_cast<uint64_t>(n) >= 0xFFFFFFFFu) throw FileException(FileStatus::Generic, m_path);
        prefix[len++] = static_cast<char>(0xFF);
        StoreLE16(prefix + len, 0xFFFF);
        len += 2;
        StoreLE32(prefix + len, static_cast<uint32_t>(n));
        len += 4;
    }
    Write(prefix, len);
    Write(s.data(), n);
}

} // namespace pv

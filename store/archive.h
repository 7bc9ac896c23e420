// A small buffered binary archive over a platform File: little-endian integers and
// length-prefixed strings in the layout pv.dat uses.
//
// Reading never trusts the file: every declared length is checked against the bytes that are
// actually left before anything is allocated, so a damaged file costs at most its own size.
// A reading archive keeps every byte it read, at its offset in the file (the image): lists
// loaded from the file point into it instead of copying their entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "store/pod_buffer.h"

namespace pv {

// Malformed input: the content ends early or declares a length it cannot hold.
class ArchiveException : public std::exception {
public:
    enum class Cause { EndOfFile, BadLength };
    ArchiveException(Cause cause, std::string path);
    Cause GetCause() const noexcept { return m_cause; }
    const std::string& Path() const noexcept { return m_path; }
    const std::string& Message() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    Cause m_cause;
    std::string m_path;
    std::string m_message;
};

class Archive {
public:
    enum class Mode { Load, Store };
    // Writes go out in blocks of this size. Reading asks for larger blocks: a file of a million
    // entries is otherwise mostly system calls, and a block this size is still in the cache
    // when its records are parsed.
    static constexpr std::size_t kBufferSize = 4096;
    static constexpr std::size_t kLoadBufferSize = 64 * 1024;

    // `file` may be null when storing: the writes then collect in the buffer and the first flush
    // fails as NotFound (the handle never existed). `path` names the file in every error.
    // `platform` converts wide strings read from the file; without it only ASCII survives.
    Archive(File* file, Mode mode, std::string path, Platform* platform = nullptr);
    ~Archive(); // never flushes: an archive not closed is abandoned
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    bool IsLoading() const noexcept { return m_mode == Mode::Load; }
    bool IsStoring() const noexcept { return m_mode == Mode::Store; }
    const std::string& Path() const noexcept { return m_path; }

    // Storing: writes out whatever is buffered. Loading: nothing to do. Throws FileException.
    void Close();

    // ---- reading: throw ArchiveException on malformed input, FileException on read errors ----
    void Read(void* data, std::size_t size);
    uint8_t ReadUInt8();
    uint16_t ReadUInt16();
    uint32_t ReadUInt32();
    uint64_t ReadUInt64();
    int32_t ReadInt32() { return static_cast<int32_t>(ReadUInt32()); }

    struct StringHeader {
        uint64_t length = 0; // characters
        bool wide = false;   // 2-byte characters
    };
    // The length prefix in all its forms; the length is not yet checked against the content.
    StringHeader ReadStringHeader();
    // Reads one string. The view stays valid until the next call on this archive or until
    // `scratch` changes; it points into the image unless the string was converted.
    std::string_view ReadString(std::string& scratch);
    std::string ReadString();
    // Consumes one string without keeping it.
    void SkipString();
    // Bytes of the file not yet consumed.
    uint64_t Remaining() const noexcept { return m_fileSize - m_consumed; }
    // Loading: the offset in the file (and in the image) of the next byte to consume.
    uint64_t Position() const noexcept { return m_consumed; }
    // Loading: every byte read so far, at its offset in the file; it grows as reading goes on
    // (its block may move) and otherwise never changes. Null when storing.
    std::shared_ptr<const detail::PodBuffer<char>> Image() const noexcept { return m_image; }

    // For parsing many small records without a call per field: the bytes read but not yet
    // consumed (possibly none), and how many of them were used. Skip(n) requires
    // n <= Peek().size().
    std::string_view Peek() const noexcept {
        if (m_mode != Mode::Load) return {};
        return std::string_view(m_image->data() + m_pos, m_end - m_pos);
    }
    void Skip(std::size_t n) noexcept {
        m_pos += n;
        m_consumed += n;
    }

    // ---- writing: throw FileException when a flush fails ----
    void Write(const void* data, std::size_t size);
    void WriteUInt8(uint8_t v) { Write(&v, 1); }
    void WriteUInt16(uint16_t v);
    void WriteUInt32(uint32_t v);
    void WriteInt32(int32_t v) { WriteUInt32(static_cast<uint32_t>(v)); }
    // Always the one-byte-character form with the shortest prefix that holds the length.
    void WriteString(std::string_view s);
    void Flush();

private:
    std::size_t Buffered() const noexcept { return m_end - m_pos; }
    // Makes at least `size` bytes available in the image (the caller has checked that the file
    // holds them).
    void Fill(std::size_t size);
    // Fails unless `bytes` more bytes are left in the file.
    void Require(uint64_t bytes, ArchiveException::Cause cause);
    std::size_t ReadFile(char* dst, std::size_t size);
    void WriteFile(const char* data, std::size_t size);
    uint64_t CheckedByteLength(const StringHeader& h);
    std::string_view ConvertWide(const char* bytes, std::size_t chars, std::string& scratch);

    File* m_file;
    Mode m_mode;
    std::string m_path;
    Platform* m_platform;
    std::vector<char> m_buffer;                       // storing: bytes not yet written
    std::shared_ptr<detail::PodBuffer<char>> m_image; // loading: what was read
    std::size_t m_pos = 0;   // next byte to read (in the image) or to write (in the buffer)
    std::size_t m_end = 0;   // loading: bytes in the image
    uint64_t m_fileSize = 0; // loading: file size when attached
    uint64_t m_consumed = 0; // loading: bytes handed out so far
    bool m_closed = false;
};

} // namespace pv

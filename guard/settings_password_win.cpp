#include "guard/settings_password_win.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

namespace pv::settings_password {

namespace {

constexpr std::string_view kScheme = "pbkdf2-sha256";
// Bounds on what a stored record may ask for: a planted record must not make a check run for hours.
constexpr uint32_t kMaxIterations = 10'000'000;

class AlgorithmHandle {
public:
    AlgorithmHandle() {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&m_handle, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                        BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
            m_handle = nullptr;
        }
    }
    ~AlgorithmHandle() {
        if (m_handle) BCryptCloseAlgorithmProvider(m_handle, 0);
    }
    AlgorithmHandle(const AlgorithmHandle&) = delete;
    AlgorithmHandle& operator=(const AlgorithmHandle&) = delete;
    BCRYPT_ALG_HANDLE Get() const { return m_handle; }

private:
    BCRYPT_ALG_HANDLE m_handle = nullptr;
};

std::optional<std::vector<unsigned char>> Derive(std::string_view password,
                                                 const std::vector<unsigned char>& salt, uint32_t iterations,
                                                 std::size_t length) {
    AlgorithmHandle algorithm;
    if (!algorithm.Get()) return std::nullopt;
    std::vector<unsigned char> key(length);
    // bcrypt takes a non-const pointer but does not write the password or the salt.
    auto* pw = reinterpret_cast<PUCHAR>(const_cast<char*>(password.data()));
    auto* s = const_cast<PUCHAR>(salt.data());
    NTSTATUS status = BCryptDeriveKeyPBKDF2(
        algorithm.Get(), password.empty() ? nullptr : pw, static_cast<ULONG>(password.size()), s,
        static_cast<ULONG>(salt.size()), iterations, key.data(), static_cast<ULONG>(key.size()), 0);
    if (!BCRYPT_SUCCESS(status)) return std::nullopt;
    return key;
}

std::string Hex(const std::vector<unsigned char>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 15]);
    }
    return text;
}

std::optional<std::vector<unsigned char>> FromHex(std::string_view text) {
    if (text.empty() || text.size() % 2 != 0) return std::nullopt;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = digit(text[i]), lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes.push_back(static_cast<unsigned char>(hi * 16 + lo));
    }
    return bytes;
}

// Splits at '$'; exactly four fields.
std::optional<std::vector<std::string_view>> Fields(std::string_view record) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = record.find('$', start);
        fields.push_back(record.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    if (fields.size() != 4) return std::nullopt;
    return fields;
}

std::optional<uint32_t> ParseIterations(std::string_view text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    uint32_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<uint32_t>(c - '0');
    }
    if (n == 0 || n > kMaxIterations) return std::nullopt;
    return n;
}

} // namespace

std::optional<std::string> MakeRecord(std::string_view password, uint32_t iterations) {
    if (iterations == 0 || iterations > kMaxIterations) return std::nullopt;
    std::vector<unsigned char> salt(kSaltBytes);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, salt.data(), static_cast<ULONG>(salt.size()),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        return std::nullopt;
    }
    std::optional<std::vector<unsigned char>> key = Derive(password, salt, iterations, kKeyBytes);
    if (!key) return std::nullopt;
    return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + Hex(salt) + "$" + Hex(*key);
}

bool Matches(std::string_view record, std::string_view password) {
    std::optional<std::vector<std::string_view>> fields = Fields(record);
    if (!fields || (*fields)[0] != kScheme) return false;
    std::optional<uint32_t> iterations = ParseIterations((*fields)[1]);
    std::optional<std::vector<unsigned char>> salt = FromHex((*fields)[2]);
    std::optional<std::vector<unsigned char>> expected = FromHex((*fields)[3]);
    if (!iterations || !salt || !expected || expected->size() > 64) return false;
    std::optional<std::vector<unsigned char>> key = Derive(password, *salt, *iterations, expected->size());
    if (!key) return false;
    // Every byte is compared, so the time taken says nothing about where a guess went wrong.
    unsigned char difference = 0;
    for (std::size_t i = 0; i < key->size(); ++i)
        difference |= static_cast<unsigned char>((*key)[i] ^ (*expected)[i]);
    return difference == 0;
}

void Wipe(std::string& text) {
    SecureZeroMemory(text.data(), text.size());
    text.clear();
}

} // namespace pv::settings_password

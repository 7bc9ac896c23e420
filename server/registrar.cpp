#include "server/registrar.h"

#include <utility>

namespace pv::registrar {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

bool IsSpace(char c) {
    // NUL counts as space so that a resource padded with zeros still parses.
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v' || c == '\0';
}

// Nested key blocks deeper than this are refused rather than recursed into.
constexpr int kMaxDepth = 64;
// The registry's own limit on a key name's length.
constexpr std::size_t kMaxKeyName = 255;

struct Token {
    enum class Kind { Word, Quoted, End };
    Kind kind = Kind::End;
    std::string raw;  // as written (quotes removed, '' folded), before replacement
    std::string text; // after replacement
    std::size_t line = 0;
};

class Parser {
public:
    Parser(std::string_view text, const Replacements& replacements)
        : m_text(text), m_replacements(replacements) {}

    std::optional<Script> Run(ParseError* error) {
        Script script;
        bool ok = ParseScript(script);
        if (!ok) {
            if (error) *error = m_error;
            return std::nullopt;
        }
        return script;
    }

private:
    // --- tokens ---

    bool Fail(std::size_t line, std::string message) {
        if (m_error.message.empty()) {
            m_error.line = line;
            m_error.message = std::move(message);
        }
        return false;
    }

    bool Expand(const std::string& raw, std::size_t line, std::string& out) {
        out.clear();
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '%') {
                out.push_back(raw[i]);
                continue;
            }
            std::size_t close = raw.find('%', i + 1);
            if (close == std::string::npos) return Fail(line, "unterminated %replacement%");
            if (close == i + 1) {
                out.push_back('%');
            } else {
                std::string name = raw.substr(i + 1, close - i - 1);
                auto it = m_replacements.find(name);
                if (it == m_replacements.end()) return Fail(line, "unknown replacement %" + name + "%");
                out += it->second;
            }
            i = close;
        }
        return true;
    }

    // Reads the next token into m_tok.
    bool Advance() {
        while (m_pos < m_text.size() && IsSpace(m_text[m_pos])) {
            if (m_text[m_pos] == '\n') ++m_line;
            ++m_pos;
        }
        m_tok = Token{};
        m_tok.line = m_line;
        if (m_pos >= m_text.size()) {
            m_tok.kind = Token::Kind::End;
            return true;
        }
        if (m_text[m_pos] == '\'') {
            m_tok.kind = Token::Kind::Quoted;
            ++m_pos;
            for (;;) {
                if (m_pos >= m_text.size()) return Fail(m_tok.line, "unterminated quoted string");
                char c = m_text[m_pos];
                if (c == '\'') {
                    if (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '\'') {
                        m_tok.raw.push_back('\'');
                        m_pos += 2;
                        continue;
                    }
                    ++m_pos;
                    break;
                }
                if (c == '\n') ++m_line;
                m_tok.raw.push_back(c);
                ++m_pos;
            }
            if (m_pos < m_text.size() && !IsSpace(m_text[m_pos])) {
                return Fail(m_line, "a quoted string must be followed by white space");
            }
        } else {
            m_tok.kind = Token::Kind::Word;
            while (m_pos < m_text.size() && !IsSpace(m_text[m_pos])) m_tok.raw.push_back(m_text[m_pos++]);
        }
        return Expand(m_tok.raw, m_tok.line, m_tok.text);
    }

    bool IsWord(std::string_view word) const {
        return m_tok.kind == Token::Kind::Word && EqualsNoCase(m_tok.raw, word);
    }
    bool IsSymbol(char c) const {
        return m_tok.kind == Token::Kind::Word && m_tok.raw.size() == 1 && m_tok.raw[0] == c;
    }
    bool IsStructural() const { return IsSymbol('{') || IsSymbol('}') || IsSymbol('='); }

    std::string Describe() const {
        if (m_tok.kind == Token::Kind::End) return "end of script";
        return "'" + m_tok.raw + "'";
    }

    // --- grammar ---

    bool ParseScript(Script& script) {
        if (!Advance()) return false;
        while (m_tok.kind != Token::Kind::End) {
            RootBlock block;
            if (!ParseRoot(block.root)) return false;
            if (!Advance()) return false;
            if (!IsSymbol('{')) return Fail(m_tok.line, "expected { after the root key, found " + Describe());
            if (!Advance()) return false;
            if (!ParseKeyList(block.keys, 1)) return false;
            script.roots.push_back(std::move(block));
        }
        return true;
    }

    bool ParseRoot(Root& root) {
        struct Name {
            const char* text;
            Root root;
        };
        static constexpr Name kNames[] = {
            {"HKCR", Root::ClassesRoot},  {"HKEY_CLASSES_ROOT", Root::ClassesRoot},
            {"HKCU", Root::CurrentUser},  {"HKEY_CURRENT_USER", Root::CurrentUser},
            {"HKLM", Root::LocalMachine}, {"HKEY_LOCAL_MACHINE", Root::LocalMachine},
            {"HKU", Root::Users},         {"HKEY_USERS", Root::Users},
        };
        if (m_tok.kind == Token::Kind::Word) {
            for (const Name& n : kNames) {
                if (EqualsNoCase(m_tok.raw, n.text)) {
                    root = n.root;
                    return true;
                }
            }
        }
        return Fail(m_tok.line, "expected a root key, found " + Describe());
    }

    // Keys up to and including the closing brace of the enclosing block. Values (val) are
    // allowed only inside a key's block, not directly below a root.
    bool ParseKeyList(std::vector<Key>& keys, int depth, Key* owner = nullptr) {
        if (depth > kMaxDepth) return Fail(m_tok.line, "keys nested too deeply");
        for (;;) {
            if (m_tok.kind == Token::Kind::End) return Fail(m_tok.line, "missing }");
            if (IsSymbol('}')) return Advance();
            if (IsWord("val")) {
                if (!owner) return Fail(m_tok.line, "a value needs a key");
                Value value;
                if (!ParseNamedValue(value)) return false;
                owner->values.push_back(std::move(value));
                continue;
            }
            Key key;
            if (!ParseKey(key, depth)) return false;
            keys.push_back(std::move(key));
        }
    }

    bool ParseKey(Key& key, int depth) {
        for (;;) {
            if (IsWord("NoRemove")) {
                key.noRemove = true;
            } else if (IsWord("ForceRemove")) {
                key.forceRemove = true;
            } else if (IsWord("Delete")) {
                key.deleteKey = true;
            } else {
                break;
            }
            if (!Advance()) return false;
        }
        if (m_tok.kind == Token::Kind::End || IsStructural()) {
            return Fail(m_tok.line, "expected a key name, found " + Describe());
        }
        if (m_tok.text.empty()) return Fail(m_tok.line, "empty key name");
        if (m_tok.text.size() > kMaxKeyName) return Fail(m_tok.line, "key name too long");
        // One name is one key: a path would let a key escape the walk that unregisters it.
        if (m_tok.text.find('\\') != std::string::npos) {
            return Fail(m_tok.line, "a key name may not contain a backslash");
        }
        key.name = m_tok.text;
        if (!Advance()) return false;
        if (IsSymbol('=')) {
            if (!Advance()) return false;
            Value value;
            if (!ParseValueData(value)) return false;
            key.defaultValue = std::move(value);
        }
        if (IsSymbol('{')) {
            if (!Advance()) return false;
            if (!ParseKeyList(key.subkeys, depth + 1, &key)) return false;
        }
        return true;
    }

    bool ParseNamedValue(Value& value) {
        if (!Advance()) return false; // past "val"
        if (m_tok.kind == Token::Kind::End || IsStructural()) {
            return Fail(m_tok.line, "expected a value name, found " + Describe());
        }
        if (m_tok.text.empty()) return Fail(m_tok.line, "empty value name");
        value.name = m_tok.text;
        if (!Advance()) return false;
        if (!IsSymbol('=')) return Fail(m_tok.line, "expected = after the value name, found " + Describe());
        if (!Advance()) return false;
        return ParseValueData(value);
    }

    // "s <text>" or "d <number>"; leaves the token after the data current.
    bool ParseValueData(Value& value) {
        if (IsWord("s")) {
            value.type = Value::Type::String;
        } else if (IsWord("d")) {
            value.type = Value::Type::Dword;
        } else {
            return Fail(m_tok.line, "expected a value type (s or d), found " + Describe());
        }
        if (!Advance()) return false;
        if (m_tok.kind == Token::Kind::End || (m_tok.kind == Token::Kind::Word && IsStructural())) {
            return Fail(m_tok.line, "expected value data, found " + Describe());
        }
        if (value.type == Value::Type::String) {
            value.text = m_tok.text;
        } else if (!ParseNumber(m_tok.text, value.number)) {
            return Fail(m_tok.line, "not a 32-bit number: " + Describe());
        }
        return Advance();
    }

    static bool ParseNumber(const std::string& text, uint32_t& out) {
        std::size_t i = 0;
        unsigned base = 10;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            base = 16;
            i = 2;
        }
        if (i >= text.size()) return false;
        uint64_t value = 0;
        for (; i < text.size(); ++i) {
            char c = Lower(text[i]);
            unsigned digit;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (base == 16 && c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else {
                return false;
            }
            value = value * base + digit;
            if (value > 0xFFFFFFFFull) return false;
        }
        out = static_cast<uint32_t>(value);
        return true;
    }

    std::string_view m_text;
    const Replacements& m_replacements;
    std::size_t m_pos = 0;
    std::size_t m_line = 1;
    Token m_tok;
    ParseError m_error;
};

// --- executor ---

class Executor {
public:
    Executor(Mode mode, RegistryBackend& registry) : m_mode(mode), m_registry(registry) {}

    ExecuteResult Run(const Script& script) {
        for (const RootBlock& block : script.roots) {
            for (const Key& key : block.keys) {
                KeyPath path;
                if (m_mode == Mode::Register) {
                    if (!Register(block.root, path, key)) return m_result;
                } else {
                    Unregister(block.root, path, key);
                }
            }
        }
        return m_result;
    }

private:
    static std::string Join(const KeyPath& path) {
        std::string joined;
        for (const std::string& part : path) {
            if (!joined.empty()) joined += '\\';
            joined += part;
        }
        return joined;
    }

    bool Record(Status status, const KeyPath& path) {
        if (status == kOk) return true;
        if (m_result.status == kOk) {
            m_result.status = status;
            m_result.failedKey = Join(path);
        }
        return false;
    }

    Status WriteValue(Root root, const KeyPath& path, const Value& value) {
        if (value.type == Value::Type::Dword)
            return m_registry.SetDword(root, path, value.name, value.number);
        return m_registry.SetString(root, path, value.name, value.text);
    }

    bool Register(Root root, KeyPath& path, const Key& key) {
        path.push_back(key.name);
        bool ok = RegisterAt(root, path, key);
        path.pop_back();
        return ok;
    }

    bool RegisterAt(Root root, KeyPath& path, const Key& key) {
        if (key.deleteKey || key.forceRemove) {
            Status st = m_registry.DeleteTree(root, path);
            if (st != kNotFound && !Record(st, path)) return false;
            if (key.deleteKey) return true;
        }
        if (!Record(m_registry.CreateKey(root, path), path)) return false;
        if (key.defaultValue) {
            Value value = *key.defaultValue;
            value.name.clear();
            if (!Record(WriteValue(root, path, value), path)) return false;
        }
        for (const Value& value : key.values) {
            if (!Record(WriteValue(root, path, value), path)) return false;
        }
        for (const Key& sub : key.subkeys) {
            if (!Register(root, path, sub)) return false;
        }
        return true;
    }

    void Unregister(Root root, KeyPath& path, const Key& key) {
        path.push_back(key.name);
        UnregisterAt(root, path, key);
        path.pop_back();
    }

    void UnregisterAt(Root root, KeyPath& path, const Key& key) {
        // A Delete key was removed by registration; a missing key has nothing left below it.
        if (key.deleteKey || !m_registry.KeyExists(root, path)) return;
        for (const Key& sub : key.subkeys) Unregister(root, path, sub);
        for (const Value& value : key.values) {
            Status st = m_registry.DeleteValue(root, path, value.name);
            if (st != kNotFound) Record(st, path);
        }
        if (key.noRemove || m_registry.HasSubkeys(root, path)) return;
        Status st = m_registry.DeleteKey(root, path);
        if (st != kNotFound) Record(st, path);
    }

    Mode m_mode;
    RegistryBackend& m_registry;
    ExecuteResult m_result;
};

} // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        char x = Lower(a[i]);
        char y = Lower(b[i]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    return a.size() < b.size();
}

std::optional<Script> Parse(std::string_view text, const Replacements& replacements, ParseError* error) {
    return Parser(text, replacements).Run(error);
}

ExecuteResult Execute(const Script& script, Mode mode, RegistryBackend& registry) {
    return Executor(mode, registry).Run(script);
}

ExecuteResult Run(std::string_view text, const Replacements& replacements, Mode mode,
                  RegistryBackend& registry, ParseError* error) {
    std::optional<Script> script = Parse(text, replacements, error);
    if (!script) {
        ExecuteResult result;
        result.status = kParseFailed;
        return result;
    }
    return Execute(*script, mode, registry);
}

} // namespace pv::registrar

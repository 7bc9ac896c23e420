// The module's registrar: reads a registry script and applies it in register or unregister mode.
//
// Script syntax (the conventional registrar form):
//
//   HKCR                                   root blocks: HKCR, HKCU, HKLM, HKU or their long names
//   {
//       NoRemove CLSID                     flags before a key name: NoRemove, ForceRemove, Delete
//       {
//           ForceRemove {GUID} = s 'text'  a key name, then optionally its default value
//           {
//               val AppID = s '%APPID%'    named values: s (string) or d (32-bit number)
//               'Key name with spaces'     quoted names; '' inside quotes is one quote
//           }
//       }
//   }
//
// Tokens are separated by white space; a quoted string is one token. %NAME% is replaced by the
// caller's value for NAME (names compare without regard to case) and %% stands for one %. The
// replacement happens inside the token, after the token was delimited, so a replacement text with
// spaces or quotes (a module path) is taken literally.
//
// Everything here is portable: the registry itself is reached through RegistryBackend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pv::registrar {

enum class Root { ClassesRoot, CurrentUser, LocalMachine, Users };

struct Value {
    enum class Type { String, Dword };
    std::string name; // empty for a key's default value
    Type type = Type::String;
    std::string text;    // for String
    uint32_t number = 0; // for Dword
};

struct Key {
    std::string name;
    bool noRemove = false;    // unregistration leaves the key itself
    bool forceRemove = false; // registration deletes the whole key first
    bool deleteKey = false;   // registration deletes the key (and ignores its body)
    std::optional<Value> defaultValue;
    std::vector<Value> values;
    std::vector<Key> subkeys;
};

struct RootBlock {
    Root root = Root::ClassesRoot;
    std::vector<Key> keys;
};

struct Script {
    std::vector<RootBlock> roots;
};

// Replacement names (without the percent signs) and their texts.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using Replacements = std::map<std::string, std::string, CaseInsensitiveLess>;

struct ParseError {
    std::size_t line = 0; // 1-based line of the offending token
    std::string message;
};

// Parses the whole script. On failure returns nullopt and fills *error when given.
std::optional<Script> Parse(std::string_view text, const Replacements& replacements,
                            ParseError* error = nullptr);

// A key below a root, as the list of its names from the root down.
using KeyPath = std::vector<std::string>;

// Status codes of the back end: 0 is success, anything else is the platform's error code.
using Status = int32_t;
inline constexpr Status kOk = 0;
inline constexpr Status kNotFound = 2; // the platform's "file not found"

// The registry as the executor sees it. Names compare without regard to case.
class RegistryBackend {
public:
    virtual ~RegistryBackend() = default;
    // Creates the key (and any missing parents) or opens it when it exists.
    virtual Status CreateKey(Root root, const KeyPath& path) = 0;
    virtual bool KeyExists(Root root, const KeyPath& path) = 0;
    // Writes (or overwrites) a value; an empty name is the default value.
    virtual Status SetString(Root root, const KeyPath& path, const std::string& name,
                             const std::string& text) = 0;
    virtual Status SetDword(Root root, const KeyPath& path, const std::string& name, uint32_t number) = 0;
    // Deletes a value; kNotFound when it (or the key) does not exist.
    virtual Status DeleteValue(Root root, const KeyPath& path, const std::string& name) = 0;
    // Deletes the key with everything below it; kNotFound when it does not exist.
    virtual Status DeleteTree(Root root, const KeyPath& path) = 0;
    // Deletes a key that has no subkeys (its values go with it).
    virtual Status DeleteKey(Root root, const KeyPath& path) = 0;
    // Whether the key has at least one subkey; false also when the key cannot be read.
    virtual bool HasSubkeys(Root root, const KeyPath& path) = 0;
};

enum class Mode { Register, Unregister };

struct ExecuteResult {
    Status status = kOk;   // the first failure, or kOk
    std::string failedKey; // the key it happened at, for diagnostics
};

// Register: every key is created (or opened) and its values written over existing ones; a
// ForceRemove key is deleted with its subtree first; a Delete key is only deleted. Stops at the
// first failure.
// Unregister: from the innermost keys outwards, the script's named values are deleted, then each
// key not marked NoRemove that has no subkeys left. Keys and values already gone are no failure;
// other failures are remembered (the first is returned) and the walk goes on.
ExecuteResult Execute(const Script& script, Mode mode, RegistryBackend& registry);

// Parses and executes in one step. A parse failure is reported as kParseFailed and executes
// nothing.
inline constexpr Status kParseFailed = 13; // the platform's "invalid data"
ExecuteResult Run(std::string_view text, const Replacements& replacements, Mode mode,
                  RegistryBackend& registry, ParseError* error = nullptr);

} // namespace pv::registrar

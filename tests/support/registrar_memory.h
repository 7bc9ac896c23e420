// An in-memory registry for exercising the registrar: keys and values compare without regard to
// case, as the real one does. Failures can be injected per operation and key.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "server/registrar.h"

namespace pv::test {

class MemoryRegistry final : public registrar::RegistryBackend {
public:
    struct Data {
        registrar::Value::Type type = registrar::Value::Type::String;
        std::string text;
        uint32_t number = 0;
    };
    struct Node {
        std::map<std::string, std::unique_ptr<Node>, registrar::CaseInsensitiveLess> subkeys;
        std::map<std::string, Data, registrar::CaseInsensitiveLess> values; // "" = default
    };

    // --- inspection and set-up (paths joined with backslashes) ---
    static registrar::KeyPath Split(const std::string& path) {
        registrar::KeyPath parts;
        std::string part;
        for (char c : path) {
            if (c == '\\') {
                parts.push_back(part);
                part.clear();
            } else {
                part.push_back(c);
            }
        }
        if (!part.empty() || !parts.empty()) parts.push_back(part);
        return parts;
    }
    bool Has(registrar::Root root, const std::string& path) { return Find(root, Split(path)) != nullptr; }
    const Data* ValueAt(registrar::Root root, const std::string& path, const std::string& name) {
        Node* node = Find(root, Split(path));
        if (!node) return nullptr;
        auto it = node->values.find(name);
        return it == node->values.end() ? nullptr : &it->second;
    }
    std::string StringAt(registrar::Root root, const std::string& path, const std::string& name) {
        const Data* d = ValueAt(root, path, name);
        return d ? d->text : std::string("<absent>");
    }
    void Put(registrar::Root root, const std::string& path, const std::string& name,
             const std::string& text) {
        registrar::KeyPath p = Split(path);
        CreateKey(root, p);
        SetString(root, p, name, text);
    }
    // Total number of keys below every root (roots themselves not counted).
    std::size_t KeyCount() const {
        std::size_t n = 0;
        for (const auto& [root, node] : m_roots) n += Count(*node);
        return n;
    }
    std::size_t ValueCount() const {
        std::size_t n = 0;
        for (const auto& [root, node] : m_roots) n += Values(*node);
        return n;
    }

    // Makes the named operation fail with `status` at the key `path` ("" = every key).
    void FailAt(const std::string& op, const std::string& path, registrar::Status status) {
        m_failures.push_back({op, path, status});
    }
    std::vector<std::string> log; // operations in order, "op path[:name]"

    // --- RegistryBackend ---
    registrar::Status CreateKey(registrar::Root root, const registrar::KeyPath& path) override {
        if (auto st = Injected("create", path)) return st;
        Node* node = &RootNode(root);
        for (const std::string& part : path) {
            auto& slot = node->subkeys[part];
            if (!slot) slot = std::make_unique<Node>();
            node = slot.get();
        }
        return registrar::kOk;
    }
    bool KeyExists(registrar::Root root, const registrar::KeyPath& path) override {
        return Find(root, path) != nullptr;
    }
    registrar::Status SetString(registrar::Root root, const registrar::KeyPath& path, const std::string& name,
                                const std::string& text) override {
        if (auto st = Injected("set", path)) return st;
        Node* node = Find(root, path);
        if (!node) return registrar::kNotFound;
        node->values[name] = Data{registrar::Value::Type::String, text, 0};
        return registrar::kOk;
    }
    registrar::Status SetDword(registrar::Root root, const registrar::KeyPath& path, const std::string& name,
                               uint32_t number) override {
        if (auto st = Injected("set", path)) return st;
        Node* node = Find(root, path);
        if (!node) return registrar::kNotFound;
        node->values[name] = Data{registrar::Value::Type::Dword, {}, number};
        return registrar::kOk;
    }
    registrar::Status DeleteValue(registrar::Root root, const registrar::KeyPath& path,
                                  const std::string& name) override {
        if (auto st = Injected("delvalue", path)) return st;
        Node* node = Find(root, path);
        if (!node) return registrar::kNotFound;
        return node->values.erase(name) ? registrar::kOk : registrar::kNotFound;
    }
    registrar::Status DeleteTree(registrar::Root root, const registrar::KeyPath& path) override {
        if (auto st = Injected("deltree", path)) return st;
        return Erase(root, path, true);
    }
    registrar::Status DeleteKey(registrar::Root root, const registrar::KeyPath& path) override {
        if (auto st = Injected("delkey", path)) return st;
        return Erase(root, path, false);
    }
    bool HasSubkeys(registrar::Root root, const registrar::KeyPath& path) override {
        Node* node = Find(root, path);
        return node && !node->subkeys.empty();
    }

private:
    struct Failure {
        std::string op;
        std::string path;
        registrar::Status status;
    };

    static std::string Join(const registrar::KeyPath& path) {
        std::string s;
        for (const auto& p : path) {
            if (!s.empty()) s += '\\';
            s += p;
        }
        return s;
    }
    registrar::Status Injected(const std::string& op, const registrar::KeyPath& path) {
        std::string joined = Join(path);
        log.push_back(op + " " + joined);
        registrar::CaseInsensitiveLess less;
        for (const Failure& f : m_failures) {
            if (f.op == op && (f.path.empty() || (!less(f.path, joined) && !less(joined, f.path)))) {
                return f.status;
            }
        }
        return registrar::kOk;
    }
    Node& RootNode(registrar::Root root) {
        auto& slot = m_roots[root];
        if (!slot) slot = std::make_unique<Node>();
        return *slot;
    }
    Node* Find(registrar::Root root, const registrar::KeyPath& path) {
        Node* node = &RootNode(root);
        for (const std::string& part : path) {
            auto it = node->subkeys.find(part);
            if (it == node->subkeys.end()) return nullptr;
            node = it->second.get();
        }
        return node;
    }
    registrar::Status Erase(registrar::Root root, const registrar::KeyPath& path, bool tree) {
        if (path.empty()) return 87; // never a root
        registrar::KeyPath parentPath(path.begin(), path.end() - 1);
        Node* parent = Find(root, parentPath);
        if (!parent) return registrar::kNotFound;
        auto it = parent->subkeys.find(path.back());
        if (it == parent->subkeys.end()) return registrar::kNotFound;
        if (!tree && !it->second->subkeys.empty()) return 5; // access denied, as the real one
        parent->subkeys.erase(it);
        return registrar::kOk;
    }
    static std::size_t Count(const Node& node) {
        std::size_t n = node.subkeys.size();
        for (const auto& [name, sub] : node.subkeys) n += Count(*sub);
        return n;
    }
    static std::size_t Values(const Node& node) {
        std::size_t n = node.values.size();
        for (const auto& [name, sub] : node.subkeys) n += Values(*sub);
        return n;
    }

    std::map<registrar::Root, std::unique_ptr<Node>> m_roots;
    std::vector<Failure> m_failures;
};

} // namespace pv::test

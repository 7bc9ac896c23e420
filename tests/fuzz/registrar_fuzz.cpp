// Registrar scripts from arbitrary bytes: the reader never crashes or recurses without bound, and
// what it accepts behaves: registering twice gives the same registry as once, and a script
// without NoRemove keys leaves an empty registry after unregistering.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "server/registrar.h"
#include "tests/support/registrar_memory.h"

namespace {

using namespace pv::registrar;

bool HasNoRemove(const std::vector<Key>& keys) {
    for (const Key& k : keys) {
        if (k.noRemove || HasNoRemove(k.subkeys)) return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Replacements r;
    r["Module"] = "C:\\a b\\it's {x}.dll";
    r["APPID"] = "{243FEEA3-9051-4DF8-BE23-71D25BD82621}";
    std::string_view text(reinterpret_cast<const char*>(data), size);

    ParseError error;
    std::optional<Script> script = Parse(text, r, &error);
    if (!script) {
        if (error.message.empty() || error.line == 0) std::abort();
        return 0;
    }

    pv::test::MemoryRegistry reg;
    if (Execute(*script, Mode::Register, reg).status != kOk) std::abort();
    const std::size_t keys = reg.KeyCount();
    const std::size_t values = reg.ValueCount();
    if (Execute(*script, Mode::Register, reg).status != kOk) std::abort();
    if (reg.KeyCount() != keys || reg.ValueCount() != values) std::abort();

    if (Execute(*script, Mode::Unregister, reg).status != kOk) std::abort();
    bool noRemove = false;
    for (const RootBlock& block : script->roots) noRemove = noRemove || HasNoRemove(block.keys);
    if (!noRemove && reg.KeyCount() != 0) std::abort();
    return 0;
}

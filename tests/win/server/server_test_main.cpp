// The COM server's Windows test program: `--dll <path>` names the module under test.
#include <gtest/gtest.h>

#include <objbase.h>

#include <cstring>

#include "tests/support/server_support_win.h"

namespace pv::servertest {

namespace {

std::wstring g_dll;

// "/unix/path" as Wine's Z: drive sees it; Windows paths stay as they are.
std::wstring WindowsPath(const std::string& path) {
    std::wstring out;
    if (!path.empty() && path[0] == '/') out = L"Z:";
    for (char c : path) out.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

const std::wstring& DllPath() { return g_dll; }

} // namespace pv::servertest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dll") == 0 && i + 1 < argc) {
            pv::servertest::g_dll = pv::servertest::WindowsPath(argv[++i]);
        }
    }
    if (pv::servertest::g_dll.empty()) {
        std::fprintf(stderr, "usage: pv_server_tests --dll <Pathvigil.dll> [gtest options]\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}

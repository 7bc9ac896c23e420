// The test program. Run with `--load <module> [--free]` it is instead the host of a loader test:
// it loads the module and answers with its exit code (0 loaded, 1 refused, 2 bad arguments).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/handles_win.h"
#include "tests/support/store_support_win.h"

namespace pv::wintest {

namespace {
std::string g_dll;
} // namespace

const std::string& DllPath() { return g_dll; }

} // namespace pv::wintest

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--load") == 0) {
        if (argc < 3) return 2;
        pv::LoadedLibrary module(::LoadLibraryA(argv[2]));
        if (!module) return 1;
        if (argc >= 4 && std::strcmp(argv[3], "--free") == 0) return module.Reset() ? 0 : 3;
        // Without --free the process ends with the module still loaded: its detach then runs as
        // part of process termination.
        (void)module.Detach();
        return 0;
    }
    std::vector<char*> args(argv, argv + argc);
    for (std::size_t i = 1; i + 1 < args.size(); ++i) {
        if (std::strcmp(args[i], "--dll") == 0) {
            pv::wintest::g_dll = pv::wintest::WindowsPath(args[i + 1]);
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
            break;
        }
    }
    int n = static_cast<int>(args.size());
    ::testing::InitGoogleTest(&n, args.data());
    return RUN_ALL_TESTS();
}

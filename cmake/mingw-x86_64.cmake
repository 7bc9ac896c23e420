# Cross toolchain: 64-bit Windows with the POSIX thread model (std::thread, std::mutex).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PV_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Tests run under 64-bit Wine through a runner that owns the per-run prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine/run-wine.sh)

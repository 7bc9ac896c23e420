# Cross toolchain: 64-bit Windows with the POSIX thread model (std::thread, std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${PV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${PV_MINGW_TRIPLE}-windres)
set(PV_WIDL            ${PV_MINGW_TRIPLE}-widl)
set(CMAKE_FIND_ROOT_PATH /usr/${PV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests run under 64-bit Wine through a runner that owns the per-run prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine/run-wine.sh)

# Cross toolchain: 32-bit Windows. Built and inspected only: this kernel cannot run 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PV_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

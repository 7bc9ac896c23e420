# What every target of a Windows tree shares: the resource compiler, the Windows version the module
# is written against, and how its programs link.
enable_language(RC)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601 _WIN32_IE=0x0800)

# Windows programs (tests, tools) link the C++ runtime and the threads library statically.
set(PV_WIN_EXE_LINK_OPTIONS -static -static-libgcc -static-libstdc++)

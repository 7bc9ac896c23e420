# The Windows module: type library, resources, the static library of Windows code and Pathvigil.dll.
enable_language(RC)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601 _WIN32_IE=0x0800)

set(PV_GEN ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${PV_GEN})

# Type library and the interface header, from the IDL, with widl.
set(PV_IDL ${CMAKE_SOURCE_DIR}/server/pathvigil.idl)
set(PV_WINE_IDL_DIR /usr/include/wine/wine/windows)
# stdole2.tlb for importlib comes with Debian's wine64 package.
set(PV_STDOLE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(PV_WIDL_ARCH -m64)
else()
  set(PV_WIDL_ARCH -m32)
endif()
add_custom_command(
  OUTPUT ${PV_GEN}/pathvigil_h.h ${PV_GEN}/pathvigil_i.c ${PV_GEN}/pathvigil.tlb
  COMMAND ${PV_WIDL} ${PV_WIDL_ARCH} -I${PV_WINE_IDL_DIR} -I/usr/${PV_MINGW_TRIPLE}/include
          -h -H ${PV_GEN}/pathvigil_h.h ${PV_IDL}
  COMMAND ${PV_WIDL} ${PV_WIDL_ARCH} -I${PV_WINE_IDL_DIR} -I/usr/${PV_MINGW_TRIPLE}/include
          -u -U ${PV_GEN}/pathvigil_i.c ${PV_IDL}
  COMMAND ${PV_WIDL} ${PV_WIDL_ARCH} -I${PV_WINE_IDL_DIR} -I/usr/${PV_MINGW_TRIPLE}/include
          -L${PV_STDOLE_DIR} -DPV_TYPELIB -t -T ${PV_GEN}/pathvigil.tlb ${PV_IDL}
  DEPENDS ${PV_IDL}
  COMMENT "widl: pathvigil.idl"
  VERBATIM)
add_custom_target(pv_idl DEPENDS ${PV_GEN}/pathvigil_h.h ${PV_GEN}/pathvigil_i.c ${PV_GEN}/pathvigil.tlb)

# Pictures (icons, cursor, banner) are drawn by a generator at build time.
add_subdirectory(resources)

# All Windows code except the module's entry points, so tests can link it directly.
file(GLOB PV_WIN_SOURCES CONFIGURE_DEPENDS
  platform/*_win.cpp store/*_win.cpp guard/*_win.cpp server/*_win.cpp dialog/*.cpp)
list(FILTER PV_WIN_SOURCES EXCLUDE REGEX "server/(module|exports)_win\\.cpp$")
add_library(pvwin STATIC ${PV_WIN_SOURCES} ${PV_GEN}/pathvigil_i.c)
add_dependencies(pvwin pv_idl)
target_include_directories(pvwin PUBLIC ${CMAKE_SOURCE_DIR} ${PV_GEN})
target_link_libraries(pvwin PUBLIC pvcore
  wininet shlwapi ole32 oleaut32 uuid comctl32 shell32 user32 gdi32 advapi32 htmlhelp)
# The settings password's hash comes from the system's cryptography.
target_link_libraries(pvwin PUBLIC bcrypt)
set_source_files_properties(${PV_GEN}/pathvigil_i.c PROPERTIES COMPILE_OPTIONS "-Wno-unused")

set(PV_RC ${CMAKE_SOURCE_DIR}/resources/pathvigil.rc)
set_source_files_properties(${PV_RC} PROPERTIES OBJECT_DEPENDS "${PV_GEN}/pathvigil.tlb")
# windres writes no dependency file: the pictures and templates it includes (resources/CMakeLists.txt).
set_property(SOURCE ${PV_RC} APPEND PROPERTY OBJECT_DEPENDS ${PV_RESOURCE_DEPENDS})
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${CMAKE_SOURCE_DIR} -I${CMAKE_SOURCE_DIR}/resources -I${CMAKE_SOURCE_DIR}/server -I${PV_GEN}")

add_library(Pathvigil SHARED server/module_win.cpp server/exports_win.cpp server/pathvigil.def ${PV_RC})
add_dependencies(Pathvigil pv_idl)
add_dependencies(Pathvigil pv_pictures)
set_target_properties(Pathvigil PROPERTIES PREFIX "" OUTPUT_NAME Pathvigil)
target_link_libraries(Pathvigil PRIVATE pvwin)
# The C++ runtime and the threads library go into the DLL: its imports stay system DLLs only.
target_link_options(Pathvigil PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The .def names the stdcall entry points undecorated; the fix-up is intended, not worth a note.
  target_link_options(Pathvigil PRIVATE -Wl,--enable-stdcall-fixup)
endif()

# Windows programs (tests, tools) link the same runtimes statically.
set(PV_WIN_EXE_LINK_OPTIONS -static -static-libgcc -static-libstdc++)

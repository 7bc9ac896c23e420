# Every top-level folder builds its own target from its own CMakeLists.txt, and the include rules
# between the folders are the build's, not a convention:
#
# - Includes are written from the repository's root ("store/data.h"), but no target sees the root.
#   A folder's target publishes an include root of its own in the build tree that holds a link to
#   that folder alone, so a target finds exactly the folders of the targets it links: an include
#   of any other folder fails to build.
# - The portable core builds without windows.h, in the Windows trees too. A source that needs it is
#   named *_win.cpp; every other source of the folder finds a windows.h first that stops the build.
#
# tests/structure proves both rules against the tree's real compile commands.

set(PV_INCLUDE_ROOTS ${CMAKE_BINARY_DIR}/include)
set(PV_NO_WINDOWS_H_DIR ${PV_INCLUDE_ROOTS}/portable)
file(CONFIGURE OUTPUT ${PV_NO_WINDOWS_H_DIR}/windows.h CONTENT
  "#error \"portable source: windows.h is for *_win.cpp files (cmake/folders.cmake)\"\n")

# pv_publish_folder(TARGET): TARGET and whoever links it find the folder of the calling
# CMakeLists.txt, and through this root nothing else.
function(pv_publish_folder target)
  file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(REPLACE "/" "." name ${folder})
  set(link ${PV_INCLUDE_ROOTS}/${name}/${folder})
  if(NOT IS_SYMLINK ${link})
    get_filename_component(parent ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${link} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${PV_INCLUDE_ROOTS}/${name})
  else()
    target_include_directories(${target} PUBLIC ${PV_INCLUDE_ROOTS}/${name})
  endif()
endfunction()

# pv_folder_library(TARGET [WINDOWS_ONLY] [EXCLUDE file...]): the static library of the calling
# folder, made of its *.cpp files (a new file is picked up at the next build): in a Windows tree all
# of them, in a Linux tree the portable ones. The folder is published (pv_publish_folder); the
# portable sources build without windows.h. WINDOWS_ONLY: a folder of Windows code through and
# through, whose files carry no suffix. EXCLUDE names files that another target of the folder builds.
function(pv_folder_library target)
  cmake_parse_arguments(F "WINDOWS_ONLY" "" "EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(file ${F_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${file})
  endforeach()
  set(portable ${sources})
  if(F_WINDOWS_ONLY)
    set(portable)
  else()
    list(FILTER portable EXCLUDE REGEX "_win\\.cpp$")
  endif()
  if(WIN32)
    add_library(${target} STATIC ${sources})
  else()
    add_library(${target} STATIC ${portable})
  endif()
  if(portable)
    set_property(SOURCE ${portable} APPEND PROPERTY INCLUDE_DIRECTORIES ${PV_NO_WINDOWS_H_DIR})
  endif()
  pv_publish_folder(${target})
endfunction()

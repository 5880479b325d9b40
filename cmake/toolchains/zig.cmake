# Cross builds with zig's clang, which carries libc++ and each target's C
# library (ziglang on PyPI). From the environment, so that the builds that
# pip and scikit-build-core start see them too:
#   TOLVANE_ZIG_TARGET  the target: x86_64-linux-gnu.2.28, aarch64-macos, ...
#   TOLVANE_ZIG         the zig binary (default: zig on PATH)
# libc++ and libc++abi are linked in statically.
if(NOT DEFINED ENV{TOLVANE_ZIG_TARGET})
  message(FATAL_ERROR "zig.cmake: set TOLVANE_ZIG_TARGET, for example to x86_64-linux-gnu.2.28")
endif()
set(target $ENV{TOLVANE_ZIG_TARGET})
if(DEFINED ENV{TOLVANE_ZIG})
  set(zig $ENV{TOLVANE_ZIG})
else()
  find_program(zig zig REQUIRED)
endif()

if(target MATCHES "-macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  # CMake asks for it on Darwin, to rewrite install names when installing;
  # the builds that use this file install nothing for macOS.
  find_program(CMAKE_INSTALL_NAME_TOOL NAMES install_name_tool llvm-install-name-tool true REQUIRED)
elseif(target MATCHES "-windows")
  set(CMAKE_SYSTEM_NAME Windows)
else()
  set(CMAKE_SYSTEM_NAME Linux)
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR ${target})
# A build for the machine it runs on is no cross build: its tests run here.
if(CMAKE_SYSTEM_NAME STREQUAL CMAKE_HOST_SYSTEM_NAME AND CMAKE_SYSTEM_PROCESSOR STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_CROSSCOMPILING OFF)
endif()

set(CMAKE_C_COMPILER ${zig} cc -target ${target})
set(CMAKE_CXX_COMPILER ${zig} c++ -target ${target})
# zig's own archiver, which indexes the LLVM bitcode of optimised builds.
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig-ar)
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig-ranlib)
set(CMAKE_CXX_COMPILER_AR ${CMAKE_AR})
set(CMAKE_CXX_COMPILER_RANLIB ${CMAKE_RANLIB})

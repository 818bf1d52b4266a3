# Cross-build for 64-bit Windows with Debian's MinGW-w64 compilers (the posix-threads variant,
# which C++ threads and GoogleTest need). The runtime is linked statically, so the executables
# run on a plain Windows without MinGW's DLLs beside them.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# Libraries built for Windows by `scripts/deps --windows` live in .deps/win64 (pkg-config files
# and GoogleTest's package); tests run through wine64 when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_vantor_triple x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${_vantor_triple}-gcc-posix ${_vantor_triple}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_vantor_triple}-g++-posix ${_vantor_triple}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_vantor_triple}-windres)
find_program(CMAKE_AR NAMES ${_vantor_triple}-gcc-ar-posix ${_vantor_triple}-ar)
find_program(CMAKE_RANLIB NAMES ${_vantor_triple}-gcc-ranlib-posix ${_vantor_triple}-ranlib)

get_filename_component(_vantor_top "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(VANTOR_WIN_DEPS "${_vantor_top}/.deps/win64" CACHE PATH "Libraries built for Windows")

set(CMAKE_FIND_ROOT_PATH /usr/${_vantor_triple} "${VANTOR_WIN_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_PREFIX_PATH "${VANTOR_WIN_DEPS}")

# pkg-config must see only the Windows libraries, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "${VANTOR_WIN_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(VANTOR_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT VANTOR_WINE)
  find_program(VANTOR_WINE NAMES wine64 wine)
endif()
if(VANTOR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${VANTOR_WINE}")
endif()

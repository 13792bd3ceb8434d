# Cross-compiles Brindle for 64-bit Windows with MinGW-w64 (the POSIX-threads flavour, which
# std::thread and friends need) and runs the Windows programs of the build under Wine.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything linked in statically: the C++ runtime, libgcc and winpthread, so brindle.exe needs
# no DLL beside it, only those of Windows itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Programs of the build run under Wine through a small script in the build folder, one word
# that tests can put in front of a command line. The Wine prefix lives in the build folder too,
# so nothing outside it is touched; mscoree and mshtml are switched off so that creating the
# prefix asks for no downloads.
get_property(brindle_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT brindle_in_try_compile)
  set(brindle_wine_run ${CMAKE_BINARY_DIR}/wine-run.sh)
  file(CONFIGURE OUTPUT ${brindle_wine_run} @ONLY CONTENT [[#!/bin/sh
# Runs a Windows program of this build under Wine.
WINEPREFIX='@CMAKE_BINARY_DIR@/wineprefix'
WINEDEBUG=-all
WINEDLLOVERRIDES='mscoree,mshtml='
LC_ALL=${BRINDLE_WINE_LC_ALL:-C.UTF-8}
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES LC_ALL
# With address randomization, the system now and then maps something where Wine must put its
# shared data, and a program fails to start (about 1 start in 4,000). Off where allowed.
if setarch "$(uname -m)" -R true 2>/dev/null; then
    exec setarch "$(uname -m)" -R wine "$@"
fi
exec wine "$@"
]])
  file(CHMOD ${brindle_wine_run} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${brindle_wine_run})
endif()

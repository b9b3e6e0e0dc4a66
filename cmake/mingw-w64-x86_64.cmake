# Cross-builds the Windows x86-64 executables on Linux with mingw-w64, and runs them through Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The posix thread-model compilers: GoogleTest needs std::mutex, which the win32 model lacks. The launcher,
# built without exceptions, links nothing of either model: a build of it alone (-DTARNEL_TESTS=OFF) with
# -DTARNEL_THREADS=win32 gives the same bytes, which dev/test.sh checks.
if(NOT TARNEL_THREADS)
  set(TARNEL_THREADS posix)
endif()
if(NOT TARNEL_THREADS MATCHES "^(posix|win32)$")
  message(FATAL_ERROR "TARNEL_THREADS is posix or win32, not '${TARNEL_THREADS}'")
endif()
# CMake's test compilations read this file too, and need the same choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNEL_THREADS)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-${TARNEL_THREADS})
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-${TARNEL_THREADS})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# CTest runs the Windows programs through Wine, in a private prefix inside the build tree. Without
# mscoree and mshtml Wine does not offer to download Mono and Gecko on its first start.
find_program(TARNEL_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(TARNEL_WINE NAMES wine64 wine)
if(TARNEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEDEBUG=-all "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" WINEDLLOVERRIDES=mscoree,mshtml=
      ${TARNEL_WINE})
endif()

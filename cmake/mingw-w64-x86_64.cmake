# Cross-builds the Windows x64 plugin (quorvane.wcx64) and its tests with
# Debian's mingw-w64.  Everything links statically, so neither the plugin
# nor a test program needs a runtime DLL beside it; the tests run under Wine
# through cmake/wine-run.sh.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUORVANE_MINGW_TRIPLE x86_64-w64-mingw32)

# The posix thread model, when installed, is the one whose libstdc++ has
# std::thread and std::mutex (GCC 12's win32 model lacks them).
find_program(CMAKE_C_COMPILER NAMES ${QUORVANE_MINGW_TRIPLE}-gcc-posix ${QUORVANE_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QUORVANE_MINGW_TRIPLE}-g++-posix ${QUORVANE_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QUORVANE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUORVANE_MINGW_TRIPLE} ${QUORVANE_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Test programs (and googletest's test discovery) run under Wine, with a
# prefix of their own inside the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;--prefix=${CMAKE_BINARY_DIR}/wineprefix")

# toolchain-mingw64.cmake - cross-build for 64-bit Windows with Debian's
# mingw-w64 (packages g++-mingw-w64-x86-64-posix, the posix thread model that
# std::thread and std::mutex need), with the test programs run under wine.
#
#   cmake -S . -B build-win -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DMAILWARD_BENCH=OFF
#   cmake --build build-win -j2 && ctest --test-dir build-win
#
# The GCC, C++ and winpthread runtimes are linked statically (top
# CMakeLists.txt, if(WIN32)), so the DLLs need nothing beyond the system's own
# DLLs and each other. CMAKE_CROSSCOMPILING_EMULATOR makes gtest_discover_tests
# and ctest start every test program through cmake/wine-run.sh, which uses a
# private wine prefix below the build directory and silences wine's debug
# output.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Runtimes linked statically also into programs that do not go through the
# top CMakeLists (try_compile checks).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh
    ${CMAKE_BINARY_DIR}/wineprefix)

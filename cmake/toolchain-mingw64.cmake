# Cross-compiles comtrace for 64-bit Windows with the mingw-w64 toolchain
# (Debian: g++-mingw-w64-x86-64-posix). The result runs on Windows or under
# Wine.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
#
# MINGW64_TRIPLET and MINGW64_THREADS pick another installation; the posix
# thread model is the one whose C++ runtime has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW64_TRIPLET "x86_64-w64-mingw32" CACHE STRING "Target triplet of the mingw-w64 toolchain")
set(MINGW64_THREADS "posix" CACHE STRING "Thread model of the mingw-w64 compilers (posix or win32)")

find_program(MINGW64_CXX NAMES ${MINGW64_TRIPLET}-g++-${MINGW64_THREADS} ${MINGW64_TRIPLET}-g++ REQUIRED)
find_program(MINGW64_CC NAMES ${MINGW64_TRIPLET}-gcc-${MINGW64_THREADS} ${MINGW64_TRIPLET}-gcc)
find_program(MINGW64_WINDRES NAMES ${MINGW64_TRIPLET}-windres)

set(CMAKE_CXX_COMPILER "${MINGW64_CXX}")
if(MINGW64_CC)
  set(CMAKE_C_COMPILER "${MINGW64_CC}")
endif()
if(MINGW64_WINDRES)
  set(CMAKE_RC_COMPILER "${MINGW64_WINDRES}")
endif()

# Headers and libraries come from the target's sysroot only; programs run
# during the build come from the host.
set(CMAKE_FIND_ROOT_PATH "/usr/${MINGW64_TRIPLET}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Cross build of quillon.exe for 64-bit Windows with the MinGW-w64 GCC:
#   cmake -S . -B build-win -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DBUILD_TESTING=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER   x86_64-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_RC_COMPILER  x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# There is no GoogleTest built for this target; the Windows executable is
# tested through the black-box suite instead (tests/wine/run_cli_tests.sh).
set(BUILD_TESTING OFF CACHE BOOL "Build the unit tests")

find_program(QUILLON_WINE_PROGRAM NAMES wine wine64)
if(QUILLON_WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLON_WINE_PROGRAM})
endif()

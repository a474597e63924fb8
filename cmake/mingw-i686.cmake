# Windows on i686:  cmake -S . -B build-win-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# The device is 32-bit like this target: size_t and pointers have its width here. Running these
# programs needs a 32-bit Wine.
set(ZELT_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

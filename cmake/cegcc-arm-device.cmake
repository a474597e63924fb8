# The device program for Windows CE on ARM with a CE cross compiler (arm-mingw32ce, GCC 4.4, CE's
# own headers and coredll import library), whose root folder ZELT_CEGCC_ROOT names:
#   cmake -S . -B build-device-cegcc -DCMAKE_TOOLCHAIN_FILE=cmake/cegcc-arm-device.cmake \
#         -DZELT_CEGCC_ROOT=DIR
# It builds zelt-update.exe for ARMv4T, with the macros CE's ARM projects define, linked against
# coredll alone.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ZELT_CEGCC_ROOT "" CACHE PATH "Folder the arm-mingw32ce toolchain is unpacked in")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZELT_CEGCC_ROOT)
if(NOT EXISTS "${ZELT_CEGCC_ROOT}/bin/arm-mingw32ce-gcc")
  message(FATAL_ERROR "ZELT_CEGCC_ROOT=${ZELT_CEGCC_ROOT} holds no bin/arm-mingw32ce-gcc")
endif()
set(_prefix ${ZELT_CEGCC_ROOT}/bin/arm-mingw32ce)
set(CMAKE_C_COMPILER ${_prefix}-gcc)
set(CMAKE_CXX_COMPILER ${_prefix}-g++)
set(CMAKE_AR ${_prefix}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_prefix}-ranlib CACHE FILEPATH "")
set(CMAKE_NM ${_prefix}-nm CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${_prefix}-objdump CACHE FILEPATH "")
set(CMAKE_DLLTOOL ${_prefix}-dlltool CACHE FILEPATH "")
set(CMAKE_RC_COMPILER ${_prefix}-windres)
set(CMAKE_FIND_ROOT_PATH ${ZELT_CEGCC_ROOT}/arm-mingw32ce)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_C_FLAGS_INIT "-march=armv4t")
set(CMAKE_CXX_FLAGS_INIT "-march=armv4t")
# Its C++ has no library of its own: C++ objects link as C (cegcc-link-rules.cmake), against
# coredll alone. The linker's defaults mark images relocatable and NX-compatible, which CE's
# loader does not know.
set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX ${CMAKE_CURRENT_LIST_DIR}/cegcc-link-rules.cmake)
set(CMAKE_C_STANDARD_LIBRARIES "-lcoredll" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "-lcoredll" CACHE STRING "" FORCE)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--disable-dynamicbase,--disable-nxcompat")
# It knows C++98 by that name only.
set(ZELT_DEVICE_CXX_STANDARD c++98)
set(ZELT_DEVICE_CONFIG ON CACHE BOOL "" FORCE)
set(ZELT_DEVICE_PROGRAM_ONLY ON)

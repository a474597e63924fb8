# The device program's objects for 32-bit ARM Windows, with Debian's clang and mingw-w64's headers:
#   cmake --preset device-arm
# Thumb-2 rather than the device's ARMv4I, but with the same run-time helpers (division, stack
# probes). There is no C runtime for this target to link against, so only the objects are built
# (ZELT_OBJECTS_ONLY, which the preset device-arm sets), in the device's configuration, and the
# import check reads what they leave undefined.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(_target armv7-w64-windows-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${_target})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${_target})
set(CMAKE_AR llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib CACHE FILEPATH "")
set(CMAKE_NM llvm-nm CACHE FILEPATH "")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(_headers /usr/share/mingw-w64/include)
set(CMAKE_C_FLAGS_INIT "-isystem ${_headers}")
set(CMAKE_CXX_FLAGS_INIT "-isystem ${_headers}")
set(ZELT_DEVICE_CONFIG ON CACHE BOOL "" FORCE)

# The 7z decoder of the archive library, built from the distribution's security-maintained source
# package. Only the decoder files and the headers they include are unpacked; the package's sample
# programs and utilities are never extracted.

set(LZMA_SDK_DIR "${CMAKE_BINARY_DIR}/_deps/lzma-sdk")
set(LZMA_SDK_C_DIR "${LZMA_SDK_DIR}/C")

# The device's decoder files. CpuArch only finds CPU features for a hardware CRC, a path the
# device's compiler never takes (its CRC is the table one) and whose feature constants the
# device's headers lack; the PC and host builds keep it, as a compiler there may take that path.
set(LZMA_SDK_DEVICE_UNITS
  7zAlloc 7zArcIn 7zBuf 7zBuf2 7zCrc 7zCrcOpt
  Bcj2 Bra Bra86 BraIA64 Delta Lzma2Dec LzmaDec Ppmd7 Ppmd7Dec)
set(LZMA_SDK_DECODER_UNITS ${LZMA_SDK_DEVICE_UNITS} 7zDec 7zStream CpuArch)
set(LZMA_SDK_HEADERS
  7z 7zAlloc 7zBuf 7zCrc 7zTypes 7zVersion 7zWindows Bcj2 Bra Compiler CpuArch Delta
  Lzma2Dec LzmaDec Ppmd Ppmd7 Precomp RotateDefs)

if(NOT EXISTS "${LZMA_SDK_C_DIR}/7zVersion.h")
  file(MAKE_DIRECTORY "${LZMA_SDK_DIR}/download")
  file(GLOB _orig "${LZMA_SDK_DIR}/download/7zip_*.orig.tar.*")
  if(NOT _orig)
    message(STATUS "Fetching the 7zip source package with apt-get source")
    execute_process(
      COMMAND apt-get source --download-only 7zip
      WORKING_DIRECTORY "${LZMA_SDK_DIR}/download"
      RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_VARIABLE _err)
    file(GLOB _orig "${LZMA_SDK_DIR}/download/7zip_*.orig.tar.*")
    if(NOT _rc EQUAL 0 OR NOT _orig)
      message(FATAL_ERROR
        "Cannot obtain the 7zip source package (apt-get source --download-only 7zip failed).\n"
        "Run 'bash scripts/setup.sh' as root first: it enables the source entries of the machine's "
        "Debian archive and refreshes the package lists.\n${_err}")
    endif()
  endif()
  list(GET _orig 0 _orig)
  execute_process(COMMAND tar -tf "${_orig}" OUTPUT_VARIABLE _listing RESULT_VARIABLE _rc)
  string(REGEX MATCH "[^\n]*/C/7zVersion\\.h" _version_member "${_listing}")
  if(NOT _rc EQUAL 0 OR NOT _version_member)
    message(FATAL_ERROR "The 7zip source package ${_orig} holds no C/7zVersion.h")
  endif()
  string(REGEX REPLACE "7zVersion\\.h$" "" _prefix "${_version_member}")
  set(_members "")
  foreach(unit IN LISTS LZMA_SDK_DECODER_UNITS)
    list(APPEND _members "${_prefix}${unit}.c")
  endforeach()
  foreach(header IN LISTS LZMA_SDK_HEADERS)
    list(APPEND _members "${_prefix}${header}.h")
  endforeach()
  string(REGEX REPLACE "/C/$" "" _top "${_prefix}")
  string(REGEX MATCHALL "/" _slashes "${_top}/")
  list(LENGTH _slashes _strip)
  file(MAKE_DIRECTORY "${LZMA_SDK_DIR}")
  execute_process(
    COMMAND tar -xf "${_orig}" --strip-components=${_strip} ${_members}
    WORKING_DIRECTORY "${LZMA_SDK_DIR}" RESULT_VARIABLE _rc ERROR_VARIABLE _err)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "Cannot unpack the decoder files from ${_orig}:\n${_err}")
  endif()
endif()

file(STRINGS "${LZMA_SDK_C_DIR}/7zVersion.h" _version_line REGEX "define MY_VERSION_NUMBERS")
string(REGEX MATCH "\"[^\"]+\"" LZMA_SDK_VERSION "${_version_line}")
string(REPLACE "\"" "" LZMA_SDK_VERSION "${LZMA_SDK_VERSION}")
message(STATUS "7z decoder: archive library SDK version ${LZMA_SDK_VERSION}")

set(_units ${LZMA_SDK_DEVICE_UNITS} CpuArch)
if(ZELT_DEVICE_CONFIG)
  set(_units ${LZMA_SDK_DEVICE_UNITS})
endif()
# 7zDec.c and 7zStream.c are compiled through files of ours, so that CE's compilers take them
# (extract/decoder_*.c say why).
set(_sources "${PROJECT_SOURCE_DIR}/extract/decoder_7zdec.c" "${PROJECT_SOURCE_DIR}/extract/decoder_7zstream.c")
foreach(unit IN LISTS _units)
  list(APPEND _sources "${LZMA_SDK_C_DIR}/${unit}.c")
endforeach()
add_library(lzma_sdk_7z STATIC ${_sources})
target_include_directories(lzma_sdk_7z SYSTEM PUBLIC "${LZMA_SDK_C_DIR}")
# The library's own folder decoder reads only package headers (item data goes through
# extract/coder_stream.cpp), and it is built without PPMd: its PPMd path keeps the model's tables
# in a 19 KB stack frame, beyond the device program's stack budget and more than a page, which a
# device thread may not take in one frame. A header coded with PPMd, which packers do not write,
# is refused as an unsupported method; PPMd item data decode as before.
set_target_properties(lzma_sdk_7z PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
# Third-party code: our warning flags are not its contract.
target_compile_options(lzma_sdk_7z PRIVATE -w)
if(MINGW)
  target_compile_options(lzma_sdk_7z PRIVATE ${ZELT_CALLGRAPH_INFO})
endif()
if(ZELT_DEVICE_CONFIG)
  target_compile_definitions(lzma_sdk_7z PRIVATE ${ZELT_CE_DEFINES})
endif()
# It reads unaligned words on purpose on CPUs that allow them; the sanitizer's alignment check
# would stop every package at its start header. It also forms "no buffer + 0" for an empty BCJ2
# stream (clang's pointer-overflow check stops valid BCJ2 packages there); the address sanitizer
# still checks every access it makes.
if(ZELT_SANITIZE)
  target_compile_options(lzma_sdk_7z PRIVATE -fno-sanitize=alignment,pointer-overflow)
endif()

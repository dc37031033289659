# Cross-builds a 64-bit Vorlent.exe (package g++-mingw-w64-x86-64), only for the tests to
# run under Wine where this machine starts no 32-bit program. It is never shipped.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VORLENT_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Cross-builds the 32-bit Windows executable with Debian's MinGW-w64 compiler
# (package g++-mingw-w64-i686).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VORLENT_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

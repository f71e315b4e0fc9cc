# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix thread model, which
# std::thread and std::mutex need). Qt for MinGW comes from KORVANE_QT_WIN (or
# CMAKE_PREFIX_PATH): its CMake package files, its DLLs and its host tools (moc, uic, rcc)
# built for the machine that compiles.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVANE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVANE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVANE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVANE_MINGW_PREFIX}-windres)

if(NOT KORVANE_QT_WIN AND DEFINED ENV{KORVANE_QT_WIN})
  set(KORVANE_QT_WIN $ENV{KORVANE_QT_WIN})
endif()
if(KORVANE_QT_WIN)
  list(APPEND CMAKE_PREFIX_PATH ${KORVANE_QT_WIN})
endif()
# Try-compiles see the same Qt.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVANE_QT_WIN)

# Libraries and headers of the target only from MinGW's root and Qt; programs (moc, the
# host's tools) from this machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KORVANE_MINGW_PREFIX} ${KORVANE_QT_WIN})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

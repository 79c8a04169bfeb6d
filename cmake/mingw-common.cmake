# What the two mingw-w64 toolchain files share; TORQA_MINGW_TRIPLET names the
# target. The posix flavour of the compilers is the one with std::thread and
# std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TORQA_MINGW_TRIPLET})
set(CMAKE_C_COMPILER ${TORQA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TORQA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TORQA_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TORQA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under Wine where it is installed (64-bit only:
# Debian's wine64 runs x86_64 programs). The directories of the compiler's
# runtime DLLs are passed on so that those are found without copying them.
if(TORQA_MINGW_TRIPLET STREQUAL "x86_64-w64-mingw32")
  find_program(TORQA_WINE wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(TORQA_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TORQA_WINE})
  endif()
endif()

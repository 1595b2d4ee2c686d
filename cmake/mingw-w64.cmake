# Cross-compiles reflash for 64-bit Windows with mingw-w64 (posix thread model) and runs the
# resulting programs under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(REFLASH_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix variant: the default win32 thread model has no std::thread.
set(CMAKE_C_COMPILER ${REFLASH_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${REFLASH_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${REFLASH_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${REFLASH_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the .exe and test DLLs need no mingw DLLs next to them under Wine or Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(REFLASH_WINE NAMES wine wine64)
if(REFLASH_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${REFLASH_WINE})
endif()

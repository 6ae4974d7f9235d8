# Cross-compiles for 64-bit Windows with Debian's mingw-w64 and runs what it builds under Wine.
# The posix thread variant of the compiler: GoogleTest needs std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VIGILORN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VIGILORN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VIGILORN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VIGILORN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VIGILORN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: no libstdc++, libgcc or winpthread DLLs to carry next to it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian's wine64 package puts its loader outside PATH when the wine wrapper is not installed.
if(NOT VIGILORN_WINE)
    find_program(VIGILORN_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
endif()
if(VIGILORN_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VIGILORN_WINE})
endif()

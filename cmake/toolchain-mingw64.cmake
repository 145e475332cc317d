# Cross-build for 64-bit Windows with MinGW-w64 (the POSIX-threads variant, so
# that std::thread and std::mutex work). The runtime of the compiler
# (libgcc, libstdc++, winpthread) is linked statically: the programs need only
# the DLLs every Windows system has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DC_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DC_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DC_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${DC_MINGW_PREFIX}-windres)
set(CMAKE_MC_COMPILER ${DC_MINGW_PREFIX}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${DC_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 8.1 / Windows Server 2012 R2 is the oldest system supported: the
# first whose WinHTTP offers TLS 1.2 without an update.
add_compile_definitions(_WIN32_WINNT=0x0603 WINVER=0x0603 NTDDI_VERSION=0x06030000
                        WIN32_LEAN_AND_MEAN NOMINMAX)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")

# Test programs run through Wine, in a prefix of the build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)

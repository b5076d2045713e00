# Cross-builds for 64-bit Windows with Debian's mingw-w64 (posix threads) and runs what it
# builds under wine. scripts/windows.sh uses it; by hand:
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DQZCACHE_WINDOWS_PREFIX=<prefix holding libxml2 and googletest built for mingw>
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QZCACHE_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix flavour: the win32 one has no std::thread or std::mutex in GCC 12.
set(CMAKE_C_COMPILER ${QZCACHE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QZCACHE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QZCACHE_MINGW_TRIPLE}-windres)

# Try-compiles see the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QZCACHE_WINDOWS_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${QZCACHE_MINGW_TRIPLE})
if(QZCACHE_WINDOWS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${QZCACHE_WINDOWS_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# FindLibXml2 would drop the LIBXML_STATIC that libxml2's own package config carries.
set(CMAKE_FIND_PACKAGE_PREFER_CONFIG ON)
# pkg-config looks in the sysroot and the prefix only: the machine's own .pc files describe
# Linux libraries (cpp-httplib's would switch the viewer on).
set(ENV{PKG_CONFIG_LIBDIR} "/usr/${QZCACHE_MINGW_TRIPLE}/lib/pkgconfig")
if(QZCACHE_WINDOWS_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} "${QZCACHE_WINDOWS_PREFIX}/lib/pkgconfig:$ENV{PKG_CONFIG_LIBDIR}")
endif()

# The C and C++ runtimes and winpthread go into each binary, so that the DLL and the programs
# import only system DLLs and run from any folder.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# wine64 lives in wine's own folder, not on the PATH.
find_program(QZCACHE_WINE64 wine64 PATHS /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine
  NO_CMAKE_FIND_ROOT_PATH)
if(QZCACHE_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QZCACHE_WINE64})
endif()

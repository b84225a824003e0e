# CMake toolchain for 64-bit Windows with Debian's MinGW-w64 and the libraries scripts/windows
# builds into its cache (OpenSSL, MariaDB Connector/C, GoogleTest, Qt, the JSON headers).
#
# The cache is named by the cache variable KELVANE_WINDOWS_CACHE, else by the environment
# variable of that name, else it is the default of scripts/windows. Test programs run under
# wine64; ctest and gtest_discover_tests go through CMAKE_CROSSCOMPILING_EMULATOR for that, and
# the Wine prefix and the DLL search path come from the environment (WINEPREFIX, WINEPATH: see
# kelvane_windows_wine_prefix and kelvane_windows_run in scripts/lib-windows.sh).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The posix thread model: std::thread, std::mutex and Qt's threads need it (the win32 model of
# Debian's MinGW has no C++11 threads). Its programs need libwinpthread-1.dll beside them.
set(KELVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER /usr/bin/${KELVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${KELVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER /usr/bin/${KELVANE_MINGW_TRIPLE}-windres)
# CMake derives the binutils from the compiler's name, which the -posix suffix defeats; the
# host's ar and ranlib know no COFF objects.
set(CMAKE_AR /usr/bin/${KELVANE_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${KELVANE_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_NM /usr/bin/${KELVANE_MINGW_TRIPLE}-nm CACHE FILEPATH "")
set(CMAKE_OBJDUMP /usr/bin/${KELVANE_MINGW_TRIPLE}-objdump CACHE FILEPATH "")
set(CMAKE_STRIP /usr/bin/${KELVANE_MINGW_TRIPLE}-strip CACHE FILEPATH "")

if(NOT KELVANE_WINDOWS_CACHE)
  if(DEFINED ENV{KELVANE_WINDOWS_CACHE} AND NOT "$ENV{KELVANE_WINDOWS_CACHE}" STREQUAL "")
    set(KELVANE_WINDOWS_CACHE "$ENV{KELVANE_WINDOWS_CACHE}")
  elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(KELVANE_WINDOWS_CACHE "$ENV{XDG_CACHE_HOME}/kelvane-windows")
  else()
    set(KELVANE_WINDOWS_CACHE "$ENV{HOME}/.cache/kelvane-windows")
  endif()
endif()
set(KELVANE_WINDOWS_CACHE "${KELVANE_WINDOWS_CACHE}" CACHE PATH
    "Where scripts/windows installed the Windows libraries")
# try_compile projects read this file again; they must see the same cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KELVANE_WINDOWS_CACHE)

# One prefix per library. Only these and MinGW's own folder are searched for libraries,
# headers and packages, so nothing of the Linux host leaks into the build; programs (moc, rcc,
# uic, pkg-config, ninja) are the host's.
set(KELVANE_WINDOWS_PREFIXES)
foreach(lib IN ITEMS qt6-base mariadb-connector-c openssl googletest nlohmann_json)
  list(APPEND KELVANE_WINDOWS_PREFIXES "${KELVANE_WINDOWS_CACHE}/${lib}")
endforeach()
set(CMAKE_FIND_ROOT_PATH ${KELVANE_WINDOWS_PREFIXES} /usr/${KELVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config (the project finds libmariadb with it) sees the cross-built .pc files only.
set(_kelvane_pc_dirs)
foreach(prefix IN LISTS KELVANE_WINDOWS_PREFIXES)
  list(APPEND _kelvane_pc_dirs "${prefix}/lib/pkgconfig" "${prefix}/lib64/pkgconfig")
endforeach()
string(REPLACE ";" ":" _kelvane_pc_dirs "${_kelvane_pc_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${_kelvane_pc_dirs}")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_USE_CMAKE_PREFIX_PATH OFF)

# The Qt this builds against was built with Debian's host tools of the same version.
if(NOT QT_HOST_PATH)
  set(QT_HOST_PATH /usr CACHE PATH "")
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
endif()

# Test programs run under Wine. Debian puts the 64-bit loader outside PATH.
if(EXISTS /usr/lib/wine/wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR wine64)
endif()
# gtest_discover_tests lists a test program's tests by running it. At build time (its default)
# that would need Wine, a prefix and the DLL path during every build; at ctest time it runs in
# the environment the tests get anyway.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

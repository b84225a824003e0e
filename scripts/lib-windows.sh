# The Windows steps of scripts/windows: MinGW-w64, Wine, and the libraries Kelvane links,
# cross-built from Debian's source packages into a cache outside the checkout. Source it after
# lib.sh; do not run it.
# shellcheck shell=bash
#
# Cache layout (KELVANE_WINDOWS_CACHE):
#   downloads/           what apt-get source fetched (.dsc, .orig and .debian tarballs)
#   src/NAME/            the unpacked source, Debian's patches applied
#   build/NAME/          the build tree
#   NAME/                the installed library, the prefix the toolchain file searches, with
#                        .kelvane-stamp naming the Debian source version and the recipe number
# NAME is openssl, mariadb-connector-c, googletest, qt6-base; nlohmann_json/ only points at the
# host's JSON headers. downloads/, src/ and build/ are removed after a good install unless
# KELVANE_WINDOWS_KEEP_SOURCES=1.

KELVANE_WINDOWS_CACHE="${KELVANE_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvane-windows}"
export KELVANE_WINDOWS_CACHE
KELVANE_WINDOWS_TOOLCHAIN="$KELVANE_ROOT/cmake/mingw-w64-x86_64.cmake"
KELVANE_MINGW_TRIPLE=x86_64-w64-mingw32
# Debian puts the 64-bit Wine loader outside PATH; the wine wrapper would look for a 32-bit
# Wine first.
KELVANE_WINE=/usr/lib/wine/wine64

# The cross compilers (posix threads), the Wine that runs the results, NSIS for the installer,
# Debian's host Qt tools (moc, rcc, uic) for the cross-built Qt, dpkg-dev for apt-get source,
# Ninja, and the virtual display, xdotool and ImageMagick to look at a window under Wine. The
# X libraries and fonts-wine are what Wine only recommends but its window driver needs to draw
# text and windows; nsis on its own pulls in nothing of this.
# shellcheck disable=SC2034 # used by scripts/windows
KELVANE_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64 fonts-wine libxrender1 libxcursor1 libxi6 libxrandr2 libxinerama1 libxfixes3
  libxcomposite1 nsis qt6-base-dev-tools qt6-base-dev dpkg-dev ninja-build cmake libgtest-dev
  libgmock-dev nlohmann-json3-dev xvfb xauth xdotool imagemagick)

# What was reused and built, for the closing summary.
KELVANE_WINDOWS_SUMMARY=()

_kelvane_as_root() {
  if ((EUID == 0)); then "$@"; else sudo "$@"; fi
}

# kelvane_windows_add_deb_src: makes Debian's source packages known to apt, once. The entry
# mirrors the binary one of debian.sources; apt-get update runs only when it was just added.
kelvane_windows_add_deb_src() {
  local file=/etc/apt/sources.list.d/kelvane-deb-src.sources
  [[ -e "$file" ]] && return 0
  local entry
  entry="# Debian's source packages, for Kelvane's scripts/windows.
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
  echo "Adding $file and updating apt's lists"
  printf '%s\n' "$entry" | _kelvane_as_root tee "$file.kelvane-new" >/dev/null
  _kelvane_as_root mv "$file.kelvane-new" "$file"
  _kelvane_as_root apt-get -o DPkg::Lock::Timeout=900 update -qq
}

# _kelvane_source_versions NAME: the versions of source package NAME apt knows, newest first.
_kelvane_source_versions() {
  apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u -r -V
}

# kelvane_windows_fetch NAME STAMP_FILE RECIPE: unpacks the newest fetchable version of source
# package NAME into src/NAME (Debian's patches applied) and prints that version. Prints
# "reuse VERSION" instead, fetching nothing, when STAMP_FILE already names that version and
# RECIPE. A mirror may list a version whose files it does not (yet) serve, as the security
# archive's source pool can: that version is passed over for the next one, with a warning.
kelvane_windows_fetch() {
  local name="$1" stamp_file="$2" recipe="$3" version stamp="" dsc
  stamp="$(cat "$stamp_file" 2>/dev/null || true)"
  local downloads="$KELVANE_WINDOWS_CACHE/downloads" src="$KELVANE_WINDOWS_CACHE/src/$name"
  mkdir -p "$downloads"
  local versions
  versions="$(_kelvane_source_versions "$name")"
  if [[ -z "$versions" ]]; then
    echo "apt knows no source package $name (is the deb-src entry there?)" >&2
    return 1
  fi
  while read -r version; do
    if [[ "$stamp" == "$name $version recipe $recipe" ]]; then
      echo "reuse $version"
      return 0
    fi
    # apt-get's complaints go to a log: a version passed over is only worth one line.
    if (cd "$downloads" && apt-get source --download-only -qq "$name=$version" </dev/null) \
      >"$downloads/$name.fetch.log" 2>&1; then
      # The .dsc is named without the epoch.
      dsc="$downloads/${name}_${version#*:}.dsc"
      rm -rf "$src"
      mkdir -p "$(dirname "$src")"
      dpkg-source -x "$dsc" "$src" </dev/null >"$downloads/$name.unpack.log" 2>&1 || {
        cat "$downloads/$name.unpack.log" >&2
        return 1
      }
      echo "$version"
      return 0
    fi
    echo "Warning: the mirror does not serve $name $version's source; trying an older one" >&2
  done <<<"$versions"
  cat "$downloads/$name.fetch.log" >&2
  echo "No version of $name's source could be fetched" >&2
  return 1
}

# kelvane_windows_step NAME SOURCE_PACKAGE RECIPE BUILD_FUNCTION: builds one library into
# NAME/ of the cache unless its stamp says it is there already. BUILD_FUNCTION runs with the
# unpacked source, build folder and prefix as arguments and must install into the prefix; the
# stamp is written only after it succeeded, so a failed or interrupted build is redone next
# time. The prefix is emptied first so nothing of an older build stays behind.
kelvane_windows_step() {
  local name="$1" package="$2" recipe="$3" build_function="$4"
  local prefix="$KELVANE_WINDOWS_CACHE/$name" fetched version
  local src="$KELVANE_WINDOWS_CACHE/src/$package" build="$KELVANE_WINDOWS_CACHE/build/$name"
  local stamp_file="$prefix/.kelvane-stamp"
  fetched="$(kelvane_windows_fetch "$package" "$stamp_file" "$recipe")"
  if [[ "$fetched" == reuse\ * ]]; then
    KELVANE_WINDOWS_SUMMARY+=("$name ${fetched#reuse } reused")
    return 0
  fi
  version="$fetched"
  echo "== Building $name from $package $version (recipe $recipe)"
  rm -rf "$prefix" "$build"
  mkdir -p "$prefix" "$build"
  local start=$SECONDS
  "$build_function" "$src" "$build" "$prefix"
  local minutes
  minutes="$(awk -v s=$((SECONDS - start)) 'BEGIN { printf "%.1f", s / 60 }')"
  echo "$package $version recipe $recipe" >"$stamp_file"
  KELVANE_WINDOWS_SUMMARY+=("$name $version built in $minutes min")
  echo "== $name built in $minutes min"
  if [[ "${KELVANE_WINDOWS_KEEP_SOURCES:-0}" != 1 ]]; then
    rm -rf "$build"
    _kelvane_windows_drop_source "$package"
  fi
}

# Removes a source package's unpacked tree and downloads once no build needs them any more
# (dpkg-source also leaves a link to the .orig tarball beside the tree).
_kelvane_windows_drop_source() {
  local package="$1"
  rm -rf "$KELVANE_WINDOWS_CACHE/src/$package" "$KELVANE_WINDOWS_CACHE/src/${package}_"*
  rm -f "$KELVANE_WINDOWS_CACHE/downloads/${package}_"* \
    "$KELVANE_WINDOWS_CACHE/downloads/$package".{fetch,unpack}.log
}

# _kelvane_windows_configure SOURCE BUILD CMAKE_ARGS...: configures a CMake project for
# Windows, Release, with Ninja and the project's toolchain; on failure the log's end.
_kelvane_windows_configure() {
  local src="$1" build="$2"
  shift 2
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$KELVANE_WINDOWS_TOOLCHAIN" \
    -DKELVANE_WINDOWS_CACHE="$KELVANE_WINDOWS_CACHE" -DCMAKE_BUILD_TYPE=Release "$@" \
    >"$build/configure.log" 2>&1 || {
    tail -n 60 "$build/configure.log" >&2
    return 1
  }
}

# _kelvane_windows_ninja BUILD [TARGET...]: builds into BUILD/build.log; on failure the first
# failed steps, so the reason is not lost in the log of a thousand steps.
_kelvane_windows_ninja() {
  local build="$1"
  shift
  ninja -C "$build" -j "$(nproc)" "$@" >"$build/build.log" 2>&1 || {
    grep -B 5 -A 30 -m 3 "FAILED:" "$build/build.log" >&2 || tail -n 60 "$build/build.log" >&2
    return 1
  }
}

# OpenSSL's recipe: the two shared libraries (libcrypto-3-x64.dll, libssl-3-x64.dll), their
# import libraries, headers and .pc files; no openssl program, tests or manuals (3.0 knows no
# no-apps or no-docs: build_libs and install_dev leave them out). LIBS and INSTALL_LIBS are
# emptied because "shared" also compiles every file a second time for the static libraries,
# which nothing here links: that halves the build. Connector/C
# takes its TLS from it rather than from Schannel, so certificate checks, revocation lists and
# fingerprint pinning behave as on Linux, and Kelvane's checksums use its SHA-256. The posix
# compilers, as everywhere, so all DLLs share one runtime.
KELVANE_OPENSSL_RECIPE=2
_kelvane_windows_build_openssl() {
  local src="$1" build="$2" prefix="$3" tool="/usr/bin/$KELVANE_MINGW_TRIPLE"
  # OpenSSL builds in its source tree; the build folder only holds the logs.
  (
    cd "$src"
    ./Configure mingw64 shared no-tests --prefix="$prefix" --libdir=lib \
      --openssldir="$prefix/ssl" CC="$tool-gcc-posix" AR="$tool-ar" RANLIB="$tool-ranlib" \
      RC="$tool-windres" >"$build/configure.log" 2>&1 &&
      make -j "$(nproc)" LIBS= INSTALL_LIBS= build_libs >"$build/build.log" 2>&1 &&
      make LIBS= INSTALL_LIBS= install_dev >"$build/install.log" 2>&1
  ) || {
    tail -n 40 "$build"/*.log >&2
    return 1
  }
}

# kelvane_windows_build_openssl: OpenSSL into openssl/.
kelvane_windows_build_openssl() {
  kelvane_windows_step openssl openssl "$KELVANE_OPENSSL_RECIPE" _kelvane_windows_build_openssl
}

# Connector/C's recipe, from the libmariadb/ folder of the mariadb source package: libmariadb.dll
# in bin/ with its import library, the client headers in include/mariadb (as on Debian, so
# <mysql.h> is found the same way), and the authentication plugins that are not built in as
# DLLs in bin/plugin/. TLS comes from the OpenSSL above. GSSAPI (SSPI on Windows) is built in
# only: its DLL would be a second copy. Off: the unit tests, curl (remote_io) and zstd.
KELVANE_CONNECTOR_RECIPE=1
_kelvane_windows_build_connector() {
  local src="$1/libmariadb" build="$2" prefix="$3"
  _kelvane_windows_configure "$src" "$build" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DINSTALL_BINDIR=bin -DINSTALL_LIBDIR=lib -DINSTALL_PLUGINDIR=bin/plugin \
    -DINSTALL_INCLUDEDIR=include/mariadb \
    -DWITH_SSL=OPENSSL -DOPENSSL_ROOT_DIR="$KELVANE_WINDOWS_CACHE/openssl" \
    -DWITH_UNIT_TESTS=OFF -DWITH_CURL=OFF -DWITH_EXTERNAL_ZLIB=OFF \
    -DCLIENT_PLUGIN_REMOTE_IO=OFF -DCLIENT_PLUGIN_AUTH_GSSAPI_CLIENT=STATIC || return 1
  _kelvane_windows_ninja "$build" install || return 1
  # On Windows the install puts the DLL beside the import library, names that "lib" +
  # "libmariadb", and writes no .pc file. The project finds the library with pkg-config as
  # -lmariadb, as on Linux; the static client library is removed so nothing links it by
  # mistake.
  mv "$prefix/lib/libmariadb.dll" "$prefix/bin/"
  mv "$prefix/lib/liblibmariadb.dll.a" "$prefix/lib/libmariadb.dll.a"
  rm -f "$prefix/lib/libmariadbclient.a"
  local version
  version="$(sed -n 's/^#define MARIADB_PACKAGE_VERSION "\(.*\)"/\1/p' \
    "$prefix/include/mariadb/mariadb_version.h")"
  mkdir -p "$prefix/lib/pkgconfig"
  cat >"$prefix/lib/pkgconfig/libmariadb.pc" <<EOF
prefix=$prefix
includedir=\${prefix}/include/mariadb
libdir=\${prefix}/lib

Name: libmariadb
Version: $version
Description: MariaDB Connector/C dynamic library (MinGW-w64)
Cflags: -I\${includedir}
Libs: -L\${libdir} -lmariadb
Libs.private: -lssl -lcrypto -lws2_32 -lshlwapi -lcrypt32 -lsecur32
EOF
}

# kelvane_windows_build_connector: MariaDB Connector/C into mariadb-connector-c/. Its stamp
# names the OpenSSL it was built with, so a rebuilt OpenSSL rebuilds it too.
kelvane_windows_build_connector() {
  local openssl
  openssl="$(cat "$KELVANE_WINDOWS_CACHE/openssl/.kelvane-stamp")"
  kelvane_windows_step mariadb-connector-c mariadb "$KELVANE_CONNECTOR_RECIPE ($openssl)" \
    _kelvane_windows_build_connector
}

# GoogleTest's recipe: GoogleTest and GoogleMock as static libraries with their CMake package,
# from the sources libgtest-dev puts in /usr/src/googletest (the host's version, so the tests
# compile against the same API on both systems).
KELVANE_GTEST_RECIPE=1
_kelvane_windows_build_gtest() {
  local build="$2" prefix="$3"
  _kelvane_windows_configure /usr/src/googletest "$build" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
    -Dgtest_disable_pthreads=OFF || return 1
  _kelvane_windows_ninja "$build" install || return 1
}

# kelvane_windows_build_gtest: GoogleTest into googletest/. Its version is libgtest-dev's.
kelvane_windows_build_gtest() {
  local name=googletest version stamp prefix="$KELVANE_WINDOWS_CACHE/googletest"
  version="$(dpkg-query -W -f='${Version}' libgtest-dev)"
  stamp="googletest $version recipe $KELVANE_GTEST_RECIPE"
  if [[ "$(cat "$prefix/.kelvane-stamp" 2>/dev/null)" == "$stamp" ]]; then
    KELVANE_WINDOWS_SUMMARY+=("$name $version reused")
    return 0
  fi
  echo "== Building $name from /usr/src/googletest $version (recipe $KELVANE_GTEST_RECIPE)"
  local build="$KELVANE_WINDOWS_CACHE/build/$name" start=$SECONDS minutes
  rm -rf "$prefix" "$build"
  mkdir -p "$prefix" "$build"
  _kelvane_windows_build_gtest /usr/src/googletest "$build" "$prefix"
  echo "$stamp" >"$prefix/.kelvane-stamp"
  minutes="$(awk -v s=$((SECONDS - start)) 'BEGIN { printf "%.1f", s / 60 }')"
  KELVANE_WINDOWS_SUMMARY+=("$name $version built in $minutes min")
  if [[ "${KELVANE_WINDOWS_KEEP_SOURCES:-0}" != 1 ]]; then rm -rf "$build"; fi
}

# kelvane_windows_link_json: nlohmann/json is header-only, so the cross build uses the host
# package's headers. Its CMake package names its include folder relative to itself, and
# pointing the build at /usr would put the host's /usr/include (glibc's headers) on the
# compiler's path; so nlohmann_json/ in the cache is a prefix of links to just the package's
# CMake files and its nlohmann/ header folder.
kelvane_windows_link_json() {
  local prefix="$KELVANE_WINDOWS_CACHE/nlohmann_json" file
  rm -rf "$prefix"
  mkdir -p "$prefix/include" "$prefix/share/cmake/nlohmann_json"
  ln -s /usr/include/nlohmann "$prefix/include/nlohmann"
  for file in /usr/share/cmake/nlohmann_json/*.cmake; do
    ln -s "$file" "$prefix/share/cmake/nlohmann_json/"
  done
}

# Qt's recipe. Only what a Widgets program and its QtTest-based tests need, to keep the build
# short: no SQL, network, D-Bus, OpenGL/Vulkan, XML, printing, Concurrent, image format plugins,
# nor the direct2d platform plugin. OpenGL takes all three of its switches: FEATURE_opengl=OFF
# alone leaves Windows' dynamic OpenGL on, and the platform plugin then fails to compile.
# DirectWrite goes with direct2d: Qt 6.4 compiles its DirectWrite font database only when
# direct2d is on, yet the platform plugin links it whenever directwrite3 is, so the plugin
# would not link. Fonts then come through GDI, Qt 6.4's default engine on Windows anyway. The
# third-party libraries Qt carries are built in, so the DLLs depend on nothing but Windows and
# the MinGW runtime. Debian's source lacks the Wintab headers, hence no tablet events. moc, rcc
# and uic are Debian's host tools of the same version. QtTest costs 37 of the 973 steps.
KELVANE_QT_RECIPE=3
_kelvane_windows_build_qt() {
  local src="$1" build="$2" prefix="$3"
  _kelvane_windows_configure "$src" "$build" \
    -DBUILD_SHARED_LIBS=ON -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DQT_BUILD_MANUAL_TESTS=OFF -DQT_BUILD_TOOLS_WHEN_CROSSCOMPILING=OFF \
    -DFEATURE_gui=ON -DFEATURE_widgets=ON -DFEATURE_testlib=ON \
    -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_xml=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF \
    -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_opengl_dynamic=OFF -DFEATURE_dynamicgl=OFF \
    -DFEATURE_vulkan=OFF -DFEATURE_direct2d=OFF -DFEATURE_directwrite=OFF \
    -DFEATURE_directwrite3=OFF \
    -DFEATURE_imageformatplugin=ON -DFEATURE_gif=OFF -DFEATURE_ico=OFF -DFEATURE_jpeg=OFF \
    -DFEATURE_tabletevent=OFF -DFEATURE_androiddeployqt=OFF -DFEATURE_pkg_config=OFF \
    -DFEATURE_icu=OFF -DFEATURE_glib=OFF -DFEATURE_zstd=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_freetype=OFF \
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF || return 1
  # The number of build steps, to keep an eye on what the switches above save.
  echo "Qt: $(ninja -C "$build" -t commands | wc -l) build steps"
  _kelvane_windows_ninja "$build" || return 1
  ninja -C "$build" install >"$build/install.log" 2>&1 || {
    tail -n 40 "$build/install.log" >&2
    return 1
  }
}

# kelvane_windows_build_qt: Qt 6 (Core, Gui, Widgets, Test, the Windows platform plugin and
# style) into qt6-base/.
kelvane_windows_build_qt() {
  kelvane_windows_step qt6-base qt6-base "$KELVANE_QT_RECIPE" _kelvane_windows_build_qt
}

# kelvane_windows_deps: everything a Windows build needs, each library built once (see
# above), then a one-line summary of what was reused and what was built.
kelvane_windows_deps() {
  kelvane_install_packages "${KELVANE_WINDOWS_PACKAGES[@]}"
  kelvane_windows_add_deb_src
  mkdir -p "$KELVANE_WINDOWS_CACHE"
  kelvane_windows_build_openssl
  kelvane_windows_build_connector
  kelvane_windows_build_gtest
  kelvane_windows_link_json
  kelvane_windows_build_qt
  kelvane_windows_check_deps
  rmdir "$KELVANE_WINDOWS_CACHE/src" "$KELVANE_WINDOWS_CACHE/build" \
    "$KELVANE_WINDOWS_CACHE/downloads" 2>/dev/null || true
  local summary
  summary="$(printf '%s; ' "${KELVANE_WINDOWS_SUMMARY[@]}")"
  echo "Windows libraries in $KELVANE_WINDOWS_CACHE: ${summary%; }"
}

# kelvane_windows_check_deps: the cache's smoke check. Every file a Windows build includes,
# links or deploys must be there, and every DLL must import only DLLs of the deployed set or of
# Windows itself (as Wine provides it), so that a stray dependency (a zlib1.dll, a libzstd, the
# win32-thread runtime) shows up here rather than as a program that will not start.
kelvane_windows_check_deps() {
  local c="$KELVANE_WINDOWS_CACHE" file missing=0 gcc_dir
  gcc_dir="$(dirname "$("/usr/bin/$KELVANE_MINGW_TRIPLE-g++-posix" -print-file-name=libstdc++-6.dll)")"
  local dlls=("$gcc_dir/libstdc++-6.dll" "$gcc_dir/libgcc_s_seh-1.dll"
    "/usr/$KELVANE_MINGW_TRIPLE/lib/libwinpthread-1.dll"
    "$c/openssl/bin/libcrypto-3-x64.dll" "$c/openssl/bin/libssl-3-x64.dll"
    "$c/mariadb-connector-c/bin/libmariadb.dll")
  local plugin
  for plugin in caching_sha2_password sha256_password client_ed25519 dialog mysql_clear_password; do
    dlls+=("$c/mariadb-connector-c/bin/plugin/$plugin.dll")
  done
  dlls+=("$c/qt6-base/bin/Qt6Core.dll" "$c/qt6-base/bin/Qt6Gui.dll"
    "$c/qt6-base/bin/Qt6Widgets.dll" "$c/qt6-base/bin/Qt6Test.dll"
    "$c/qt6-base/plugins/platforms/qwindows.dll"
    "$c/qt6-base/plugins/styles/qwindowsvistastyle.dll")
  for file in "${dlls[@]}" "$c/openssl/include/openssl/evp.h" \
    "$c/openssl/lib/libcrypto.dll.a" "$c/mariadb-connector-c/lib/libmariadb.dll.a" \
    "$c/mariadb-connector-c/lib/pkgconfig/libmariadb.pc" \
    "$c/mariadb-connector-c/include/mariadb/mysql.h" \
    "$c/mariadb-connector-c/include/mariadb/errmsg.h" \
    "$c/mariadb-connector-c/include/mariadb/mariadb_version.h" \
    "$c/googletest/lib/libgtest.a" "$c/googletest/lib/libgmock.a" \
    "$c/googletest/lib/cmake/GTest/GTestConfig.cmake" \
    "$c/qt6-base/lib/cmake/Qt6/Qt6Config.cmake" \
    "$c/nlohmann_json/include/nlohmann/json.hpp" \
    "$c/nlohmann_json/share/cmake/nlohmann_json/nlohmann_jsonConfig.cmake"; do
    if [[ ! -e "$file" ]]; then
      echo "Missing from the Windows cache: $file" >&2
      missing=1
    fi
  done
  ((missing == 0)) || return 1
  local ours=" " system_dir=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows import bad=0
  for file in "${dlls[@]}"; do ours+="$(basename "${file,,}") "; done
  for file in "${dlls[@]}"; do
    while read -r import; do
      import="${import,,}"
      # api-ms-win-*/ext-ms-* are API sets: Windows (and Wine) resolve them without a file.
      [[ "$import" == api-ms-win-* || "$import" == ext-ms-* ]] && continue
      if [[ "$ours" != *" $import "* && ! -e "$system_dir/$import" ]]; then
        echo "$(basename "$file") needs $import, which is neither deployed nor part of Windows" >&2
        bad=1
      fi
    done < <("/usr/bin/$KELVANE_MINGW_TRIPLE-objdump" -p "$file" | sed -n 's/^\tDLL Name: //p')
  done
  ((bad == 0)) || return 1
  echo "Windows cache checked: ${#dlls[@]} DLLs, all their imports resolved"
}

# kelvane_windows_configure BUILD_DIR [cmake options...]: configures the project for Windows
# in BUILD_DIR with Ninja, the toolchain file and the cache's libraries (RelWithDebInfo unless
# the options say otherwise). Test programs then run under wine64 through ctest; set up a
# prefix with kelvane_windows_wine_prefix first and put the DLL folders on WINEPATH (see
# kelvane_windows_dll_dirs).
kelvane_windows_configure() {
  local dir="$1"
  shift
  cmake -S "$KELVANE_ROOT" -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$KELVANE_WINDOWS_TOOLCHAIN" \
    -DKELVANE_WINDOWS_CACHE="$KELVANE_WINDOWS_CACHE" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
}

# kelvane_windows_dll_dirs: prints, one a line, the folders holding the DLLs a Kelvane program
# loads at run time: the MinGW runtime (libstdc++-6, libgcc_s_seh-1, libwinpthread-1), OpenSSL,
# Connector/C and Qt. Qt finds its plugins relative to the Qt6Core.dll it loaded (qt6-base/
# plugins/), so a program run with these on WINEPATH works undeployed; Connector/C's plugins
# are found only where the program points MYSQL_PLUGIN_DIR, or beside the .exe.
kelvane_windows_dll_dirs() {
  local gcc_dir
  # The posix flavour's runtime: the win32 flavour's libstdc++ has no threads.
  gcc_dir="$(dirname "$("/usr/bin/$KELVANE_MINGW_TRIPLE-g++-posix" -print-file-name=libstdc++-6.dll)")"
  printf '%s\n' "$gcc_dir" "/usr/$KELVANE_MINGW_TRIPLE/lib" \
    "$KELVANE_WINDOWS_CACHE/openssl/bin" "$KELVANE_WINDOWS_CACHE/mariadb-connector-c/bin" \
    "$KELVANE_WINDOWS_CACHE/qt6-base/bin"
}

# kelvane_windows_deploy DIR [widgets]: copies into DIR (where the .exe is) every DLL a Kelvane
# build loads: the MinGW runtime, libcrypto/libssl, libmariadb and its plugin/ folder, and with
# "widgets" Qt's Core, Gui, Widgets and its platforms/ and styles/ plugins. Windows looks for
# DLLs beside the program first, and Qt for its plugins there too.
kelvane_windows_deploy() {
  local dir="$1" what="${2:-}" qt="$KELVANE_WINDOWS_CACHE/qt6-base" gcc_dir
  gcc_dir="$(dirname "$("/usr/bin/$KELVANE_MINGW_TRIPLE-g++-posix" -print-file-name=libstdc++-6.dll)")"
  mkdir -p "$dir/plugin"
  cp "$gcc_dir/libstdc++-6.dll" "$gcc_dir/libgcc_s_seh-1.dll" \
    "/usr/$KELVANE_MINGW_TRIPLE/lib/libwinpthread-1.dll" \
    "$KELVANE_WINDOWS_CACHE/openssl/bin/libcrypto-3-x64.dll" \
    "$KELVANE_WINDOWS_CACHE/openssl/bin/libssl-3-x64.dll" \
    "$KELVANE_WINDOWS_CACHE/mariadb-connector-c/bin/libmariadb.dll" "$dir/"
  cp "$KELVANE_WINDOWS_CACHE/mariadb-connector-c/bin/plugin/"*.dll "$dir/plugin/"
  if [[ "$what" == widgets ]]; then
    mkdir -p "$dir/platforms" "$dir/styles"
    cp "$qt/bin/Qt6Core.dll" "$qt/bin/Qt6Gui.dll" "$qt/bin/Qt6Widgets.dll" "$dir/"
    cp "$qt/plugins/platforms/qwindows.dll" "$dir/platforms/"
    cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$dir/styles/"
  fi
}

# kelvane_windows_wine_prefix DIR [D_FOLDER]: a fresh 64-bit Wine prefix in DIR for one run,
# exported as WINEPREFIX for everything that follows (ctest's emulator included). Mono and
# Gecko are not installed (no prompt, no download); Wine's own messages are off. With
# D_FOLDER, the prefix's drive d: is that folder. The prefix's wineserver and whatever still
# runs in it are stopped when the script ends. The prefix holds C:\windows (my.ini goes
# there) and is owned by the invoking user, as Wine insists.
kelvane_windows_wine_prefix() {
  local dir="$1" d_folder="${2:-}"
  mkdir -p "$dir"
  dir="$(cd "$dir" && pwd)"
  export WINEPREFIX="$dir" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  kelvane_at_exit _kelvane_windows_stop_wine "$dir"
  "$KELVANE_WINE" wineboot -i >"$dir/wineboot.log" 2>&1 || {
    cat "$dir/wineboot.log" >&2
    return 1
  }
  # wineboot returns before the prefix's services have written everything; the server ends
  # once they have.
  WINEPREFIX="$dir" /usr/lib/wine/wineserver64 -w
  # Debian's 64-bit-only Wine does not find fonts-wine's fonts (Tahoma, Wine's dialog font,
  # among them), so a Qt window would fall back to the first font it finds, a serif. Fonts in
  # C:\windows\Fonts are loaded at every start.
  local font
  for font in /usr/share/wine/fonts/*.ttf; do
    ln -sf "$font" "$dir/drive_c/windows/Fonts/"
  done
  if [[ -n "$d_folder" ]]; then
    mkdir -p "$d_folder"
    ln -sfn "$(cd "$d_folder" && pwd)" "$dir/dosdevices/d:"
  fi
}

_kelvane_windows_stop_wine() {
  WINEPREFIX="$1" /usr/lib/wine/wineserver64 -k 2>/dev/null || true
}

# kelvane_windows_run DLL_DIR... -- PROGRAM [ARGS...]: runs a Windows program under wine64 in
# the current WINEPREFIX with the DLL folders searched after the program's own (WINEPATH), and
# returns its exit status. PROGRAM and the folders are Unix paths.
kelvane_windows_run() {
  local dirs=() path
  while (($# > 0)) && [[ "$1" != -- ]]; do
    dirs+=("$1")
    shift
  done
  shift
  path="$(_kelvane_windows_path "${dirs[@]}")"
  WINEPATH="$path" "$KELVANE_WINE" "$@"
}

# _kelvane_windows_path DIR...: the folders as a Windows search path. Wine's drive z: is /.
_kelvane_windows_path() {
  local out="" dir
  for dir in "$@"; do
    [[ "$dir" == /* ]] || dir="$PWD/$dir"
    out+="${out:+;}Z:${dir//\//\\}"
  done
  printf '%s' "$out"
}

# kelvane_windows_wine_path: exports WINEPATH with the folders of kelvane_windows_dll_dirs, so
# that ctest (and gtest_discover_tests) find the DLLs of a test program that was not deployed.
kelvane_windows_wine_path() {
  local dirs
  mapfile -t dirs < <(kelvane_windows_dll_dirs)
  WINEPATH="$(_kelvane_windows_path "${dirs[@]}")"
  export WINEPATH
}

# kelvane_windows_build_project: the Windows build of Kelvane in build-windows/ (warnings as
# errors, with its tests), build-windows/deploy/ holding kelvane.exe and everything it loads
# (exactly what the installer installs), and build-windows/kelvane-setup.exe, the installer.
kelvane_windows_build_project() {
  local build="$KELVANE_ROOT/build-windows" version
  kelvane_windows_configure "$build" -DKELVANE_WERROR=ON -DKELVANE_BUILD_TESTS=ON >/dev/null
  cmake --build "$build" -j "$(nproc)"
  rm -rf "$build/deploy"
  mkdir -p "$build/deploy"
  cp "$build/kelvane.exe" "$build/deploy/"
  kelvane_windows_deploy "$build/deploy" widgets
  # Debugging symbols stay in the build tree; what is installed is a quarter of the size.
  find "$build/deploy" \( -name '*.exe' -o -name '*.dll' \) -exec \
    "/usr/bin/$KELVANE_MINGW_TRIPLE-strip" --strip-unneeded {} +
  cp "$KELVANE_ROOT/README.md" "$build/deploy/README.md"
  version="$(sed -n 's/^project(Kelvane VERSION \([0-9.]*\).*/\1/p' "$KELVANE_ROOT/CMakeLists.txt")"
  makensis -V2 -DVERSION="$version" -DDEPLOY="$build/deploy" \
    -DOUTFILE="$build/kelvane-setup.exe" "$KELVANE_ROOT/packaging/kelvane.nsi"
  echo "Windows build: $build/deploy/kelvane.exe and $build/kelvane-setup.exe"
}

# kelvane_windows_test_project: the Windows build's tests under Wine, in a Wine prefix of
# their own whose drive d: is a temporary folder: the unit tests (ctest in build-windows/), the
# command line end to end against a private server on 127.0.0.1 (tests/windows_test.py),
# and the installer (installed, run, uninstalled, silently). Everything it starts is stopped
# when it ends.
kelvane_windows_test_project() {
  local build="$KELVANE_ROOT/build-windows" dir
  dir="$(mktemp -d /tmp/kelvane-windows-test.XXXXXX)"
  kelvane_at_exit rm -rf "$dir"
  kelvane_windows_wine_prefix "$dir/prefix" "$dir/d"
  echo "== Windows unit tests under Wine"
  (
    kelvane_windows_wine_path
    cd "$build" && ctest --output-on-failure --timeout 300
  )
  echo "== Windows installer, command line and window under Wine"
  _kelvane_windows_install "$build/kelvane-setup.exe"
  KELVANE_WINDOWS_DEPLOY="$build/deploy" KELVANE_WINDOWS_D="$dir/d" KELVANE_WINE="$KELVANE_WINE" \
    KELVANE_WINDOWS_INSTALLED="$WINEPREFIX/drive_c/Program Files/Kelvane/kelvane.exe" \
    python3 "$KELVANE_ROOT/tests/windows_test.py" -v
  _kelvane_windows_uninstall
}

# Installs silently and checks that the program, the uninstaller and the menu entry are there
# and the installed program runs (tests/windows_test.py opens its window).
_kelvane_windows_install() {
  local setup="$1" program_files="$WINEPREFIX/drive_c/Program Files/Kelvane" version file
  "$KELVANE_WINE" "$setup" /S
  /usr/lib/wine/wineserver64 -w
  for file in kelvane.exe uninstall.exe libmariadb.dll plugin/caching_sha2_password.dll \
    Qt6Widgets.dll platforms/qwindows.dll styles/qwindowsvistastyle.dll; do
    [[ -f "$program_files/$file" ]] || {
      echo "the installer left no $file in C:\\Program Files\\Kelvane" >&2
      return 1
    }
  done
  [[ -n "$(_kelvane_windows_menu_entry)" ]] || {
    echo "the installer made no Start-menu entry" >&2
    return 1
  }
  version="$("$KELVANE_WINE" "$program_files/kelvane.exe" --version)"
  [[ "$version" == "kelvane "* ]] || {
    echo "the installed program said \"$version\" to --version" >&2
    return 1
  }
  echo "installer: installed silently; the installed program says $version"
}

# Uninstalls silently and checks that neither the program nor its menu entry stays.
_kelvane_windows_uninstall() {
  local program_files="$WINEPREFIX/drive_c/Program Files/Kelvane"
  "$KELVANE_WINE" "$program_files/uninstall.exe" /S
  # The uninstaller copies itself away to delete its folder; it is gone once the server is idle.
  /usr/lib/wine/wineserver64 -w
  if [[ -e "$program_files/kelvane.exe" || -n "$(_kelvane_windows_menu_entry)" ]]; then
    echo "the uninstaller left the program or its menu entry behind" >&2
    return 1
  fi
  echo "installer: uninstalled silently"
}

_kelvane_windows_menu_entry() {
  find "$WINEPREFIX/drive_c/users" -path '*Start Menu/Programs/Kelvane/Kelvane.lnk' 2>/dev/null |
    head -n 1
}

# kelvane_windows_screenshots DIR: the window and its question under Wine, as the window's test
# under Wine drives them, saved into DIR as windows-window.png and windows-question.png (the
# screen trimmed to the window). Needs a build (kelvane_windows_build_project).
kelvane_windows_screenshots() {
  local out="$1" dir
  dir="$(mktemp -d /tmp/kelvane-windows-shots.XXXXXX)"
  kelvane_at_exit rm -rf "$dir"
  kelvane_windows_wine_prefix "$dir/prefix" "$dir/d"
  mkdir -p "$dir/shots" "$out"
  KELVANE_SCREENSHOT_DIR="$dir/shots" KELVANE_WINDOWS_DEPLOY="$KELVANE_ROOT/build-windows/deploy" \
    KELVANE_WINDOWS_D="$dir/d" KELVANE_WINE="$KELVANE_WINE" \
    python3 "$KELVANE_ROOT/tests/windows_test.py" Window
  convert "$dir/shots/window.png" -trim +repage "$out/windows-window.png"
  convert "$dir/shots/question.png" -trim +repage "$out/windows-question.png"
  echo "screenshots: $out/windows-window.png, $out/windows-question.png"
}

#!/usr/bin/env bash
# Cross-builds orvane-autoupdate.exe and the unit tests for Windows on Debian.
#   scripts/build-windows.sh [--package] [-DNAME=VALUE ...]   (build constants, as for CMake)
# --package also makes the zip to ship (cpack -G ZIP) in the build directory.
# Static zlib comes from Debian's MinGW package; bzip2, libzip, libcurl,
# libsodium and GoogleTest are built from Debian's own sources and cached
# outside the clone, keyed by their versions, so a second run only builds the
# product.
set -euo pipefail
cd "$(dirname "$0")/.."
make_zip=no
if [ "${1:-}" = --package ]; then make_zip=yes; shift; fi
top=$(pwd)
triple=x86_64-w64-mingw32
build_dir=${ORVANE_WINDOWS_BUILD:-$top/build-windows}
cache_root=${ORVANE_MINGW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvane-mingw}
toolchain=$top/cmake/mingw-w64-x86_64.cmake
log=$(mktemp /tmp/orvane-windows-build.XXXXXX)
trap 'rm -f "$log"' EXIT

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

need_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
      || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "windows: installing ${missing[*]}"
  $sudo apt-get install -y --no-install-recommends "${missing[@]}" >"$log" 2>&1 || {
    $sudo apt-get update -q >>"$log" 2>&1
    $sudo apt-get install -y --no-install-recommends "${missing[@]}" >>"$log" 2>&1 \
      || { cat "$log"; exit 1; }
  }
}

need_packages wine64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools \
  libz-mingw-w64-dev googletest dpkg-dev cmake ninja-build autoconf automake libtool

# Source packages: add deb-src beside the machine's own suites when missing.
ensure_deb_src() {
  if apt-cache showsrc libzip 2>/dev/null | grep -q '^Version:'; then
    return 0
  fi
  local sources=/etc/apt/sources.list.d/debian.sources
  local target=/etc/apt/sources.list.d/orvane-deb-src.sources
  if [ -f "$sources" ]; then
    sed 's/^Types: deb$/Types: deb-src/' "$sources" | $sudo tee "$target" >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
      | $sudo tee /etc/apt/sources.list.d/orvane-deb-src.list >/dev/null
  fi
  $sudo apt-get update -q >"$log" 2>&1 || { cat "$log"; exit 1; }
}

source_version() {  # the source version that apt-get source fetches
  apt-get source --print-uris "$1" 2>/dev/null \
    | awk -v name="$1" '$2 ~ "^" name "_.*[.]dsc$" {sub("^" name "_", "", $2); sub("[.]dsc$", "", $2); print $2; exit}'
}

ensure_deb_src
zip_version=$(source_version libzip)
curl_version=$(source_version curl)
bzip2_version=$(source_version bzip2)
sodium_version=$(source_version libsodium)
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
zlib_version=$(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)
[ -n "$zip_version" ] && [ -n "$curl_version" ] && [ -n "$bzip2_version" ] &&
  [ -n "$sodium_version" ] || { echo "windows: no source versions"; exit 1; }
# "schannel" in the key: libcurl builds of other TLS set-ups are never reused.
prefix=$cache_root/zip-$zip_version-bz2-$bzip2_version-curl-$curl_version-schannel
prefix=$prefix-sodium-$sodium_version-gtest-$gtest_version-z-$zlib_version
prefix=${prefix//[:~+]/_}
jobs=-j2

cmake_cross() {  # source dir, build dir, extra args...
  local src=$1 bld=$2
  shift 2
  cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_PREFIX_PATH="$prefix" "$@" >"$log" 2>&1 || { cat "$log"; exit 1; }
  cmake --build "$bld" $jobs >"$log" 2>&1 || { cat "$log"; exit 1; }
  cmake --install "$bld" >"$log" 2>&1 || { cat "$log"; exit 1; }
}

# Static zlib everywhere (Debian's MinGW package also has an import library
# for zlib1.dll, which CMake would otherwise prefer).
zlib_lib=/usr/$triple/lib/libz.a
zlib_inc=/usr/$triple/include

if [ ! -f "$prefix/.complete" ]; then
  echo "windows: building bzip2 $bzip2_version, libzip $zip_version, curl $curl_version," \
    "libsodium $sodium_version, googletest $gtest_version"
  work=$(mktemp -d /tmp/orvane-mingw-src.XXXXXX)
  (cd "$work" && apt-get source --download-only bzip2 libzip curl libsodium >"$log" 2>&1) \
    || { cat "$log"; exit 1; }
  (cd "$work" && for dsc in *.dsc; do dpkg-source --no-check -x "$dsc" >/dev/null 2>&1; done)

  # bzip2 has no cross build of its own: its library is seven C files.
  mkdir -p "$prefix/lib" "$prefix/include"
  (cd "$work"/bzip2-*/ &&
    $triple-gcc -O2 -c blocksort.c huffman.c crctable.c randtable.c compress.c decompress.c bzlib.c &&
    $triple-ar rcs "$prefix/lib/libbz2.a" ./*.o && cp bzlib.h "$prefix/include/") >"$log" 2>&1 \
    || { cat "$log"; exit 1; }

  cmake_cross "$work"/libzip-*/ "$work/build-zip" -DBUILD_SHARED_LIBS=OFF \
    -DENABLE_BZIP2=ON -DBZIP2_INCLUDE_DIR="$prefix/include" \
    -DBZIP2_LIBRARY_RELEASE="$prefix/lib/libbz2.a" -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_GNUTLS=OFF \
    -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_COMMONCRYPTO=OFF \
    -DENABLE_WINDOWS_CRYPTO=ON -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF \
    -DBUILD_DOC=OFF -DZLIB_INCLUDE_DIR="$zlib_inc" -DZLIB_LIBRARY="$zlib_lib"

  # HTTP and HTTPS only; TLS and certificate checks by Schannel against the
  # machine's own trusted roots, so no TLS library ships with the .exe.
  cmake_cross "$work"/curl-*/ "$work/build-curl" -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF \
    -DBUILD_TESTING=OFF -DHTTP_ONLY=ON -DCURL_ENABLE_SSL=ON -DCURL_USE_SCHANNEL=ON \
    -DCURL_USE_OPENSSL=OFF -DCURL_USE_MBEDTLS=OFF -DCURL_USE_WOLFSSL=OFF -DCURL_USE_BEARSSL=OFF \
    -DCURL_DISABLE_LDAP=ON \
    -DCURL_USE_LIBSSH2=OFF -DUSE_LIBIDN2=OFF -DCURL_ZLIB=OFF -DCURL_USE_LIBPSL=OFF \
    -DENABLE_THREADED_RESOLVER=ON

  # Signature checks: libsodium's own cross build, static (Debian's source
  # comes without a generated configure).
  (cd "$work"/libsodium-*/ && autoreconf -fi &&
    ./configure --host=$triple --prefix="$prefix" --disable-shared --enable-static \
      --disable-dependency-tracking &&
    make $jobs && make install) >"$log" 2>&1 || { cat "$log"; exit 1; }

  cmake_cross /usr/src/googletest "$work/build-gtest" -DBUILD_GMOCK=OFF -Dgtest_force_shared_crt=ON \
    -Dgtest_disable_pthreads=OFF

  rm -rf "$work"
  touch "$prefix/.complete"
fi

# A build directory configured against other library builds would go on
# finding those (CMake keeps where it found each package): start it afresh.
if [ -f "$build_dir/CMakeCache.txt" ] &&
   ! grep -qF "CURL_DIR:PATH=$prefix/" "$build_dir/CMakeCache.txt"; then
  rm -rf "$build_dir"
fi

# The product and its unit tests, with the constants given on the command line.
cmake -S "$top" -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" -DORVANE_MINGW_PREFIX="$prefix" \
  -DZLIB_LIBRARY_RELEASE="$zlib_lib" -DZLIB_INCLUDE_DIR="$zlib_inc" "$@" >"$log" 2>&1 || { cat "$log"; exit 1; }
cmake --build "$build_dir" $jobs --target orvane-autoupdate orvane-autoupdate-https \
  orvane-autoupdate-signed orvane_unit_tests orvane_service_probe >"$log" 2>&1 \
  || { cat "$log"; exit 1; }
echo "windows: built $build_dir/orvane-autoupdate.exe"
if [ "$make_zip" = yes ]; then
  (cd "$build_dir" && cpack -G ZIP) >"$log" 2>&1 || { cat "$log"; exit 1; }
  echo "windows: packaged $(ls "$build_dir"/orvane-autoupdate-*-win64.zip)"
fi

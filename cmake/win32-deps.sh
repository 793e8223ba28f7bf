#!/usr/bin/env bash
# The Windows libraries the 64-bit Windows build links or loads, cross-compiled once
# from Debian's own source packages with mingw-w64 and kept under build/win32-deps/:
#
#   libxml2.dll   the XML reader (no iconv, ICU, lzma, zlib, Python, network, programs)
#   libzip.dll    on zlib from libz-mingw-w64-dev (linked in), Windows crypto only
#   libcurl.dll   with Windows' own TLS (Schannel), no OpenSSL, no curl program
#   GoogleTest    static libraries for the tests
#
# Each library is built into build/win32-deps/x86_64 and marked done by a stamp named
# after its source version, so a second run does nothing and a new Debian version is
# built again. Run as root, or with sudo for the one-time apt steps.
#
#   cmake/win32-deps.sh [ROOT]     (ROOT: the checkout; default: this script's parent)
set -Eeuo pipefail

ROOT=$(cd "${1:-$(dirname "$0")/..}" && pwd)
DEPS=$ROOT/build/win32-deps
PREFIX=$DEPS/x86_64
SOURCES=$DEPS/src
STAMPS=$DEPS/stamps
TOOLCHAIN=$ROOT/cmake/mingw-w64-x86_64.cmake
JOBS=$(nproc 2>/dev/null || echo 2)
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi

step=""
trap 'echo "win32-deps: failed while $step (see $DEPS/log/)" >&2' ERR
mkdir -p "$PREFIX" "$SOURCES" "$STAMPS" "$DEPS/log"

# Source packages come from the machine's own Debian entries: a deb-src entry with the
# same suites and components is added when the machine has none.
step="finding the source packages"
ensure_deb_src() {
  if apt-get source --print-uris libxml2 >/dev/null 2>&1; then return; fi
  local list=/etc/apt/sources.list.d/qm-deb-src.sources
  step="adding $list"
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $SUDO tee "$list" >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list 2>/dev/null | sed 's/^deb /deb-src /' |
      $SUDO tee /etc/apt/sources.list.d/qm-deb-src.list >/dev/null
  fi
  step="apt-get update (for the deb-src entry)"
  $SUDO apt-get update -qq
}

# The version Debian would build from source now, e.g. "2.9.14+dfsg-1.3~deb12u6".
source_version() {
  apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -V | tail -n 1
}

# fetch PACKAGE: unpacks its Debian source (with Debian's patches) and prints the folder.
fetch() {
  local package=$1 version=$2 upstream folder
  upstream=${version#*:}
  upstream=${upstream%-*}
  upstream=${upstream%+dfsg*}
  folder=$SOURCES/$package-$upstream
  if [ ! -d "$folder" ]; then
    step="downloading the source of $package $version"
    (cd "$SOURCES" && apt-get source -qq "$package=$version" >"$DEPS/log/$package-source.log" 2>&1)
  fi
  [ -d "$folder" ] || folder=$(find "$SOURCES" -maxdepth 1 -type d -name "$package-*" | sort | tail -n 1)
  echo "$folder"
}

# cmake_build NAME SOURCE_FOLDER FLAGS...: configures, builds and installs into PREFIX.
cmake_build() {
  local name=$1 source=$2
  shift 2
  local build=$DEPS/build-$name
  rm -rf "$build"
  step="configuring $name"
  cmake -S "$source" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_PREFIX_PATH="$PREFIX" \
    "$@" >"$DEPS/log/$name-configure.log" 2>&1
  step="building $name"
  cmake --build "$build" -j"$JOBS" >"$DEPS/log/$name-build.log" 2>&1
  step="installing $name"
  cmake --install "$build" >"$DEPS/log/$name-install.log" 2>&1
  rm -rf "$build"
}

# library NAME PACKAGE FLAGS...: builds one source package unless its stamp is there.
library() {
  local name=$1 package=$2 version folder
  shift 2
  version=$(source_version "$package")
  [ -n "$version" ] || { step="looking up the source version of $package"; false; }
  if [ -f "$STAMPS/$name-$version" ]; then
    echo "win32-deps: $name $version is built"
    return
  fi
  folder=$(fetch "$package" "$version")
  local started=$SECONDS
  cmake_build "$name" "$folder" "$@"
  rm -f "$STAMPS/$name"-*
  touch "$STAMPS/$name-$version"
  echo "win32-deps: $name $version built in $((SECONDS - started)) s"
}

step="checking the toolchain"
for tool in x86_64-w64-mingw32-g++-posix cmake ninja apt-get dpkg-source; do
  command -v "$tool" >/dev/null || { step="looking for $tool (./qm deps win32 installs it)"; false; }
done
[ -f /usr/x86_64-w64-mingw32/lib/libz.a ] || { step="looking for libz-mingw-w64-dev"; false; }
ensure_deb_src

library libxml2 libxml2 -DBUILD_SHARED_LIBS=ON \
  -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_ICU=OFF -DLIBXML2_WITH_LZMA=OFF \
  -DLIBXML2_WITH_ZLIB=OFF -DLIBXML2_WITH_PYTHON=OFF -DLIBXML2_WITH_HTTP=OFF \
  -DLIBXML2_WITH_FTP=OFF -DLIBXML2_WITH_MODULES=OFF -DLIBXML2_WITH_TESTS=OFF \
  -DLIBXML2_WITH_PROGRAMS=OFF

library libzip libzip -DBUILD_SHARED_LIBS=ON \
  -DENABLE_OPENSSL=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_COMMONCRYPTO=OFF \
  -DENABLE_WINDOWS_CRYPTO=ON -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
  -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF \
  -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a \
  -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include

library curl curl -DBUILD_SHARED_LIBS=ON -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF \
  -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBPSL=OFF \
  -DUSE_LIBIDN2=OFF -DCURL_DISABLE_LDAP=ON -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF \
  -DUSE_NGHTTP2=OFF -DENABLE_UNICODE=ON

# GoogleTest is built from the source Debian installs with libgtest-dev.
gtest_version=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null || true)
[ -n "$gtest_version" ] || { step="looking for googletest (/usr/src/googletest)"; false; }
if [ -f "$STAMPS/googletest-$gtest_version" ]; then
  echo "win32-deps: googletest $gtest_version is built"
else
  started=$SECONDS
  cmake_build googletest /usr/src/googletest -DBUILD_SHARED_LIBS=OFF -Dgtest_disable_pthreads=OFF
  rm -f "$STAMPS"/googletest-*
  touch "$STAMPS/googletest-$gtest_version"
  echo "win32-deps: googletest $gtest_version built in $((SECONDS - started)) s"
fi

# The unpacked sources are not needed again: the stamps and PREFIX are the cache.
rm -rf "$SOURCES"

# zlib1.dll is not needed by the libraries above (zlib is linked into libzip.dll), but the
# package gives it ready-made for anything that links zlib as a DLL.
cp /usr/x86_64-w64-mingw32/lib/zlib1.dll "$PREFIX/bin/" 2>/dev/null || true
echo "win32-deps: $PREFIX ($(du -sh "$PREFIX" | cut -f1)); DLLs: $(cd "$PREFIX/bin" && ls *.dll | tr '\n' ' ')"

#!/usr/bin/env bash
# Builds SQLite and Crypto++ for both mingw-w64 targets from Debian's source
# packages into a cache outside the source tree. Idempotent: a target whose
# stamp file exists is not rebuilt, so a second run takes seconds.
#
#   VX_CACHE   cache root (default: ~/.cache/vestara-dc)
#
# Result, per arch (x86_64, i686):
#   $VX_CACHE/mingw/<arch>/include/{sqlite3.h,cryptopp/*.h}
#   $VX_CACHE/mingw/<arch>/lib/{libsqlite3.a,libcryptopp.a}
set -euo pipefail

CACHE="${VX_CACHE:-$HOME/.cache/vestara-dc}"
SRC="$CACHE/src"
JOBS="$(nproc)"
mkdir -p "$SRC"

fetch_source() { # package -> prints the extracted directory
  local pkg="$1" dir
  dir="$(find "$SRC" -maxdepth 1 -mindepth 1 -type d -name "$2-*" | head -n1)"
  if [[ -z "$dir" ]]; then
    (cd "$SRC" && apt-get source -qq "$pkg" >/dev/null 2>&1)
    dir="$(find "$SRC" -maxdepth 1 -mindepth 1 -type d -name "$2-*" | head -n1)"
  fi
  [[ -n "$dir" ]] || { echo "could not unpack source package $pkg" >&2; exit 1; }
  echo "$dir"
}

build_sqlite() {
  local arch="$1" prefix="$CACHE/mingw/$1"
  [[ -f "$prefix/.sqlite.done" ]] && return 0
  local src; src="$(fetch_source sqlite3 sqlite3)"
  if [[ ! -f "$SRC/sqlite-amalgamation/sqlite3.c" ]]; then
    echo "[third-party] generating the SQLite amalgamation"
    rm -rf "$SRC/sqlite-gen" && mkdir -p "$SRC/sqlite-gen"
    (cd "$SRC/sqlite-gen" && "$src/configure" --disable-tcl >/dev/null && make -s sqlite3.c >/dev/null)
    mkdir -p "$SRC/sqlite-amalgamation"
    cp "$SRC/sqlite-gen/sqlite3.c" "$SRC/sqlite-gen/sqlite3.h" "$SRC/sqlite-amalgamation/"
  fi
  echo "[third-party] building SQLite for $arch"
  mkdir -p "$prefix/include" "$prefix/lib" "$prefix/obj"
  "$arch-w64-mingw32-gcc-posix" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION \
    -c "$SRC/sqlite-amalgamation/sqlite3.c" -o "$prefix/obj/sqlite3.o"
  rm -f "$prefix/lib/libsqlite3.a"
  "$arch-w64-mingw32-ar" rcs "$prefix/lib/libsqlite3.a" "$prefix/obj/sqlite3.o"
  cp "$SRC/sqlite-amalgamation/sqlite3.h" "$prefix/include/"
  touch "$prefix/.sqlite.done"
}

# The programs use AES-GCM (the policy file) and SHA-1 (crash bundles) only,
# so the archive holds the library's files for those and what they need, not
# all of its 200: a cold cache builds in a minute, not ten per target.
CRYPTOPP_FILES=(
  cryptlib.cpp cpu.cpp allocate.cpp misc.cpp algparam.cpp fips140.cpp simple.cpp
  filters.cpp queue.cpp mqueue.cpp
  rijndael.cpp rijndael_simd.cpp rdtables.cpp sse_simd.cpp
  gcm.cpp gcm_simd.cpp authenc.cpp modes.cpp strciphr.cpp
  sha.cpp sha_simd.cpp iterhash.cpp
  cryptopp_subset.cpp
)

build_cryptopp() {
  local arch="$1" prefix="$CACHE/mingw/$1"
  [[ -f "$prefix/.cryptopp-subset.done" ]] && return 0
  local src; src="$(fetch_source libcrypto++ libcrypto++)"
  local work="$CACHE/build/cryptopp-$arch"
  echo "[third-party] building Crypto++ (AES-GCM and SHA) for $arch"
  rm -rf "$work" && mkdir -p "$CACHE/build" && cp -a "$src" "$work"
  cp "$(dirname "${BASH_SOURCE[0]}")/third_party/cryptopp_subset.cpp" "$work/"
  rm -f "$prefix/.cryptopp.done" "$prefix/lib/libcryptopp.a"
  (cd "$work" && make -s -f GNUmakefile -j"$JOBS" static SRCS="${CRYPTOPP_FILES[*]}" \
      CXX="$arch-w64-mingw32-g++-posix" AR="$arch-w64-mingw32-ar" \
      RANLIB="$arch-w64-mingw32-ranlib" CXXFLAGS="-DNDEBUG -O2 -Wno-deprecated-declarations" \
      >/dev/null)
  mkdir -p "$prefix/include/cryptopp" "$prefix/lib"
  cp "$work"/*.h "$prefix/include/cryptopp/"
  # Debian's packaging names the archive libcrypto++.a; install it under the
  # upstream name so both builds link it the same way.
  local archive
  archive="$(find "$work" -maxdepth 1 -name 'libcrypto*.a' | head -n1)"
  [[ -n "$archive" ]] || { echo "Crypto++ build produced no archive" >&2; exit 1; }
  cp "$archive" "$prefix/lib/libcryptopp.a"
  rm -rf "$work"
  touch "$prefix/.cryptopp-subset.done"
}

for arch in x86_64 i686; do
  build_sqlite "$arch"
  build_cryptopp "$arch"
done
echo "[third-party] ready in $CACHE/mingw"

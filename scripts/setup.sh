#!/usr/bin/env bash
# Idempotent set-up for both builds: Debian packages, MinGW builds of the
# third-party libraries (cached outside the work tree) and a private Wine prefix.
# Usage: scripts/setup.sh [--linux-only]
set -euo pipefail

CACHE="${VANTREL_CACHE:-$HOME/.cache/vantrel}"
DEPS="$CACHE/mingw-deps"
export WINEPREFIX="${VANTREL_WINEPREFIX:-$CACHE/wineprefix}"
export WINEDEBUG=-all
LINUX_ONLY=0
[ "${1:-}" = "--linux-only" ] && LINUX_ONLY=1

log() { printf '[setup] %s\n' "$*" >&2; }

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

install_packages() {
  # Every command a script of ours calls comes from one of these: git and
  # ca-certificates (clones), procps (pgrep/pkill), psmisc (killall), tmux (the
  # live-view test), iproute2 (ss), file, xz-utils; clang and its runtime
  # (libFuzzer, sanitizers) build the linux-fuzz preset.
  local pkgs=(cmake g++ make pkg-config libjsoncpp-dev libcrypto++-dev libsqlite3-dev
              libgtest-dev libgmock-dev libsystemd-dev libuv1-dev dpkg-dev ccache
              libcli11-dev git ca-certificates procps psmisc tmux iproute2 file xz-utils
              python3 systemd dbus lintian fakeroot mmdebstrap clang libclang-rt-14-dev)
  # wine64 holds the loader; the package wine puts wine and wineserver on PATH.
  [ "$LINUX_ONLY" -eq 0 ] && pkgs+=(g++-mingw-w64-x86-64-posix wine64 wine nsis)
  local missing=()
  for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    log "installing: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# A deb-src list derived from the machine's own binary sources, with apt state
# kept in a private folder so the machine's package lists stay untouched.
fetch_source() {
  local pkg="$1" dest="$2"
  local aptdir="$CACHE/apt-src"
  mkdir -p "$aptdir/lists/partial" "$aptdir/cache/archives/partial" "$aptdir/sources.list.d"
  local list="$aptdir/sources.list.d/src.sources"
  if [ ! -s "$list" ]; then
    : > "$list"
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      sed -n 's/^Types:.*deb.*/Types: deb-src/p; /^Types:/!p' "$f" >> "$list"
      echo >> "$list"
    done
    if [ -f /etc/apt/sources.list ]; then
      grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > "$aptdir/sources.list.d/src.list" || true
    fi
  fi
  local opts=(-o "Dir::State::Lists=$aptdir/lists" -o "Dir::Cache=$aptdir/cache"
              -o "Dir::Etc::SourceList=/dev/null" -o "APT::Sandbox::User=root" -o "Dir::Etc::SourceParts=$aptdir/sources.list.d")
  if [ ! -f "$aptdir/.updated" ]; then
    apt-get "${opts[@]}" update -qq >/dev/null
    touch "$aptdir/.updated"
  fi
  mkdir -p "$dest"
  (cd "$dest" && apt-get "${opts[@]}" source -qq --download-only "$pkg" >/dev/null)
  (cd "$dest" && for d in *.dsc; do dpkg-source --no-check -x "$d" >/dev/null; done)
}

build_jsoncpp() {
  [ -f "$DEPS/lib/libjsoncpp.a" ] && return
  log "building jsoncpp for MinGW"
  local src="$CACHE/src/jsoncpp"
  rm -rf "$src"; fetch_source libjsoncpp-dev "$src"
  local dir; dir=$(find "$src" -maxdepth 1 -mindepth 1 -type d | head -n1)
  mkdir -p "$DEPS/include" "$DEPS/lib" "$src/obj"
  cp -r "$dir/include/json" "$DEPS/include/"
  for f in json_reader json_value json_writer; do
    x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -I"$dir/include" -I"$dir/src/lib_json" \
      -c "$dir/src/lib_json/$f.cpp" -o "$src/obj/$f.o"
  done
  x86_64-w64-mingw32-ar rcs "$DEPS/lib/libjsoncpp.a" "$src"/obj/*.o
}

build_cryptopp() {
  [ -f "$DEPS/lib/libcryptopp.a" ] && return
  log "building Crypto++ for MinGW (a few minutes)"
  local src="$CACHE/src/cryptopp"
  rm -rf "$src"; fetch_source libcrypto++ "$src"
  local dir; dir=$(find "$src" -maxdepth 1 -mindepth 1 -type d | head -n1)
  make -C "$dir" static CXX=x86_64-w64-mingw32-g++-posix AR=x86_64-w64-mingw32-ar \
       RANLIB=x86_64-w64-mingw32-ranlib CXXFLAGS="-O2 -DNDEBUG -DCRYPTOPP_DISABLE_ASM" -j"$(nproc)" >/dev/null
  mkdir -p "$DEPS/include/cryptopp" "$DEPS/lib"
  cp "$dir"/*.h "$DEPS/include/cryptopp/"
  # Debian's makefile names the archive libcrypto++.a.
  if [ -f "$dir/libcryptopp.a" ]; then cp "$dir/libcryptopp.a" "$DEPS/lib/libcryptopp.a"
  else cp "$dir/libcrypto++.a" "$DEPS/lib/libcryptopp.a"; fi
}

build_gtest() {
  [ -f "$DEPS/lib/libgtest.a" ] && [ -f "$DEPS/lib/libgmock.a" ] && return
  log "building GoogleTest for MinGW"
  local bdir="$CACHE/src/googletest-build"
  rm -rf "$bdir"
  cmake -S /usr/src/googletest -B "$bdir" -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$DEPS" -Dgtest_disable_pthreads=OFF >/dev/null
  cmake --build "$bdir" -j"$(nproc)" >/dev/null
  cmake --install "$bdir" >/dev/null
}

prepare_wine() {
  local WINE=wine64
  command -v wine64 >/dev/null || WINE=wine
  if [ ! -f "$WINEPREFIX/.vantrel-ready" ]; then
    log "preparing Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wineserver -k || true
    wineserver -w || true
    touch "$WINEPREFIX/.vantrel-ready"
  fi
  # An unhandled exception starts winedbg, which then waits for ever without
  # a terminal (a test hangs until its time-out). A debugger that does not
  # exist makes the crash end the program at once, with a failure.
  if [ ! -f "$WINEPREFIX/.vantrel-no-debugger" ]; then
    "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger \
      /d 'vantrel-no-debugger.exe %ld %ld' /f >/dev/null 2>&1
    wineserver -w || true
    touch "$WINEPREFIX/.vantrel-no-debugger"
  fi
}

install_packages
if [ "$LINUX_ONLY" -eq 0 ]; then
  mkdir -p "$DEPS"
  build_jsoncpp
  build_gtest
  build_cryptopp
  prepare_wine
fi
log "ready (deps: $DEPS, wine prefix: $WINEPREFIX)"

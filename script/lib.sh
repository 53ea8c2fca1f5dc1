# Shared set-up of script/test and script/run: packages, build folder, Wine.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build}
source "$ROOT/script/bounded.sh"

export WINEDEBUG=-all
# No crash debugger, no Mono or Gecko installers while a prefix is made.
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"

ensure_packages() {
  local missing=()
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
  command -v x86_64-w64-mingw32-windmc >/dev/null || missing+=(binutils-mingw-w64-x86-64)
  command -v wine >/dev/null || missing+=(wine wine64)
  [ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
  command -v cabextract >/dev/null || missing+=(cabextract)
  command -v gcab >/dev/null || missing+=(gcab)
  command -v evtexport >/dev/null && command -v evtinfo >/dev/null || missing+=(libevt-utils)
  command -v 7z >/dev/null || missing+=(p7zip-full)
  command -v tmux >/dev/null || missing+=(tmux)
  command -v cmake >/dev/null || missing+=(cmake)
  command -v ninja >/dev/null || missing+=(ninja-build)
  [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
  [ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
  command -v python3 >/dev/null || missing+=(python3)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

configure_and_build() {
  if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
  fi
  cmake --build "$BUILD" -- -j2
}

# ensure_prefix PREFIX: a Wine prefix of the project's own, made once.
# It has no Z: drive (that would expose the whole Linux tree as a local disk);
# drive P: holds the built programs.
ensure_prefix() {
  local prefix=$1
  "$ROOT/script/wine-prefix" "$prefix" "$BUILD/bin"
}

stop_wine() {
  WINEPREFIX=$1 wineserver -k 2>/dev/null || true
}

# winepath_unix PREFIX WINDOWS-PATH: the Linux path of a path on drive C:.
winepath_unix() {
  local path=${2#[Cc]:}
  path=${path//\\//}
  printf '%s/drive_c%s\n' "$1" "$path"
}

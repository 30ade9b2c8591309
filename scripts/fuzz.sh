#!/bin/sh
# A long run of the manifest parser's fuzzer, on Debian 12 as root:
#
#   scripts/fuzz.sh [--seconds N] [--seed N]      (default: 600 s, seed 1)
#
# Installs what is missing, builds the fuzzer (64-bit) in build/fuzz, runs it
# under Wine in a prefix of its own and prints its result line. Inputs that
# failed a check are kept in build/fuzz/work. Exit status: the fuzzer's.
set -u
cd "$(dirname "$0")/.."
ROOT=$(pwd)

run_seconds=600
seed=1
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) run_seconds=${2:?}; shift 2 ;;
        --seed) seed=${2:?}; shift 2 ;;
        *) echo "usage: scripts/fuzz.sh [--seconds N] [--seed N]"; exit 2 ;;
    esac
done

scripts/setup.sh || { echo "fuzz: setup failed"; exit 1; }

BUILD="$ROOT/build/fuzz"
mkdir -p "$BUILD"
if ! { cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake \
           -DCMAKE_BUILD_TYPE=Release -DLAUNCHER_BUILD_TESTS=ON &&
       cmake --build "$BUILD" -j2 --target ManifestFuzz; } >"$BUILD/build.log" 2>&1; then
    tail -n 40 "$BUILD/build.log"
    echo "fuzz: the build failed (full output in $BUILD/build.log)"
    exit 1
fi

export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1' EXIT INT TERM
# The Wine server and its services start detached from this script's output.
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
/usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1

/usr/lib/wine/wine64 "$BUILD/tests/ManifestFuzz.exe" --seconds "$run_seconds" --seed "$seed" \
    --seeds tests/fuzz/seeds --work build/fuzz/work </dev/null
status=$?
exit $status

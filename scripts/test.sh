#!/bin/sh
# Runs every test of the project on a Debian 12 machine (as root): installs
# what is missing, builds both programs, then runs the unit tests under Wine,
# the end-to-end tests, the resource checks, the publisher's tests and the
# runs of the shipped 32-bit program. Ends with one summary line; the exit
# status is non-zero when any group failed.
set -u
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PY=/usr/bin/python3

scripts/setup.sh || { echo "SUMMARY: setup failed"; exit 1; }

results=""
failed=0
record() {  # record NAME STATUS
    if [ "$2" -eq 0 ]; then results="$results $1=passed"; else results="$results $1=FAILED"; failed=1; fi
}

build() {  # build PRESET [TARGETS...]
    preset=$1; shift
    cmake --preset "$preset" >"build-$preset.log" 2>&1 || { cat "build-$preset.log"; return 1; }
    if [ $# -gt 0 ]; then
        cmake --build "build/$preset" -j2 --target "$@" >>"build-$preset.log" 2>&1
    else
        cmake --build "build/$preset" -j2 >>"build-$preset.log" 2>&1
    fi
    status=$?
    [ $status -eq 0 ] || tail -n 60 "build-$preset.log"
    rm -f "build-$preset.log"
    return $status
}

echo "== building"
build win64-test; record build-x64 $?
build win32; record build-x86 $?
build win32-test Launcher Lumivex; record build-x86-test $?
# The signed test build's key pairs are made here, once per build tree; no
# private key is ever kept in the repository. It accepts two keys, as a
# launcher does while a new key takes over.
if [ ! -f build/test-keys/manifest.pub ]; then
    mkdir -p build/test-keys
    for name in current previous; do
        $PY tools/publish keygen "build/test-keys/$name" >/dev/null
    done
    cat build/test-keys/current.pub build/test-keys/previous.pub >build/test-keys/manifest.pub
fi
build win64-signed-test Launcher Lumivex WindowProbe; record build-x64-signed $?

# One X display for every group that opens windows.
XVFB_PID=""
if [ -z "${DISPLAY:-}" ]; then
    exec 3>"$ROOT/build/xvfb-display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 50); do [ -s "$ROOT/build/xvfb-display" ] && break; sleep 0.1; done
    exec 3>&-
    DISPLAY=":$(cat "$ROOT/build/xvfb-display")"
    export DISPLAY
fi

UNIT_PREFIX="$ROOT/build/win64-test/unit-wineprefix"
stop_all() {
    WINEPREFIX="$UNIT_PREFIX" /usr/lib/wine/wineserver -k >/dev/null 2>&1
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
}
trap stop_all EXIT INT TERM

echo "== unit tests (Wine)"
export WINEDEBUG=-all
# The Wine server and its services start detached, so that CTest does not
# wait for processes that inherited its output pipe.
WINEPREFIX="$UNIT_PREFIX" /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
WINEPREFIX="$UNIT_PREFIX" /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
WINEPREFIX="$UNIT_PREFIX" /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
    </dev/null >/dev/null 2>&1
WINEPREFIX="$UNIT_PREFIX" ctest --test-dir build/win64-test --output-on-failure --timeout 300
record unit $?
WINEPREFIX="$UNIT_PREFIX" /usr/lib/wine/wineserver -k >/dev/null 2>&1

echo "== end-to-end tests (Wine, loopback HTTP)"
LAUNCHER_BUILD_DIR="$ROOT/build/win64-test" LAUNCHER_SIGNED_BUILD_DIR="$ROOT/build/win64-signed-test" \
    $PY -m pytest -q -p no:cacheprovider tests/e2e
record e2e $?

echo "== resource checks"
LAUNCHER_BUILD_DIR="$ROOT/build/win64-test" LAUNCHER_BUILD32_DIR="$ROOT/build/win32" \
    $PY -m pytest -q -p no:cacheprovider -rs tests/resources
record resources $?

echo "== publisher"
$PY -m pytest -q -p no:cacheprovider tests/publish
record publish $?

if [ -x scripts/test-x86.sh ]; then
    echo "== the shipped 32-bit program (native or emulated)"
    LAUNCHER_BUILD_DIR="$ROOT/build/win32-test" scripts/test-x86.sh
    record x86 $?
fi

if [ $failed -eq 0 ]; then
    echo "SUMMARY: all passed:$results"
else
    echo "SUMMARY: FAILED:$results"
fi
exit $failed

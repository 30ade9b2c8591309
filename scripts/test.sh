#!/bin/sh
# Runs every test of the project on a Debian 12 machine (as root): installs
# what is missing, builds the programs, then runs the unit tests under Wine,
# the end-to-end suite on the 64-bit build and on the 32-bit build users get
# (natively where the kernel runs 32-bit code, its smoke tests emulated
# elsewhere), the resource checks and the publisher's tests. Ends with one
# summary line counting each group's cases; the exit status is non-zero
# when any group failed.
#
# LAUNCHER_TEST_PORT (default 38471) is the loopback port the test builds
# fetch their manifest from and the tests serve on.
set -u
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PY=/usr/bin/python3
PORT=${LAUNCHER_TEST_PORT:-38471}
RESULTS="$ROOT/build/test-results"
STARTED=$(date +%s)

scripts/setup.sh || { echo "SUMMARY: setup failed"; exit 1; }
rm -rf "$RESULTS"
mkdir -p "$RESULTS"

summary=""
failed=0
note() {  # note TEXT [STATUS]: one group's part of the summary
    summary="$summary; $1"
    [ "${2:-0}" -eq 0 ] || failed=1
}
count() {  # count NAME STATUS [JUNIT FILES...]
    line=$($PY tests/harness/results.py "$@")
    note "$line" $?
}

builds_ran=0
builds_failed=""
build() {  # build PRESET [TARGETS...]
    preset=$1; shift
    log="$RESULTS/build-$preset.log"
    builds_ran=$((builds_ran + 1))
    extra=""
    case "$preset" in
    # The https builds' server listens on the port above the test port (tests/harness/config.py).
    *-https-test) extra="-DLAUNCHER_TEST_PORT=$PORT -DLAUNCHER_MANIFEST_URL=https://127.0.0.1:$((PORT + 1))/Updater/manifest.xml" ;;
    *-test) extra="-DLAUNCHER_TEST_PORT=$PORT -DLAUNCHER_MANIFEST_URL=http://127.0.0.1:$PORT/Updater/manifest.xml" ;;
    esac
    [ $# -gt 0 ] && set -- --target "$@"
    # shellcheck disable=SC2086
    if cmake --preset "$preset" $extra >"$log" 2>&1 && cmake --build "build/$preset" -j2 "$@" >>"$log" 2>&1; then
        return 0
    fi
    tail -n 60 "$log"
    builds_failed="$builds_failed $preset"
    return 1
}

echo "== building"
build win64-test
build win32
build win32-test Launcher Lumivex WindowProbe
# The signed test builds' key pairs are made here, once per build tree; no
# private key is ever kept in the repository. They accept two keys, as a
# launcher does while a new key takes over.
if [ ! -f build/test-keys/manifest.pub ]; then
    mkdir -p build/test-keys
    for name in current previous; do
        $PY tools/publish keygen "build/test-keys/$name" >/dev/null
    done
    cat build/test-keys/current.pub build/test-keys/previous.pub >build/test-keys/manifest.pub
fi
build win64-signed-test Launcher Lumivex WindowProbe
build win32-signed-test Launcher Lumivex WindowProbe
# Variants whose tests need only their Launcher.exe: an https manifest URL,
# the system's proxy settings, several files at once, and a record of verified files.
for arch in win64 win32; do
    build $arch-https-test Launcher
    build $arch-proxy-test Launcher
    build $arch-parallel-test Launcher
    build $arch-remember-test Launcher
done
if [ -z "$builds_failed" ]; then
    note "build: $builds_ran ran, $builds_ran passed, 0 failed, 0 skipped"
else
    set -- $builds_failed
    note "build: $builds_ran ran, $((builds_ran - $#)) passed, $# failed ($builds_failed), 0 skipped" 1
fi

# One X display for every group that opens windows.
XVFB_PID=""
if [ -z "${DISPLAY:-}" ]; then
    exec 3>"$RESULTS/xvfb-display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 50); do [ -s "$RESULTS/xvfb-display" ] && break; sleep 0.1; done
    exec 3>&-
    DISPLAY=":$(cat "$RESULTS/xvfb-display")"
    export DISPLAY
fi

UNIT_PREFIX="$ROOT/build/win64-test/unit-wineprefix"
stop_all() {
    $PY tests/harness/wine.py stop "$UNIT_PREFIX" x86_64
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
}
trap stop_all EXIT INT TERM

echo "== unit tests (Wine)"
# The prefix's server and services run detached, so that CTest does not
# wait for processes that inherited its output pipe.
$PY tests/harness/wine.py prepare "$UNIT_PREFIX" x86_64
WINEPREFIX="$UNIT_PREFIX" WINEDEBUG=-all,err+all ctest --test-dir build/win64-test --output-on-failure --timeout 300 \
    --output-junit "$RESULTS/unit.xml"
count unit $? "$RESULTS/unit.xml"
$PY tests/harness/wine.py stop "$UNIT_PREFIX" x86_64

echo "== end-to-end tests, 64-bit build (Wine, loopback HTTP and HTTPS)"
LAUNCHER_BUILD_DIR="$ROOT/build/win64-test" LAUNCHER_SIGNED_BUILD_DIR="$ROOT/build/win64-signed-test" \
    LAUNCHER_HTTPS_BUILD_DIR="$ROOT/build/win64-https-test" LAUNCHER_PROXY_BUILD_DIR="$ROOT/build/win64-proxy-test" \
    LAUNCHER_PARALLEL_BUILD_DIR="$ROOT/build/win64-parallel-test" LAUNCHER_REMEMBER_BUILD_DIR="$ROOT/build/win64-remember-test" \
    $PY -m pytest -q -p no:cacheprovider --junitxml="$RESULTS/e2e-x64.xml" tests/e2e
count e2e-x64 $? "$RESULTS/e2e-x64.xml"

echo "== end-to-end tests, the shipped 32-bit build"
{ X86_JUNIT="$RESULTS/e2e-x86.xml" LAUNCHER_BUILD_DIR="$ROOT/build/win32-test" \
    LAUNCHER_SIGNED_BUILD_DIR="$ROOT/build/win32-signed-test" LAUNCHER_HTTPS_BUILD_DIR="$ROOT/build/win32-https-test" \
    LAUNCHER_PROXY_BUILD_DIR="$ROOT/build/win32-proxy-test" LAUNCHER_PARALLEL_BUILD_DIR="$ROOT/build/win32-parallel-test" \
    LAUNCHER_REMEMBER_BUILD_DIR="$ROOT/build/win32-remember-test" \
    scripts/test-x86.sh
  echo $? >"$RESULTS/e2e-x86.status"; } | tee "$RESULTS/e2e-x86.out"
status=$(cat "$RESULTS/e2e-x86.status")
route=$(sed -n 's/^x86: route: \([a-z]*\).*/\1/p' "$RESULTS/e2e-x86.out" | head -n 1)
if grep -q '^SKIPPED: ' "$RESULTS/e2e-x86.out"; then
    note "e2e-x86 skipped: $(sed -n 's/^SKIPPED: //p' "$RESULTS/e2e-x86.out" | head -n 1)"
else
    count "e2e-x86${route:+ ($route)}" "$status" "$RESULTS/e2e-x86.xml"
fi

echo "== resource checks"
LAUNCHER_BUILD_DIR="$ROOT/build/win64-test" LAUNCHER_BUILD32_DIR="$ROOT/build/win32" \
    $PY -m pytest -q -p no:cacheprovider -rs --junitxml="$RESULTS/resources.xml" tests/resources
count resources $? "$RESULTS/resources.xml"

echo "== publisher"
$PY -m pytest -q -p no:cacheprovider --junitxml="$RESULTS/publish.xml" tests/publish
count publish $? "$RESULTS/publish.xml"

verdict="all passed"
[ $failed -eq 0 ] || verdict="FAILED"
echo "SUMMARY: $verdict in $(( $(date +%s) - STARTED )) s${summary}"
exit $failed

#!/bin/bash
# Runs the shipped 32-bit Launcher.exe end to end (tests/x86) under Wine's
# 32-bit loader, in a 32-bit prefix of its own inside the build folder.
#
# Where the kernel runs 32-bit code, the program runs natively. Elsewhere it
# runs through QEMU user-mode emulation: the qemu-i386 handler is registered
# with binfmt_misc only while the prefix is made and the tests run, because
# while it is registered every 64-bit prefix made on the machine runs its
# 32-bit parts emulated too, and takes minutes.
#
# Where the kernel allows, the group runs in a user namespace with a
# binfmt_misc of its own: a handler that someone registered machine-wide
# does not force its runs into emulation, and its own handler, when it needs
# one, is seen by nothing else on the machine. Where 32-bit programs can run
# neither way the group prints "SKIPPED: <reason>" and exits 0.
#
# Environment:
#   LAUNCHER_BUILD_DIR  32-bit test build (default build/win32-test)
#   X86_ROUTE           auto (default), native or emulated
#   X86_RUN_TIMEOUT     hard limit of one launcher run in seconds (default 600)
#   X86_GROUP_TIMEOUT   hard limit of the whole group in seconds (default 2700:
#                       emulated, a loaded machine has needed about 20 minutes)
#   X86_PRIVATE_BINFMT  0: register the emulator machine-wide even where a
#                       private binfmt_misc is possible
set -u
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SCRIPT="$ROOT/scripts/test-x86.sh"
PY=/usr/bin/python3
WINE=/usr/lib/wine/wine
WINESERVER=/usr/lib/wine/wineserver
BINFMT=/proc/sys/fs/binfmt_misc
HANDLER=$BINFMT/qemu-i386
HANDLER_LINE=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F'

BUILD=${LAUNCHER_BUILD_DIR:-$ROOT/build/win32-test}
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
ROUTE=${X86_ROUTE:-auto}
RUN_TIMEOUT=${X86_RUN_TIMEOUT:-600}
GROUP_TIMEOUT=${X86_GROUP_TIMEOUT:-2700}
PREFIX="$BUILD/x86-wineprefix"
READY="$PREFIX/.x86-ready"
STARTED=${X86_STARTED:-$(date +%s)}

say() { echo "x86: $*"; }
skip() { echo "SKIPPED: $*"; exit 0; }
fail() { echo "x86: FAILED: $*" >&2; exit 1; }
elapsed() { echo $(( $(date +%s) - STARTED )); }

# --- what the runs need --------------------------------------------------
install_missing() {
    local missing="" p
    dpkg --print-foreign-architectures | grep -qx i386 || missing=" (i386 architecture)"
    for p in wine32:i386 qemu-user-static xvfb xdotool python3-pytest; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    [ "$(id -u)" -eq 0 ] || skip "needs root to install$missing"
    say "installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    dpkg --add-architecture i386 || fail "dpkg --add-architecture i386"
    apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null || fail "apt-get update"
    apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends \
        wine32:i386 qemu-user-static xvfb xdotool python3-pytest >/dev/null || fail "apt-get install"
}

if [ "${X86_IN_NAMESPACE:-0}" != 1 ]; then
    install_missing
    for f in Launcher/Launcher.exe tests/Lumivex.exe e2e-config.json; do
        [ -f "$BUILD/$f" ] || fail "$BUILD/$f is missing: build the 32-bit test build first"
    done
    if [ "${X86_PRIVATE_BINFMT:-1}" = 1 ] && unshare --user --map-root-user --mount \
            sh -c "mount -t binfmt_misc binfmt_misc $BINFMT" >/dev/null 2>&1; then
        say "in a user namespace with a binfmt_misc of its own"
        exec env X86_IN_NAMESPACE=1 X86_STARTED="$STARTED" LAUNCHER_BUILD_DIR="$BUILD" \
            unshare --user --map-root-user --mount "$SCRIPT"
    fi
else
    # Empty, so nothing registered machine-wide reaches these runs.
    mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null \
        || skip "cannot mount a binfmt_misc of its own on $BINFMT"
fi

# --- native or emulated --------------------------------------------------
if [ "$ROUTE" = auto ]; then
    if [ -e "$HANDLER" ]; then
        ROUTE=emulated  # 32-bit programs go through the emulator already
    elif /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
        ROUTE=native
    else
        ROUTE=emulated
    fi
fi
case "$ROUTE" in native|emulated) ;; *) fail "X86_ROUTE must be auto, native or emulated" ;; esac

# --- clean-up, whatever happens from here on -------------------------------
REGISTERED=0
XVFB_PID=""
KEEPALIVE_PID=""
CHILD=""
cleaned=0

# Every Wine process of this group's prefix, the server included. Under
# emulation a program still starting up is not yet known to the server, so
# "wineserver -k" alone misses it.
prefix_processes() {
    local dir pid
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        case "$(readlink "$dir/exe" 2>/dev/null)" in
            /usr/lib/wine/*|/usr/bin/qemu-i386-static) ;;
            *) continue ;;
        esac
        tr '\0' '\n' <"$dir/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$PREFIX" && echo "$pid"
    done
}

stop_wine() {
    local pids _
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        WINEPREFIX="$PREFIX" $WINESERVER -k >/dev/null 2>&1
        pids=$(prefix_processes)
        [ -z "$pids" ] && return 0
        kill -KILL $pids 2>/dev/null
        sleep 1
    done
    echo "x86: could not stop every Wine process of $PREFIX: $pids" >&2
}

cleanup() {
    [ $cleaned -eq 1 ] && return
    cleaned=1
    if [ $REGISTERED -eq 1 ]; then
        echo -1 > "$HANDLER" 2>/dev/null && say "qemu-i386 handler removed after $(elapsed) s"
        REGISTERED=0
    fi
    [ -n "$CHILD" ] && kill "$CHILD" 2>/dev/null
    [ -n "$KEEPALIVE_PID" ] && kill "$KEEPALIVE_PID" 2>/dev/null
    [ -d "$PREFIX" ] && stop_wine
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
    wait 2>/dev/null
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM

# Long steps run in the background, so that a signal reaches the trap at once.
# With --quiet, the command's input and output are /dev/null.
in_background() {
    if [ "$1" = --quiet ]; then
        shift
        "$@" </dev/null >/dev/null 2>&1 &
    else
        "$@" &
    fi
    CHILD=$!
    wait "$CHILD"
    local status=$?
    CHILD=""
    return $status
}

remaining() {  # seconds left of the group's limit, at least 1 ("timeout 0" would mean none)
    local left=$(( GROUP_TIMEOUT - $(elapsed) ))
    [ $left -gt 0 ] || left=1
    echo $left
}

if [ "$ROUTE" = emulated ]; then
    [ -x /usr/bin/qemu-i386-static ] || fail "/usr/bin/qemu-i386-static is missing"
    if [ ! -e "$BINFMT/register" ]; then
        mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null \
            || skip "cannot mount binfmt_misc on $BINFMT, so 32-bit programs cannot run here"
    fi
fi

# --- the X display --------------------------------------------------------
if [ -z "${DISPLAY:-}" ]; then
    mkdir -p "$BUILD"
    DISPLAY_FILE="$BUILD/x86-display"
    rm -f "$DISPLAY_FILE"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$DISPLAY_FILE" >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do [ -s "$DISPLAY_FILE" ] && break; sleep 0.1; done
    [ -s "$DISPLAY_FILE" ] || fail "Xvfb did not start"
    DISPLAY=":$(head -n 1 "$DISPLAY_FILE")"
    export DISPLAY
fi

# --- the emulator, only from here to the end of the runs ------------------
if [ "$ROUTE" = emulated ]; then
    if [ -e "$HANDLER" ]; then
        say "emulated route, using the qemu-i386 handler that is already registered (left in place)"
    else
        echo "$HANDLER_LINE" > "$BINFMT/register" 2>/dev/null \
            || skip "cannot register the qemu-i386 handler with binfmt_misc"
        REGISTERED=1
        if [ "${X86_IN_NAMESPACE:-0}" = 1 ]; then
            say "emulated route, qemu-i386 handler registered in the namespace's own binfmt_misc"
        else
            say "emulated route, qemu-i386 handler registered machine-wide"
        fi
    fi
else
    say "native route: this kernel runs 32-bit code"
fi

# --- Wine: the 32-bit prefix, its server and services -----------------------
export WINEDEBUG=-all
# Nothing here needs Mono, Gecko or menu entries; under emulation every
# program start costs more than a minute.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
t0=$(date +%s)
if [ -f "$READY" ]; then
    # The server and the services start detached from the test runner's output.
    WINEPREFIX="$PREFIX" $WINESERVER -p </dev/null >/dev/null 2>&1
else
    # Made by the 32-bit loader itself: a server started first would make
    # the new registry a 64-bit one.
    rm -rf "$PREFIX"
    say "creating the 32-bit prefix $PREFIX"
fi
# The first program of a session waits at most 5 minutes for Wine's start-up
# (and the prefix's creation), then fails while the start-up goes on. Under
# emulation that can take longer: then try again.
while :; do
    t1=$(date +%s)
    WINEPREFIX="$PREFIX" WINEARCH=win32 in_background --quiet timeout "$(remaining)" $WINE wineboot && break
    status=$?
    [ $(( $(date +%s) - t1 )) -ge 240 ] || fail "wineboot in $PREFIX failed (status $status)"
    [ "$(remaining)" -gt 60 ] || fail "Wine's start-up in $PREFIX did not finish in time"
    say "Wine is still starting ($(elapsed) s); trying again"
done
if [ ! -f "$READY" ]; then
    # No window manager: without this Wine waits about 2 s whenever a window closes.
    WINEPREFIX="$PREFIX" in_background --quiet timeout "$(remaining)" \
        $WINE reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f || fail "setting up the prefix failed"
    touch "$READY"
    say "prefix created in $(( $(date +%s) - t0 )) s"
fi
# An idle program keeps the services up between runs, so that no run pays
# for starting them again.
KEEPALIVE_RECORD="$PREFIX/keepalive-record.txt"
rm -f "$KEEPALIVE_RECORD"
WINEPREFIX="$PREFIX" LUMIVEX_RECORD="$KEEPALIVE_RECORD" LUMIVEX_SLEEP_MS=86400000 \
    $WINE "$BUILD/tests/Lumivex.exe" </dev/null >/dev/null 2>&1 &
KEEPALIVE_PID=$!
until [ -s "$KEEPALIVE_RECORD" ]; do
    kill -0 "$KEEPALIVE_PID" 2>/dev/null || fail "the idle program of the session ended"
    [ "$(remaining)" -gt 60 ] || fail "Wine did not become ready in time"
    sleep 1
done
say "Wine ready in $(( $(date +%s) - t0 )) s ($(elapsed) s since the start)"

LAUNCHER_BUILD_DIR="$BUILD" X86_WINEPREFIX="$PREFIX" X86_WINE_LOADER=$WINE X86_RUN_TIMEOUT=$RUN_TIMEOUT \
    in_background timeout --kill-after=20 "$(remaining)" $PY -m pytest -q -p no:cacheprovider \
    --basetemp="$BUILD/x86-runs" --durations=0 tests/x86
status=$?
[ $status -eq 124 ] && echo "x86: FAILED: the group took longer than $GROUP_TIMEOUT s" >&2
cleanup
say "done in $(elapsed) s"
exit $status

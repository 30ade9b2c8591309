#!/bin/bash
# Runs the end-to-end suite (tests/e2e) against the 32-bit build, the
# program users get, under Wine's 32-bit loader in a 32-bit prefix of its own.
#
# Where the kernel runs 32-bit code, the whole suite runs natively. Elsewhere
# the tests marked smoke run through QEMU user-mode emulation: the qemu-i386
# handler is registered with binfmt_misc only while they run, because while
# it is registered every 64-bit prefix made on the machine runs its 32-bit
# parts emulated too, and takes minutes. Where the kernel allows, the group
# runs in a user namespace with a binfmt_misc of its own: a handler someone
# registered machine-wide does not force its runs into emulation, and its
# own handler is seen by nothing else on the machine.
#
# Prints "x86 route: native|emulated" or, where 32-bit programs can run
# neither way, "SKIPPED: <reason>" and exits 77.
#
# Environment:
#   LAUNCHER_BUILD_DIR  32-bit test build (default build/win32-test)
#   LAUNCHER_SIGNED_BUILD_DIR  32-bit signed test build (default build/win32-signed-test)
#   LAUNCHER_HTTPS_BUILD_DIR   32-bit test build with an https manifest URL (default build/win32-https-test)
#   LAUNCHER_PROXY_BUILD_DIR   32-bit test build that takes the system's proxy settings (default build/win32-proxy-test)
#   LAUNCHER_PARALLEL_BUILD_DIR  32-bit test build that fetches 4 files at once (default build/win32-parallel-test)
#   LAUNCHER_REMEMBER_BUILD_DIR  32-bit test build that keeps a record of verified files (default build/win32-remember-test)
#   X86_ROUTE           auto (default), native or emulated
#   X86_GROUP_TIMEOUT   hard limit of the group in seconds (default 2700: emulated,
#                       a loaded machine has needed about 20 minutes)
#   X86_JUNIT           where pytest writes its results (JUnit XML)
#   X86_PRIVATE_BINFMT  0: register the emulator machine-wide even where a
#                       private binfmt_misc is possible
set -u
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BINFMT=/proc/sys/fs/binfmt_misc
HANDLER=$BINFMT/qemu-i386
HANDLER_LINE=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F'

BUILD=${LAUNCHER_BUILD_DIR:-$ROOT/build/win32-test}
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
export LAUNCHER_SIGNED_BUILD_DIR=${LAUNCHER_SIGNED_BUILD_DIR:-$ROOT/build/win32-signed-test}
export LAUNCHER_HTTPS_BUILD_DIR=${LAUNCHER_HTTPS_BUILD_DIR:-$ROOT/build/win32-https-test}
export LAUNCHER_PROXY_BUILD_DIR=${LAUNCHER_PROXY_BUILD_DIR:-$ROOT/build/win32-proxy-test}
export LAUNCHER_PARALLEL_BUILD_DIR=${LAUNCHER_PARALLEL_BUILD_DIR:-$ROOT/build/win32-parallel-test}
export LAUNCHER_REMEMBER_BUILD_DIR=${LAUNCHER_REMEMBER_BUILD_DIR:-$ROOT/build/win32-remember-test}
ROUTE=${X86_ROUTE:-auto}
GROUP_TIMEOUT=${X86_GROUP_TIMEOUT:-2700}

say() { echo "x86: $*"; }
skip() { echo "SKIPPED: $*"; exit 77; }

[ -x /usr/lib/wine/wine ] || skip "Wine's 32-bit loader is not installed (scripts/setup.sh installs wine32:i386)"
if [ "${X86_IN_NAMESPACE:-0}" != 1 ]; then
    if [ "${X86_PRIVATE_BINFMT:-1}" = 1 ] && unshare --user --map-root-user --mount \
            sh -c "mount -t binfmt_misc binfmt_misc $BINFMT" >/dev/null 2>&1; then
        say "in a user namespace with a binfmt_misc of its own"
        exec env X86_IN_NAMESPACE=1 LAUNCHER_BUILD_DIR="$BUILD" unshare --user --map-root-user --mount "$0"
    fi
else
    # Empty, so nothing registered machine-wide reaches these runs.
    mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null || skip "cannot mount a binfmt_misc of its own on $BINFMT"
fi

if [ "$ROUTE" = auto ]; then
    if [ -e "$HANDLER" ]; then
        ROUTE=emulated  # 32-bit programs go through the emulator already
    elif /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
        ROUTE=native
    else
        ROUTE=emulated
    fi
fi

REGISTERED=0
CHILD=""
remove_handler() {
    [ -n "$CHILD" ] && kill "$CHILD" 2>/dev/null && wait "$CHILD"
    CHILD=""
    [ $REGISTERED -eq 1 ] && echo -1 > "$HANDLER" 2>/dev/null && say "qemu-i386 handler removed"
    REGISTERED=0
}
trap remove_handler EXIT
trap 'remove_handler; exit 130' INT
trap 'remove_handler; exit 143' TERM

PYTEST_ARGS=""
case "$ROUTE" in
native)
    say "route: native (this kernel runs 32-bit code): the whole suite" ;;
emulated)
    [ -x /usr/bin/qemu-i386-static ] || skip "this kernel does not run 32-bit code and qemu-user-static is missing"
    if [ ! -e "$BINFMT/register" ]; then
        mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null \
            || skip "this kernel does not run 32-bit code and binfmt_misc cannot be mounted on $BINFMT"
    fi
    if [ -e "$HANDLER" ]; then
        say "using the qemu-i386 handler that is already registered (left in place)"
    else
        echo "$HANDLER_LINE" > "$BINFMT/register" 2>/dev/null \
            || skip "this kernel does not run 32-bit code and the qemu-i386 handler cannot be registered"
        REGISTERED=1
    fi
    say "route: emulated (QEMU user mode): the smoke tests"
    # Under emulation every program start costs about a minute of CPU.
    export E2E_TIME_FACTOR=20
    PYTEST_ARGS="-m smoke" ;;
*)
    echo "x86: X86_ROUTE must be auto, native or emulated" >&2; exit 2 ;;
esac

# In the background, so that a signal reaches the trap at once.
LAUNCHER_BUILD_DIR="$BUILD" timeout --kill-after=20 "$GROUP_TIMEOUT" /usr/bin/python3 -m pytest -q -rs \
    -p no:cacheprovider ${X86_JUNIT:+--junitxml="$X86_JUNIT"} $PYTEST_ARGS tests/e2e &
CHILD=$!
wait $CHILD
status=$?
CHILD=""
[ $status -eq 124 ] && echo "x86: FAILED: the group took longer than $GROUP_TIMEOUT s" >&2
remove_handler
exit $status

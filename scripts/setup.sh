#!/bin/sh
# Installs everything the build and the tests need on Debian 12 (run as root).
# Idempotent: a second run only checks and returns within seconds.
set -eu

DEPS_DIR="${QUORVAL_DEPS_DIR:-/opt/quorval-deps}"
EXPAT_DIR="$DEPS_DIR/expat"

# wine32:i386 runs the 32-bit program users get; qemu-user-static runs it
# where the kernel refuses 32-bit code (scripts/test-x86.sh). nginx-light
# (with its ssl module) is the tests' web server, tinyproxy-bin (the program
# alone, no service) their proxy.
PACKAGES="cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386 \
qemu-user-static xvfb xdotool imagemagick python3 python3-pytest python3-pefile python3-cryptography dpkg-dev googletest \
nginx-light tinyproxy-bin fonts-wine curl time"

# A mirror in the middle of a sync serves an index of the wrong size for a
# while, and apt-get update then fails as a whole: try again after a pause,
# then go on with the lists that did arrive; the install says whether they
# were enough.
apt_update() {
    attempt=1
    while ! apt-get update -q; do
        if [ "$attempt" -ge 3 ]; then
            echo "setup: WARNING: apt-get update failed $attempt times; going on with the package lists it fetched" >&2
            return 0
        fi
        echo "setup: apt-get update failed (attempt $attempt of 3); trying again in 20 s" >&2
        attempt=$((attempt + 1))
        sleep 20
    done
}

missing=""
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture"
    dpkg --add-architecture i386
    missing=" (i386 architecture)"
fi
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt_update
    # nginx must not start a server of its own at install time; the tests start theirs.
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    apt-get install -y -q --no-install-recommends $PACKAGES
    rm -f /usr/sbin/policy-rc.d
fi

# Expat has no Windows build in Debian: fetch its source package (with Debian's
# security patches) and let the CMake project build it for each target.
if [ ! -f "$EXPAT_DIR/CMakeLists.txt" ]; then
    echo "setup: fetching Expat sources into $EXPAT_DIR"
    src_list=/etc/apt/sources.list.d/quorval-deb-src.sources
    if [ ! -f "$src_list" ]; then
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -f "$f" ] || continue
            grep -q '^Types: deb$' "$f" || continue
            grep -q 'debian' "$f" || continue
            sed 's/^Types: deb$/Types: deb-src/' "$f" >> "$src_list"
            echo >> "$src_list"
        done
        if [ ! -s "$src_list" ] && [ -f /etc/apt/sources.list ]; then
            grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/quorval-deb-src.list
            rm -f "$src_list"
        fi
        apt_update
    fi
    work="$DEPS_DIR/.fetch"
    rm -rf "$work"
    mkdir -p "$work"
    # Newest first; a mirror may lack the newest security upload's source.
    fetched=""
    for ver in $(apt-cache showsrc expat | sed -n 's/^Version: //p' | sort -rV); do
        if (cd "$work" && apt-get source -q "expat=$ver" >/dev/null 2>&1); then
            fetched="$ver"
            break
        fi
        rm -rf "$work"/*
    done
    [ -n "$fetched" ] || { echo "setup: could not fetch Expat's source package" >&2; exit 1; }
    echo "setup: Expat source $fetched"
    top=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'expat-*' | head -n 1)
    [ -n "$top" ] || { echo "setup: apt-get source expat produced nothing" >&2; exit 1; }
    # The patched sources test "#if XML_DTD == 1", which an empty define breaks.
    sed -i 's/^#cmakedefine XML_DTD$/#cmakedefine XML_DTD 1/' "$top/expat/expat_config.h.cmake"
    rm -rf "$EXPAT_DIR"
    mv "$top/expat" "$EXPAT_DIR"
    rm -rf "$work"
fi

echo "setup: ready (Expat sources in $EXPAT_DIR)"

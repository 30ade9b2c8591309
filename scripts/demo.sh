#!/bin/sh
# The whole system in one command, on Debian 12 as root: installs what is
# missing, builds the 64-bit test build, then publishes a sample release,
# serves it on 127.0.0.1 and lets the real Launcher.exe install and update it
# under Wine (tools/demo.py). Options are passed on to tools/demo.py, e.g.
# --docs-screenshot docs/progress-window.png. Exit status 0 when every step
# did what it should.
set -eu
cd "$(dirname "$0")/.."

scripts/setup.sh

echo "== building (win64-test preset; output in build/demo-build.log)"
mkdir -p build
if ! { cmake --preset win64-test && cmake --build build/win64-test -j2; } >build/demo-build.log 2>&1; then
    tail -n 40 build/demo-build.log
    echo "demo: the build failed (full output in build/demo-build.log)"
    exit 1
fi

exec /usr/bin/python3 tools/demo.py "$@"

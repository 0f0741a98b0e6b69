#!/usr/bin/env bash
# Installs what is missing, builds the application in build/, starts the demo quota service
# (unless one already runs) and then the application on its embedded defaults.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BUILD_TESTS=OFF >/dev/null
cmake --build build --parallel "$(nproc)"

stage=build/stage
if [ -x "$stage/libexec/vantrel-vpn/vantrel-devquota" ] &&
   ! pgrep -u "$(id -u)" -f "vantrel-vpn/vantrel-devquota" >/dev/null; then
    nohup "$stage/libexec/vantrel-vpn/vantrel-devquota" >/dev/null 2>&1 &
fi

# Without a display (a bare server or container) the window is shown on a virtual one.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    exec xvfb-run -a "$stage/bin/vantrel-vpn"
fi
exec "$stage/bin/vantrel-vpn"

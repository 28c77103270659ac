#!/usr/bin/env bash
# What the desktop console costs the sessions: tarnhold with its window
# (under Xvfb) against tarnhold headless, side by side; see bench/README.md.
#   bench/desktop.sh                 small files (PASV and EPSV), logins, NOOPs and 20 clients
#   bench/desktop.sh --quick         small sizes, 3 rounds
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT
export DISPLAY=":$display"
for _ in $(seq 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done

python3 "$here/ftpbench.py" --desktop --workloads small,small-epsv,logins,noop,clients "$@"

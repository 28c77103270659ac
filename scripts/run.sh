#!/usr/bin/env bash
# Installs what is needed, builds, and starts the server headless. Without
# arguments the settings live in ${XDG_CONFIG_HOME:-~/.config}/tarnhold (the
# program makes the folder); with arguments, they are passed to
# build/tarnhold as they are (without --headless and with a display, the
# desktop console opens).
#   scripts/run.sh
#   scripts/run.sh --headless --config-dir /srv/tarnhold
#   scripts/run.sh --config-dir /srv/tarnhold
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh plain >/dev/null
if [ $# -eq 0 ]; then
  exec build/tarnhold --headless
fi
exec build/tarnhold "$@"

#!/usr/bin/env bash
# Installs what is needed, builds, and starts the server headless. Without
# arguments the settings live in ${XDG_CONFIG_HOME:-~/.config}/tarnhold;
# with arguments, they are passed to build/tarnhold as they are.
#   scripts/run.sh
#   scripts/run.sh --headless --config-dir /srv/tarnhold
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh plain >/dev/null
if [ $# -eq 0 ]; then
  config_dir=${XDG_CONFIG_HOME:-$HOME/.config}/tarnhold
  mkdir -p "$config_dir"
  chmod 700 "$config_dir"
  exec build/tarnhold --headless --config-dir "$config_dir"
fi
exec build/tarnhold "$@"

#!/usr/bin/env bash
# Installs what is needed, builds, and starts the server.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh plain >/dev/null
if [ -x build/tarnhold ]; then
  exec build/tarnhold "$@"
fi
echo "run: the build succeeded; the executable build/tarnhold is not part of the project yet" >&2

#!/usr/bin/env bash
# Builds the Debian package build/tarnhold_<version>_<arch>.deb from the
# plain build (installed under /usr), and prints its path.
#   scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh plain >/dev/null
rm -f build/tarnhold_*.deb
(cd build && cpack -G DEB >/dev/null)
ls build/tarnhold_*.deb

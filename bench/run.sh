#!/usr/bin/env bash
# Benchmarks tarnhold against vsftpd side by side on loopback; see bench/README.md.
#   bench/run.sh                     full run (about 3 GiB of temporary data, 5 rounds)
#   bench/run.sh --quick             small sizes, 3 rounds: a smoke test
#   bench/run.sh --tarnhold PATH     another tarnhold executable (default build/tarnhold)
#   bench/run.sh --only vsftpd       one server only
# Installs vsftpd when it is missing, without ever starting its system
# service: the benchmark runs the vsftpd binary itself on a port of its own.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ ! -x /usr/sbin/vsftpd ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "bench: vsftpd is missing; run as root to install it" >&2
    exit 1
  fi
  # The package would start its service; policy-rc.d forbids that while it installs.
  guard=
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    guard=/usr/sbin/policy-rc.d
    trap 'rm -f "$guard"' EXIT
    printf '#!/bin/sh\nexit 101\n' >"$guard"
    chmod 755 "$guard"
  fi
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y --no-install-recommends vsftpd; then
    apt-get update
    apt-get install -y --no-install-recommends vsftpd
  fi
  if [ -n "$guard" ]; then
    rm -f "$guard"
    trap - EXIT
  fi
fi

exec python3 "$here/ftpbench.py" "$@"

#!/usr/bin/env bash
# Benchmarks tarnhold against vsftpd, pure-ftpd and ProFTPD side by side on
# loopback; see bench/README.md.
#   bench/run.sh                     full run (about 3 GiB of temporary data, 5 rounds)
#   bench/run.sh --quick             small sizes, 3 rounds: a smoke test
#   bench/run.sh --tarnhold PATH     another tarnhold executable (default build/tarnhold)
#   bench/run.sh --before PATH       an earlier build beside it, with the ratio to it
#   bench/run.sh --only tarnhold,pure-ftpd
#   bench/run.sh --only tarnhold --ipv6 --workloads small,clients --floor none
#                                    IPv6 clients (::1, ipv6 = yes) against IPv4 ones
#   bench/run.sh scale [...]        many sessions: memory, 200 downloads (scale.py)
#   bench/run.sh soak [...]         clients coming and going for 30 minutes (soak.py)
# The peers' Debian packages conflict with each other, so none is installed:
# they are downloaded with apt-get download and unpacked with dpkg-deb -x into
# build/bench-peers, and the benchmark runs their binaries itself, each on a
# port of its own. Only the runtime libraries they load are installed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
peers_dir=$(cd "$here/.." && pwd)/build/bench-peers

packages=(vsftpd pure-ftpd proftpd-core)
binaries=(usr/sbin/vsftpd usr/sbin/pure-ftpd usr/bin/pure-pw usr/sbin/proftpd)
# What those binaries load that a Debian 12 system may lack; none of these
# conflicts with anything.
libraries=(libcap2 libpam0g libssl3 libcrypt1 libwrap0 libsodium23 libacl1 libidn2-0
  libhiredis0.14 libmemcached11 libmemcachedutil2 libpcre2-8-0 libpcre2-posix3)

apt_install() {
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y --no-install-recommends "$@"; then
    apt-get update
    apt-get install -y --no-install-recommends "$@"
  fi
}

missing=()
for p in "${libraries[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
unpacked=1
for b in "${binaries[@]}"; do
  [ -x "$peers_dir/root/$b" ] || unpacked=0
done
if [ ${#missing[@]} -gt 0 ] || [ $unpacked -eq 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "bench: the peers are not ready; run as root once to fetch them" >&2
    exit 1
  fi
fi
if [ ${#missing[@]} -gt 0 ]; then
  apt_install "${missing[@]}"
fi
if [ $unpacked -eq 0 ]; then
  rm -rf "$peers_dir"
  mkdir -p "$peers_dir/debs" "$peers_dir/root"
  # apt drops root for downloads; its user must be able to write there.
  chown _apt "$peers_dir/debs" 2>/dev/null || true
  if ! (cd "$peers_dir/debs" && apt-get download "${packages[@]}"); then
    apt-get update
    (cd "$peers_dir/debs" && apt-get download "${packages[@]}")
  fi
  : >"$peers_dir/versions"
  for deb in "$peers_dir"/debs/*.deb; do
    dpkg-deb -x "$deb" "$peers_dir/root"
    dpkg-deb -f "$deb" Package Version | paste -sd' ' | sed 's/^Package: \(.*\) Version: /\1 /' >>"$peers_dir/versions"
  done
fi

# The peers' sessions run as an unprivileged local account of the benchmark's
# own, whose home is an empty folder (vsftpd changes into it before it
# changes into the data folder).
account=ftpbench
mkdir -p "$peers_dir/home"
chmod 755 "$peers_dir/home"
if ! getent passwd "$account" >/dev/null; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "bench: the account $account is missing; run as root once to create it" >&2
    exit 1
  fi
  useradd --system --user-group --home-dir "$peers_dir/home" --no-create-home --shell /usr/sbin/nologin "$account"
elif [ "$(getent passwd "$account" | cut -d: -f6)" != "$peers_dir/home" ] && [ "$(id -u)" -eq 0 ]; then
  usermod --home "$peers_dir/home" "$account"
fi

script=ftpbench.py
case "${1:-}" in
  scale|soak) script=$1.py; shift ;;
esac
exec python3 "$here/$script" "$@"

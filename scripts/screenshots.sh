#!/usr/bin/env bash
# Takes the screenshots of the desktop console for the manual and the
# README: the program runs under Xvfb (fonts-liberation stands in for
# Arial) with a real server, two FTP sessions and a download in progress;
# the main window, the account manager, the options window, the network
# options window, the about box and the help window are each saved as a
# PNG into docs/screenshots/.
#   scripts/screenshots.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build=$(scripts/build.sh plain | tail -n 1)
out=docs/screenshots
mkdir -p "$out"

work=$(mktemp -d /tmp/tarnhold-demo.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody uses.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=":$display"
for _ in $(seq 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done

mkdir -p "$work/settings" "$work/ftp/pub"
truncate -s 512M "$work/ftp/pub/debian-12-netinst.iso"
printf 'Welcome to the archive.\n' > "$work/ftp/pub/README.txt"
port=$(PYTHONPATH=tests/protocol python3 -c 'import harness; print(harness.free_port())')
PYTHONPATH=tests/protocol python3 - "$port" "$work" <<'PY'
import sys, harness
port, work = int(sys.argv[1]), sys.argv[2]
home = work + "/ftp"
M = harness.MARK
def section(marker, values):
    return marker + M + "\r\n" + "".join(str(v) + "\r\n" for v in values)
# FTPS offered (bit 0x2), so that one session shows its lock.
text = section("SRVROPT", [port, 2, "f4240", "f4240", 100, 0, 1, 0, 300])
text += section("ANONACCT", ["Public FTP Account", "", "", home, "", 0, "f4240", "f4240", 300, 10, 1, 0, 0, 0, 0])
text += section("ANONACCPATH", [home, "44", "0"])
text += section("REGACCT", ["Alice Smith", "alice", "secret", home, "", 0, "f4240", "f4240", 300, 10, 1, 0, 0, 0, 0])
text += section("ACCPATH", [home, "77", "0"])
text += "BLKLIST" + M + "\r\n"
open(work + "/settings/tarnhold.bot", "w").write(text)
PY
# A server shared over the internet through a range the router forwards.
printf 'passive_ports = 50000-50099\npassive_address = 203.0.113.7\n' > "$work/settings/tarnhold.conf"

"$build/tarnhold" --config-dir "$work/settings" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  PYTHONPATH=tests/protocol python3 -c "import harness,sys; sys.exit(0 if harness.port_is_listening($port) else 1)" && break
  sleep 0.1
done

# Two sessions of Alice (one over FTPS, one downloading slowly) and an
# anonymous one.
python3 - "$port" <<'PY' &
import ftplib, ssl, sys, time
port = int(sys.argv[1])
def session(user, password, secured=False):
    if secured:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        ftp = ftplib.FTP_TLS(context=context)
    else:
        ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", port, timeout=60)
    ftp.login(user, password)  # FTP_TLS sends AUTH TLS first
    return ftp
idle = session("alice", "secret", secured=True)
anonymous = session("anonymous", "guest@example.org")
anonymous.nlst()
busy = session("alice", "secret")
data = busy.transfercmd("RETR pub/debian-12-netinst.iso")
while True:
    if not data.recv(65536):
        break
    time.sleep(0.002)
PY
pids+=($!)

window_id() {
  xwininfo -root -tree | awk -v name="\"$1\"" 'index($0, name) { print $1; exit }'
}
for _ in $(seq 100); do [ -n "$(window_id 'Tarnwell Server 1.0')" ] && break; sleep 0.1; done
# Long enough for the transfer column to show a rate.
sleep 3
main=$(window_id 'Tarnwell Server 1.0')
# The machine's addresses in the log, as "My FTP site address" lists them.
xdotool windowfocus --sync "$main"
xdotool key alt+h
sleep 0.3
xdotool key f
sleep 0.5
"$build/tests/gui/grab_window" "$main" "$out/main-window.png"
echo "saved $out/main-window.png"

# The account manager (Ctrl+N), showing Alice's account.
xdotool windowfocus --sync "$main"
xdotool key ctrl+n
for _ in $(seq 100); do [ -n "$(window_id 'Tarnwell Server account manager')" ] && break; sleep 0.1; done
accounts=$(window_id 'Tarnwell Server account manager')
xdotool windowfocus --sync "$accounts"
xdotool key Down
sleep 0.5
"$build/tests/gui/grab_window" "$accounts" "$out/account-manager.png"
echo "saved $out/account-manager.png"

# A window of the menus, by the keys that open it: saved once its caption
# is shown.
grab_from_menu() {
  local menu=$1 entry=$2 caption=$3 file=$4 id
  xdotool windowfocus --sync "$main"
  xdotool key "$menu"
  sleep 0.3
  xdotool key "$entry"
  for _ in $(seq 100); do [ -n "$(window_id "$caption")" ] && break; sleep 0.1; done
  id=$(window_id "$caption")
  sleep 0.5
  "$build/tests/gui/grab_window" "$id" "$out/$file"
  echo "saved $out/$file"
}
grab_from_menu alt+t o 'Tarnwell Server options' options.png
grab_from_menu alt+t n 'Network options' network-options.png
grab_from_menu alt+h t 'About Tarnwell Server 1.0' about.png
grab_from_menu alt+h m 'Tarnwell Server help' help-window.png

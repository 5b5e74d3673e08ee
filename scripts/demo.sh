#!/usr/bin/env bash
# Runs the whole job on this machine, with nothing outside it: builds the launcher and installs
# it into ./demo (version 12 of the diagnostics program), puts the interface simulator on a
# pseudo-terminal, seeds SQLite catalogs that offer version 13, serves the update file from an
# FTP server on loopback (pyftpdlib) with its signature (a key pair made for the demo, the public
# key in the demo's server.ini), runs the launcher, and shows what happened: the versions before
# and after, the log decoded, what the update installed.
# Windows appear when there is a display; otherwise it runs --unattended (offscreen).
#
# Usage: scripts/demo.sh [--unattended]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

unattended=0
[ "${1:-}" = "--unattended" ] && unattended=1
[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && unattended=1

build=${PCV_BUILD_DIR:-build}
demo=$root/demo
server=$(mktemp -d) # the update server's files: catalogs and the FTP root
# Debian's interpreter: it is the one with pyftpdlib.
py=/usr/bin/python3

# Qt wants a private runtime folder; give it one rather than let it warn.
own_runtime=""
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  own_runtime=$(mktemp -d)
  export XDG_RUNTIME_DIR=$own_runtime
fi

cleanup() {
  [ -n "${sim:-}" ] && { kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; }
  [ -n "${ftp:-}" ] && { kill "$ftp" 2>/dev/null || true; wait "$ftp" 2>/dev/null || true; }
  rm -f "${sim_out:-}" "${ftp_out:-}"
  rm -rf "$server"
  [ -z "$own_runtime" ] || rm -rf "$own_runtime"
}
trap cleanup EXIT

echo "== Debian packages (scripts/setup.sh)"
bash scripts/setup.sh >/dev/null
echo "== build and install into $demo"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target pc_velka_setup signupdate
rm -rf "$demo"
cmake --install "$build" --prefix "$demo" >/dev/null
mkdir -p "$demo/devices" "$server/catalogs" "$server/ftp/tarn"

# pc1.exe stands in for the diagnostics program, version 12.
cat > "$demo/pc1.exe" <<'SH'
#!/bin/sh
echo "pc1.exe: diagnostics program version 12 (stand-in), working for 1 s"
sleep 1
SH
chmod +x "$demo/pc1.exe"
printf '[VERSION]\r\nSetup=1\r\nPc1=12\r\nInterface=1\r\n[Language]\r\nLanguage=1\r\n' \
  > "$demo/velka.ini"

echo "== the update file: a self-installing script that brings version 13"
update=pc1_v13_update.sh
cat > "$server/ftp/tarn/$update" <<'SH'
#!/bin/sh
# Installs version 13 of the diagnostics program into the current directory: the launcher
# runs it, from a private copy of its own, in the program's folder.
here=$(pwd)
cat > "$here/pc1.exe.new" <<'PC1'
#!/bin/sh
echo "pc1.exe: diagnostics program version 13 (stand-in), working for 1 s"
sleep 1
PC1
chmod +x "$here/pc1.exe.new"
mv "$here/pc1.exe.new" "$here/pc1.exe"
echo "version 13 installed $(date '+%Y-%m-%d %H:%M:%S')" >> "$here/update-history.txt"
echo "update: pc1.exe version 13 installed into $here"
SH
size=$(stat -c %s "$server/ftp/tarn/$update")
echo "   $update, $size bytes"

echo "== the publisher signs it: a key pair made for the demo, the .sig beside the update"
# The private key stays with the publisher (here a folder of its own in the demo); only the
# public key goes into the installation's server.ini.
mkdir -p "$demo/publisher"
public_keys=$("$build/tools/signupdate" keygen "$demo/publisher/signing-key.pem" |
  sed -n 's/^PublicKeys=//p')
[ -n "$public_keys" ] || { echo "no signing key was made"; exit 1; }
"$build/tools/signupdate" sign "$demo/publisher/signing-key.pem" tarn 13 \
  "$server/ftp/tarn/$update" | sed 's/^/   /'

echo "== update database: SQLite catalogs offering 12 -> 13 for product line 'tarn'"
python3 tools/db_seed.py sqlite "$server/catalogs" \
    --row tarn 12 13 pc1_v12_update.sh 1000 --row tarn 13 13 "$update" "$size" >/dev/null
echo "   tarn 12 -> 13, file $update ($size bytes)"


echo "== FTP server on loopback serving $server/ftp"
ftp_out=$(mktemp)
"$py" tools/ftp_update_server.py --keep-running --root "$server/ftp" --user velk \
  --password velkaftp --trace "$server/ftp-commands.txt" >"$ftp_out" 2>"$server/ftp-server.log" &
ftp=$!
for _ in $(seq 1 50); do
  grep -q '^PORT' "$ftp_out" && break
  sleep 0.1
done
ftp_port=$(awk '/^PORT/ {print $2}' "$ftp_out")
[ -n "$ftp_port" ] || { echo "the FTP server did not start"; exit 1; }
echo "   listening on 127.0.0.1:$ftp_port"

cat > "$demo/demo-server.ini" <<INI
[Server]
Host=127.0.0.1
[Database]
Backend=sqlite
Directory=$server/catalogs
[Ftp]
Port=$ftp_port
User=velk
Password=velkaftp
[Interface]
Devices=$demo/devices
[Update]
PublicKeys=$public_keys
INI

echo "== interface simulator on a pseudo-terminal as COM4, device type 5"
sim_out=$(mktemp)
python3 tools/interface_sim.py --devices "$demo/devices" --port 4 --device-type 5 >"$sim_out" &
sim=$!
for _ in $(seq 1 50); do
  grep -q '^ready' "$sim_out" && break
  sleep 0.1
done
grep '^ready' "$sim_out" | sed 's/^/   /' || { echo "the simulator did not start"; exit 1; }

before=$(sed -n 's/^Pc1=\([0-9]*\).*/\1/p' "$demo/velka.ini")
echo "== run the launcher from $demo (installed version: $before)"
args=(--config "$demo/demo-server.ini")
if [ $unattended -eq 1 ]; then
  args+=(--unattended)
  echo "   (--unattended: messages are printed as [caption] text and answered OK)"
else
  echo "   (windows on the display: answer the boxes yourself)"
fi
start=$(date +%s%N)
(cd "$demo" && ./pc_velka_setup "${args[@]}") | sed 's/^/   /'
end=$(date +%s%N)
echo "   the launcher ended by itself after $(( (end - start) / 1000000 )) ms"

after=$(sed -n 's/^Pc1=\([0-9]*\).*/\1/p' "$demo/velka.ini")
echo "== DLrec.txt (Big5, decoded)"
if [ -f "$demo/DLrec.txt" ]; then
  iconv -f CP950 -t UTF-8 "$demo/DLrec.txt" | sed 's/\r$//; s/^/   /'
else
  echo "   (no log: the update check did not run)"
fi
echo "== FTP commands the server received"
sed 's/^/   /' "$server/ftp-commands.txt" 2>/dev/null || echo "   (none)"
echo "== velka.ini"
sed 's/\r$//; s/^/   /' "$demo/velka.ini"
echo "== what the update did"
if [ -f "$demo/update-history.txt" ]; then
  sed 's/^/   /' "$demo/update-history.txt"
  echo "   pc1.exe now says: $(cd "$demo" && ./pc1.exe | head -1)"
else
  echo "   nothing: the update did not run"
fi
if [ -e "$demo/$update" ]; then
  echo "   the update file is still in $demo (it should have been deleted)"
else
  echo "   the update file was deleted after it ran"
fi
echo "== result: installed version $before before, $after after"
if [ "$after" = "13" ]; then
  echo "   the demo installation was updated from 12 to 13"
else
  echo "   no update was recorded"
fi

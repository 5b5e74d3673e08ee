#!/usr/bin/env bash
# The download window of the installed program, captured for a person to look at: the program
# runs on a virtual X display (xvfb-run) against the interface simulator, SQLite catalogs and an
# FTP server on loopback that sends the update slowly, and the screen is saved as a PNG while the
# transfer is under way. Without --windows the Linux program (BUILD installed) is shown.
# Usage: tests/windows/screenshot.sh OUT.png [--windows DIST/win64] [other e2e_wine.py options]
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 OUT.png [--windows DIR] [e2e_wine.py options]" >&2; exit 2; }
out=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
exec timeout -k 10 400 xvfb-run -a -s "-screen 0 1024x768x24" \
    /usr/bin/python3 "$here/e2e_wine.py" --screenshot "$out" "$@"

#!/usr/bin/env bash
# Cross-builds the Windows test programs (in scripts/windows.sh's build folder) and runs each
# under wine64, headless: one result line per program, then "N passed, N failed" (tests counted
# inside each program; a program that was not built or that crashed counts as one failure).
# Exits non-zero when anything failed or did not build. What the Windows build leaves out, and
# why, is printed at the end (tests/CMakeLists.txt, PCV_NOT_ON_WINDOWS).
#   PCV_WIN_TEST_TIMEOUT  seconds one program may run (default 300)
#   PCV_WIN_TEST_FILTER   run only the programs whose name matches this extended regex (and
#                         then not the end-to-end run of the Windows folder)
#   PCV_BUILD_DIR         the Linux build the end-to-end run compares against (default build)
# Usage: scripts/windows-test.sh
set -euo pipefail
# The whole run on one virtual X display where there is one: the programs still draw offscreen,
# but Wine can then make windows, which the end-of-session test needs (without one it is
# skipped). One display for all, as the Wine prefix's first program ties its desktop to the
# display it saw.
if [ -z "${PCV_WIN_TEST_ON_DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
    export PCV_WIN_TEST_ON_DISPLAY=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
start=$(date +%s)
source "$(dirname "$0")/windows-common.sh"
cd "$root"
timeout_s=${PCV_WIN_TEST_TIMEOUT:-300}
filter=${PCV_WIN_TEST_FILTER:-.}

win_find_prefix
win_configure
manifest=$build/windows-tests.txt
[ -f "$manifest" ] || win_fail "configuring gave no $manifest"

# name <TAB> kind <TAB> program <TAB> arguments (tab-separated)
names=() kinds=() programs=() arguments=()
while IFS=$'\t' read -r name kind program rest; do
    [ -n "$name" ] || continue
    grep -qE "$filter" <<<"$name" || continue
    names+=("$name") kinds+=("$kind") programs+=("$program") arguments+=("$rest")
done <"$manifest"
[ ${#names[@]} -gt 0 ] || win_fail "no Windows test program matches '$filter'"

win_say "building ${#names[@]} test programs in $build"
build_ok=1
# Keep going past a program that does not build, so that the others still run.
if ! nice cmake --build "$build" -j "$jobs" --target "${names[@]}" -- -k 0; then
    build_ok=0
    echo "windows-test.sh: the build FAILED; the programs that were built still run" >&2
fi

win_wine
# Qt's DLLs and the MinGW runtime from the prefix; Qt looks for plugins beside each program.
export WINEPATH="Z:${prefix//\//\\}\\bin"
logs=$build/windows-test-logs
rm -rf "$logs"
mkdir -p "$logs"

passed=0 failed=0 programs_failed=0
for i in "${!names[@]}"; do
    name=${names[$i]} kind=${kinds[$i]} program=${programs[$i]}
    IFS=$'\t' read -r -a args <<<"${arguments[$i]}"
    if [ ! -f "$program" ]; then
        printf 'FAIL  %-32s not built\n' "$name"
        failed=$((failed + 1)) programs_failed=$((programs_failed + 1))
        continue
    fi
    dir=$(dirname "$program")
    for plugins in platforms sqldrivers imageformats styles; do
        [ -e "$dir/$plugins" ] || ln -s "$prefix/plugins/$plugins" "$dir/$plugins"
    done
    log=$logs/$name.log
    t0=$(date +%s)
    rc=0
    if [ "$kind" = program ]; then
        (cd "$dir" && timeout -k 10 60 "$wine" "$program" --version >"$log" 2>"$log.stderr") || rc=$?
    else
        (cd "$dir" && timeout -k 10 "$timeout_s" "$wine" "$program" "${args[@]}" >"$log" 2>&1) || rc=$?
    fi
    t=$(($(date +%s) - t0))
    if [ "$kind" = program ]; then
        # The window program itself: its standard output reaches a redirection byte for byte
        # (no CR added), and a wrong command line exits with 2.
        ok=0 bad=0
        want=$(printf 'pc_velka_setup %s\n' "${args[0]}" | od -An -tx1)
        got=$(od -An -tx1 "$log")
        if [ "$rc" = 0 ] && [ "$got" = "$want" ]; then ok=$((ok + 1)); else bad=$((bad + 1)); fi
        rc2=0
        (cd "$dir" && timeout -k 10 60 "$wine" "$program" --no-such-option >/dev/null 2>>"$log.stderr") ||
            rc2=$?
        if [ "$rc2" = 2 ]; then ok=$((ok + 1)); else bad=$((bad + 1)); fi
        # A --config path with letters outside the ANSI code page (which is all argv can hold
        # there) reaches the program whole: its settings file, too large, is refused by that
        # name, not missed as a file that is not there.
        odd="$logs/設定-ŝ"
        mkdir -p "$odd"
        truncate -s $((4 * 1024 * 1024 + 1)) "$odd/server.ini"
        (cd "$dir" && LC_ALL=C.UTF-8 timeout -k 10 60 "$wine" "$program" --unattended -platform offscreen \
            --config "Z:${odd//\//\\}\\server.ini" >"$log.config" 2>>"$log.stderr") || true
        if grep -q "設定-ŝ.server.ini was not read: larger than 4 MiB" "$log.config"; then
            ok=$((ok + 1))
        else
            bad=$((bad + 1))
        fi
        [ "$bad" = 0 ] || rc=1
        what="--version, a wrong option, a --config path outside the code page: $ok passed, $bad failed"
    elif [ "$kind" = gtest ]; then
        read -r ok bad < <(win_gtest_counts "$log" "$rc")
        what="$ok passed, $bad failed"
    else
        # A replay program runs every input of its corpus; one failing input stops it.
        # (Windows programs end their lines with CR LF.)
        inputs=$(sed -n 's/^\([0-9]*\) inputs ran\r\?$/\1/p' "$log" | tail -1)
        if [ "$rc" = 0 ]; then ok=1 bad=0; else ok=0 bad=1; fi
        what="${inputs:-0} inputs"
    fi
    [ "$rc" = 124 ] && what="$what, timed out after ${timeout_s} s"
    passed=$((passed + ok)) failed=$((failed + bad))
    if [ "$rc" = 0 ] && [ "$bad" = 0 ]; then
        printf 'PASS  %-32s %s (%d s)\n' "$name" "$what" "$t"
    else
        programs_failed=$((programs_failed + 1))
        printf 'FAIL  %-32s %s, exit %s (%d s); log %s\n' "$name" "$what" "$rc" "$t" "$log"
        grep -E '^\[  FAILED  \]|Failure|error' "$log" | sed -n '1,20s/^/      /p' || true
    fi
done
/usr/lib/wine/wineserver -k 2>/dev/null || true

# The installed Windows folder end to end (scripts/windows.sh makes it), beside the Linux program
# of the Linux build in the same scenarios; one failure however many scenarios failed.
if [ "$filter" = . ]; then
    win_say "end to end: $root/dist/win64 under Wine"
    /usr/bin/python3 "$root/tests/windows/e2e_wine.py" --windows "$root/dist/win64" --build "$root/${PCV_BUILD_DIR:-build}" --work "$build/e2e-wine" || failed=$((failed + 1))
fi

if [ -s "$build/windows-tests-left-out.txt" ]; then
    echo "left out on Windows:"
    sed 's/^/      /' "$build/windows-tests-left-out.txt"
fi
elapsed=$(($(date +%s) - start))
echo "windows-test.sh took $((elapsed / 60)) min $((elapsed % 60)) s"
[ "$build_ok" = 1 ] || echo "the Windows build failed: some programs were not built"
echo "$passed passed, $failed failed"
[ "$build_ok" = 1 ] && [ "$failed" = 0 ] && [ "$programs_failed" = 0 ]

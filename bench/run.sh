#!/usr/bin/env bash
# Runs every benchmark and prints one table, the budgets beside the figures. Loopback only;
# every temporary file is removed at the end. Not part of scripts/test.sh (it takes a few
# minutes and wants a quiet machine).
#
#   bench/run.sh [BUILD_DIR]            (default: $PCV_BUILD_DIR or build)
#
#   serial search    FindInterface over COM3 ... COM30 with no interface present (median of 200)
#   FTP speed        256 MiB from vsftpd on loopback, into /dev/null and into a file: the
#                    launcher's FTP component (tools/ftpget) against curl (and wget), and against
#                    the floor, a bare C client (bench/ftp_floor.c), client after client in each
#                    round, median of 5 each, whole processes
#   FTPS speed       the same 256 MiB into /dev/null from vsftpd with explicit TLS (a test CA
#                    made here): ftpget --tls --cafile against curl --ssl-reqd --cacert
#   event-loop gap   the longest interval between two ticks of a 1 ms timer during a transfer
#   CPU while stall  ftpget on a transfer that stops after 1 MiB and stays silent until ftpget's
#                    10 s time-out; the CPU of the same run with a 0.1 s time-out is subtracted
#   peak memory      maximum resident set of ftpget for a 16 MiB and a 1 GiB download, and curl's
#   signature check  signupdate verify (the launcher's own check: SHA-256 of the file, then the
#                    Ed25519 signature) against sha256sum over the same file of BENCH_BIG_MIB MiB,
#                    alternating, median of 5, whole processes; BENCH_ONLY=signature runs only it
#   Wine             the Windows ftpget.exe under Wine against ours, the same 256 MiB into a
#                    file, alternating, median of 5 (information; needs the folder
#                    from scripts/windows.sh and the Wine prefix of scripts/windows-test.sh)
#   first window     exec of the launcher (--unattended, Qt offscreen, no interface on any port)
#                    until its first window, the "Set error" box, is put up (its line appears on
#                    standard output): Qt start-up, settings and the serial search; median of 5
#
# Environment: PCV_FTPGET=path of an ftpget built elsewhere; BENCH_BIG_MIB (default 256).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-${PCV_BUILD_DIR:-$root/build}}"
big_mib="${BENCH_BIG_MIB:-256}"
python=/usr/bin/python3

for tool in cc curl wget openssl /usr/sbin/vsftpd "$python"; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/setup.sh)" >&2; exit 2; }
done

only="${BENCH_ONLY:-}"
cmake -S "$root" -B "$build" >/dev/null
targets=(signupdate)
if [ "$only" != signature ]; then
    targets+=(serial_search_bench pc_velka_setup)
    if [ -z "${PCV_FTPGET:-}" ] && [ -f "$root/tools/ftpget.cpp" ]; then
        targets+=(ftpget)
    fi
fi
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null
ftpget="${PCV_FTPGET:-$build/tools/ftpget}"
launcher="$build/src/pc_velka_setup"

. "$root/bench/lib.sh"
bench_init pcv_bench

rows=()
row() { rows+=("$1|$2|$3|$4"); } # what | figure | budget | verdict

median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
verdict() { awk -v c="$1" 'BEGIN { print (c ? "met" : "NOT met") }'; }

# --- the signature check of an update against sha256sum over the same file: the check is a
# SHA-256 of the file and one Ed25519 verification, so sha256sum is its floor.
echo "signature check (${big_mib} MiB) ..." >&2
signupdate="$build/tools/signupdate"
sigfile="$work/update.bin"
head -c $((big_mib << 20)) /dev/urandom > "$sigfile"
keys="$("$signupdate" keygen "$work/signing.pem" | sed -n 's/^PublicKeys=//p')"
"$signupdate" sign "$work/signing.pem" tarn 13 "$sigfile" >/dev/null
checks=(); sums=()
for _ in 1 2 3 4 5; do
    read -r _ _ t rc < <(measure "$signupdate" verify "$keys" tarn 13 "$sigfile")
    [ "$rc" = 0 ] || { echo "signupdate verify failed" >&2; exit 1; }
    checks+=("$t")
    read -r _ _ t rc < <(measure sha256sum "$sigfile")
    [ "$rc" = 0 ] || { echo "sha256sum failed" >&2; exit 1; }
    sums+=("$t")
done
rm -f "$sigfile"
mcheck="$(median "${checks[@]}")"; msum="$(median "${sums[@]}")"
rsig="$(awk -v a="$mcheck" -v b="$msum" 'BEGIN { printf "%.2f", a / b }')"
row "signature check ${big_mib} MiB: verify $(awk -v s="$mcheck" -v m="$big_mib" 'BEGIN { printf "%.0f MiB/s", m / s }'), sha256sum $(awk -v s="$msum" -v m="$big_mib" 'BEGIN { printf "%.0f MiB/s", m / s }') (verify time / sha256sum)" \
    "$rsig" "none set (<= 1.1 wanted)" "$(verdict "$(awk -v r="$rsig" 'BEGIN { print (r <= 1.1) }')")"

if [ "$only" != signature ]; then
# --- serial search
echo "serial search ..." >&2
serial_out="$("$build/bench/serial_search_bench" 200 || true)"
serial_ms="$(awk '/empty devices folder/ { for (i = 1; i <= NF; i++) if ($i == "median") print $(i + 1) }' <<<"$serial_out")"
serial_tty="$(awk '/ttyS2/ { for (i = 1; i <= NF; i++) if ($i == "median") print $(i + 1) }' <<<"$serial_out")"
row "serial search, no device, COM3..COM30 (empty devices folder)" "${serial_ms:-?} ms" "< 20 ms" \
    "$(verdict "$(awk -v m="${serial_ms:-1e9}" 'BEGIN { print (m < 20) }')")"
row "serial search, no device, /dev/ttyS2..ttyS29" "${serial_tty:-?} ms" "< 20 ms" \
    "$(verdict "$(awk -v m="${serial_tty:-1e9}" 'BEGIN { print (m < 20) }')")"

# --- launcher start to first window
echo "launcher start to first window ..." >&2
app="$work/app"
mkdir -p "$app/Data/LOGO" "$app/img" "$app/devices"
cp "$launcher" "$app/"
cp "$root/assets/Data/main_bg03.jpg" "$app/Data/"
cp "$root/assets/Data/LOGO/velkapc_logo.jpg" "$app/Data/LOGO/"
cp "$root/assets/img/but_exit.jpg" "$app/img/"
printf '[Server]\r\nHost=127.0.0.1\r\n[Database]\r\nBackend=sqlite\r\nDirectory=%s\r\n[Interface]\r\nDevices=%s\r\n' \
    "$work/none" "$app/devices" > "$app/server.ini"
first=()
for _ in 1 2 3 4 5; do
    first+=("$(cd "$app" && QT_QPA_PLATFORM=offscreen "$python" - ./pc_velka_setup <<'PY'
import subprocess, sys, time
t = time.monotonic()
p = subprocess.Popen([sys.argv[1], "--unattended"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
line = p.stdout.readline()
shown = time.monotonic() - t
p.wait(timeout=30)
print("%.1f" % (shown * 1000) if line.startswith(b"[Set error]") else "nan")
PY
)")
done
first_ms="$(median "${first[@]}")"
row "launcher start to first window (offscreen, --unattended)" "${first_ms} ms" "none set" "-"

# --- FTP: vsftpd on loopback, anonymous
if [ ! -x "$ftpget" ]; then
    row "FTP speed, ratio to curl / wget" "not measured: no ftpget at $ftpget" ">= 1.0" "-"
else
    echo "FTP benchmarks (vsftpd on loopback, ${big_mib} MiB) ..." >&2
    ftproot="$work/ftproot"
    mkdir -p "$ftproot"
    chmod 755 "$work" "$ftproot"
    head -c $((big_mib << 20)) /dev/urandom > "$ftproot/big.bin"
    head -c $((16 << 20)) /dev/urandom > "$ftproot/f16m.bin"
    truncate -s 1G "$ftproot/f1g.bin"
    chmod 644 "$ftproot"/*.bin
    start_vsftpd "$ftproot"

    # The floor: a bare C client (one recv loop, no event loop), built here from bench/.
    floor="$work/ftp_floor"
    cc -O2 -o "$floor" "$root/bench/ftp_floor.c"

    # Side by side in one run, client after client in each round, so that a drift of the
    # machine's speed hits all of them alike: into /dev/null, then into a file on disk.
    run_round() { # $1: output path; appends each client's wall time to its array
        local out="$1" t rc
        read -r _ _ t rc < <(measure "$ftpget" 127.0.0.1 "$port" anonymous bench@ big.bin "$out")
        [ "$rc" = 0 ] || { echo "ftpget failed" >&2; exit 1; }
        ours+=("$t")
        read -r _ _ t rc < <(measure curl -s -o "$out" "ftp://127.0.0.1:$port/big.bin")
        [ "$rc" = 0 ] || { echo "curl failed" >&2; exit 1; }
        curls+=("$t")
        read -r _ _ t rc < <(measure "$floor" 127.0.0.1 "$port" anonymous bench@ big.bin "$out")
        [ "$rc" = 0 ] || { echo "the floor client failed" >&2; exit 1; }
        floors+=("$t")
        if [ "$out" = /dev/null ]; then
            read -r _ _ t rc < <(measure wget -q -O /dev/null "ftp://127.0.0.1:$port/big.bin")
            [ "$rc" = 0 ] || { echo "wget failed" >&2; exit 1; }
            wgets+=("$t")
        fi
    }
    mibs() { awk -v s="$1" -v m="$big_mib" 'BEGIN { printf "%.0f MiB/s", m / s }'; }
    ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
    for target in /dev/null "$work/out.bin"; do
        ours=(); curls=(); floors=(); wgets=()
        for i in 1 2 3 4 5; do run_round "$target"; done
        rm -f "$work/out.bin"
        mo="$(median "${ours[@]}")"; mc="$(median "${curls[@]}")"; mf="$(median "${floors[@]}")"
        rc_="$(ratio "$mc" "$mo")"; rf_="$(ratio "$mo" "$mf")"
        if [ "$target" = /dev/null ]; then
            where="into /dev/null"; curl_budget=1.0
            mw="$(median "${wgets[@]}")"; rw_="$(ratio "$mw" "$mo")"
        else
            where="into a file"; curl_budget=1.5
        fi
        row "FTP ${big_mib} MiB ${where}: ours $(mibs "$mo"), curl $(mibs "$mc") (curl time / ours)" \
            "$rc_" ">= $curl_budget" \
            "$(verdict "$(awk -v r="$rc_" -v b="$curl_budget" 'BEGIN { print (r >= b) }')")"
        row "FTP ${big_mib} MiB ${where}: floor $(mibs "$mf") (ours time / floor)" "$rf_" \
            "$([ "$target" = /dev/null ] && echo "<= 1.05" || echo "none set")" \
            "$(if [ "$target" = /dev/null ]; then verdict "$(awk -v r="$rf_" 'BEGIN { print (r <= 1.05) }')"; else echo -; fi)"
        if [ "$target" = /dev/null ]; then
            row "FTP ${big_mib} MiB ${where}: wget $(mibs "$mw") (wget time / ours)" "$rw_" \
                "none set (>= 1.0 wanted)" "$(verdict "$(awk -v r="$rw_" 'BEGIN { print (r >= 1.0) }')")"
        fi
    done

    # FTPS: a test CA and a certificate for 127.0.0.1, a second vsftpd that insists on TLS.
    echo "FTPS benchmark (${big_mib} MiB) ..." >&2
    plain_port="$port"
    (cd "$work" &&
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key \
            -out ca.pem -days 2 -subj "/CN=bench CA" -addext basicConstraints=critical,CA:TRUE \
            -addext keyUsage=critical,keyCertSign,cRLSign &&
        openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout tls.key \
            -out tls.csr -subj "/CN=127.0.0.1" &&
        printf 'basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1\n' > tls.ext &&
        openssl x509 -req -in tls.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
            -extfile tls.ext -out tls.pem) >/dev/null 2>&1 || { echo "openssl failed" >&2; exit 1; }
    chmod 644 "$work/tls.key"
    start_vsftpd "$ftproot" "$work/tls.pem" "$work/tls.key"
    tls_port="$port"
    port="$plain_port"
    ours=(); curls=()
    for i in 1 2 3 4 5; do
        read -r _ _ t rc < <(measure "$ftpget" --tls --cafile "$work/ca.pem" 127.0.0.1 "$tls_port" \
            anonymous bench@ big.bin /dev/null)
        [ "$rc" = 0 ] || { echo "ftpget --tls failed" >&2; exit 1; }
        ours+=("$t")
        read -r _ _ t rc < <(measure curl -s --ssl-reqd --cacert "$work/ca.pem" -o /dev/null \
            "ftp://127.0.0.1:$tls_port/big.bin")
        [ "$rc" = 0 ] || { echo "curl --ssl-reqd failed" >&2; exit 1; }
        curls+=("$t")
    done
    mo="$(median "${ours[@]}")"; mc="$(median "${curls[@]}")"; rc_="$(ratio "$mc" "$mo")"
    row "FTPS ${big_mib} MiB into /dev/null: ours $(mibs "$mo"), curl $(mibs "$mc") (curl time / ours)" \
        "$rc_" ">= 1.0" "$(verdict "$(awk -v r="$rc_" 'BEGIN { print (r >= 1.0) }')")"

    # The Windows ftpget under Wine against the Linux one, same server and file, alternating:
    # for information only, since Wine's own cost (its start-up above all) is not ours. Needs
    # the Windows folder (scripts/windows.sh) and its Wine prefix (scripts/windows-test.sh).
    winftpget="${PCV_WIN_FTPGET:-$root/dist/win64/ftpget.exe}"
    wineprefix="${PCV_WIN_BUILD_DIR:-$root/build-win}/wine"
    if [ -f "$winftpget" ] && [ -x /usr/lib/wine/wine64 ] && [ -f "$wineprefix/system.reg" ]; then
        echo "ftpget.exe under Wine (${big_mib} MiB) ..." >&2
        ours=(); wines=()
        for i in 1 2 3 4 5; do
            read -r _ _ t rc < <(measure "$ftpget" 127.0.0.1 "$port" anonymous bench@ big.bin \
                "$work/out.bin")
            [ "$rc" = 0 ] || { echo "ftpget failed" >&2; exit 1; }
            ours+=("$t")
            # Into a file of the work folder, its current directory: the download refuses
            # devices, NUL among them, as it refuses them on Linux.
            read -r _ _ t rc < <(cd "$work" && measure env WINEPREFIX="$wineprefix" \
                WINEDEBUG=-all /usr/lib/wine/wine64 "$winftpget" 127.0.0.1 "$port" anonymous \
                bench@ big.bin wine.bin)
            [ "$rc" = 0 ] || { echo "ftpget.exe under Wine failed" >&2; exit 1; }
            wines+=("$t")
            cmp -s "$work/out.bin" "$work/wine.bin" || { echo "ftpget.exe fetched other bytes" >&2; exit 1; }
            rm -f "$work/out.bin" "$work/wine.bin"
        done
        mo="$(median "${ours[@]}")"; mw="$(median "${wines[@]}")"
        row "FTP ${big_mib} MiB into a file: ftpget.exe under Wine $(mibs "$mw"), ours $(mibs "$mo") (Wine time / ours, Wine's start included)" \
            "$(ratio "$mw" "$mo")" "none set (information)" "-"
    else
        row "FTP ${big_mib} MiB: ftpget.exe under Wine" "not measured: no $winftpget or Wine prefix" \
            "none set (information)" "-"
    fi

    # The event loop during a transfer: the longest interval between two ticks of a 1 ms timer.
    gaps=()
    for i in 1 2 3; do
        gaps+=("$({ "$ftpget" --loop-gap 127.0.0.1 "$port" anonymous bench@ big.bin /dev/null 2>/dev/null || true; } |
            awk '/longest event-loop gap/ { print $4 }')")
    done
    gap="$(median "${gaps[@]}")"
    gap="${gap:-?}" # an ftpget without --loop-gap measures nothing
    row "longest event-loop gap during the ${big_mib} MiB transfer (median of 3)" "${gap} ms" \
        "<= 15 ms" "$(verdict "$(awk -v g="${gap:-1e9}" 'BEGIN { print (g <= 15) }')")"

    # CPU while stalled: the scripted update server sends 1 MiB and then holds the line open.
    echo "CPU while stalled (about 11 s) ..." >&2
    stallroot="$work/stall"
    mkdir -p "$stallroot"
    head -c $((4 << 20)) /dev/urandom > "$stallroot/stall.bin"
    stall_cpu() { # $1: ftpget time-out in ms; prints the CPU seconds of that run
        local out="$work/stall-server.out" sport
        : > "$out"
        "$python" "$root/tools/ftp_update_server.py" --root "$stallroot" --user velk \
            --password benchpwd --mode stall --bytes 1048576 --keep-running > "$out" 2>/dev/null &
        local spid=$!
        for _ in $(seq 50); do grep -q PORT "$out" && break; sleep 0.1; done
        sport="$(awk '/PORT/ { print $2 }' "$out")"
        local cpu wall
        read -r _ cpu wall _ < <(measure "$ftpget" --timeout "$1" 127.0.0.1 "$sport" velk benchpwd stall.bin /dev/null)
        kill "$spid" 2>/dev/null || true
        wait "$spid" 2>/dev/null || true
        echo "$cpu $wall"
    }
    read -r base _ < <(stall_cpu 100)
    read -r stalled stall_wall < <(stall_cpu 10000)
    # A run that did not wait out the stall measured nothing.
    awk -v w="$stall_wall" 'BEGIN { exit !(w >= 10.0) }' ||
        { echo "the stalled download ended after ${stall_wall} s, not after the 10 s stall" >&2; exit 1; }
    stall="$(awk -v c="$stalled" -v b="$base" 'BEGIN { d = c - b; if (d < 0) d = 0; printf "%.3f", d }')"
    row "CPU while a transfer stalls for 10 s (stalled run ${stall_wall} s wall)" "$stall s" "< 0.05 s" \
        "$(verdict "$(awk -v s="$stall" 'BEGIN { print (s < 0.05) }')")"

    echo "peak memory (16 MiB and 1 GiB) ..." >&2
    read -r rss16 _ _ rc < <(measure "$ftpget" 127.0.0.1 "$port" anonymous bench@ f16m.bin /dev/null)
    [ "$rc" = 0 ] || { echo "16 MiB download failed" >&2; exit 1; }
    read -r rss1g _ _ rc < <(measure "$ftpget" 127.0.0.1 "$port" anonymous bench@ f1g.bin /dev/null)
    [ "$rc" = 0 ] || { echo "1 GiB download failed" >&2; exit 1; }
    diff_kib=$((rss1g > rss16 ? rss1g - rss16 : rss16 - rss1g))
    row "peak memory: 16 MiB ${rss16} KiB, 1 GiB ${rss1g} KiB (difference)" "${diff_kib} KiB" \
        "<= 2048 KiB" "$(verdict "$((diff_kib <= 2048))")"
    read -r rsscurl _ _ rc < <(measure curl -s -o /dev/null "ftp://127.0.0.1:$port/f1g.bin")
    [ "$rc" = 0 ] || { echo "curl's 1 GiB download failed" >&2; exit 1; }
    diff_curl=$((rss1g > rsscurl ? rss1g - rsscurl : rsscurl - rss1g))
    row "peak memory, 1 GiB: ours ${rss1g} KiB, curl ${rsscurl} KiB (difference)" "${diff_curl} KiB" \
        "<= 2048 KiB" "$(verdict "$((diff_curl <= 2048))")"
fi

fi # BENCH_ONLY

# --- the table
printf '\n| what | figure | budget | |\n|---|---|---|---|\n'
for r in "${rows[@]}"; do
    IFS='|' read -r what fig bud ver <<<"$r"
    printf '| %s | %s | %s | %s |\n' "$what" "$fig" "$bud" "$ver"
done
printf '\n%s, %s, %s cores, %s\n' "$(date -u +%Y-%m-%d)" "$(uname -m)" "$(nproc)" \
    "$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"

#!/usr/bin/env bash
# FTP download benchmarks of the launcher's FTP component (through tools/ftpget), on loopback:
#   (a) 256 MiB from a local vsftpd, ftpget and curl alternating, 5 runs each: median time ratio
#       (budget: ftpget at least as fast as curl, ratio curl/ftpget >= 1.0);
#   (b) CPU used by ftpget while the transfer stalls for 10 s (budget: under 0.1 s);
#   (c) peak resident memory of a 16 MiB and a 1 GiB download (budget: equal within 2 MiB).
# Not part of the test suite. Usage: bench/ftp_bench.sh [BUILD_DIR]   (default: build)
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
ftpget="$build/tools/ftpget"
python=/usr/bin/python3
[ -x "$ftpget" ] || { echo "build the ftpget target first: $ftpget" >&2; exit 2; }
command -v curl >/dev/null || { echo "curl is missing (scripts/setup.sh)" >&2; exit 2; }
[ -x /usr/sbin/vsftpd ] || { echo "vsftpd is missing (scripts/setup.sh)" >&2; exit 2; }

. "$here/bench/lib.sh"
bench_init ftp_bench

# --- vsftpd on loopback, anonymous, serving $work/root
root="$work/root"
mkdir -p "$root"
chmod 755 "$work" "$root"
head -c $((256 << 20)) /dev/urandom > "$root/f256m.bin"
head -c $((16 << 20)) /dev/urandom > "$root/f16m.bin"
truncate -s 1G "$root/f1g.bin"
chmod 644 "$root"/*.bin
start_vsftpd "$root"

echo "== (a) 256 MiB from vsftpd on loopback, to /dev/null, 5 runs each, alternating"
# Each client's own time from connecting to the end of the transfer (ftpget prints it, curl's
# time_total), so that the start-up of a Qt program (~30 ms) does not count; the wall-clock
# time of the whole process is printed too.
ours=(); theirs=(); ours_wall=(); theirs_wall=()
for i in 1 2 3 4 5; do
    t0=$(date +%s.%N)
    out="$("$ftpget" 127.0.0.1 "$port" anonymous bench@ f256m.bin /dev/null)" || { echo "ftpget failed (run $i)" >&2; exit 1; }
    t1=$(date +%s.%N)
    ours+=("$(awk '{print $4}' <<<"$out")")
    ours_wall+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')")
    t0=$(date +%s.%N)
    out="$(curl -s -o /dev/null -w '%{time_total}' "ftp://127.0.0.1:$port/f256m.bin")" || { echo "curl failed (run $i)" >&2; exit 1; }
    t1=$(date +%s.%N)
    theirs+=("$out")
    theirs_wall+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')")
done
median() { printf '%s\n' "$@" | sort -g | sed -n 3p; }
mo="$(median "${ours[@]}")"; mt="$(median "${theirs[@]}")"
wo="$(median "${ours_wall[@]}")"; wt="$(median "${theirs_wall[@]}")"
echo "ftpget s: ${ours[*]}   median $mo   (whole process: median $wo)"
echo "curl   s: ${theirs[*]}   median $mt   (whole process: median $wt)"
awk -v o="$mo" -v t="$mt" -v wo="$wo" -v wt="$wt" 'BEGIN {
    printf "speed ratio ftpget/curl (curl time / ftpget time): %.3f  (budget >= 1.0); whole process: %.3f\n", t / o, wt / wo }'

echo "== (b) CPU while a transfer stalls for 10 s"
fake_out="$work/fake.out"
mkdir -p "$work/fake"
head -c $((4 << 20)) /dev/urandom > "$work/fake/stall.bin"
"$python" "$here/tools/ftp_fake_server.py" --root "$work/fake" --data-stall 1048576 > "$fake_out" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do grep -q PORT "$fake_out" && break; sleep 0.1; done
fport="$(awk '/PORT/ {print $2}' "$fake_out")"
# The same download without the stall, to subtract start-up and the first MiB.
read -r _ base _ _ < <(measure "$ftpget" --timeout 100 127.0.0.1 "$fport" velk secret stall.bin /dev/null)
read -r _ cpu wall rc < <(measure "$ftpget" --timeout 10000 127.0.0.1 "$fport" velk secret stall.bin /dev/null)
echo "stalled run: wall ${wall} s, CPU ${cpu} s (exit $rc: the 10 s time-out ends it); with a 0.1 s time-out: CPU ${base} s"
awk -v c="$cpu" -v b="$base" 'BEGIN { d = c - b; if (d < 0) d = 0; printf "CPU during the 10 s stall: %.3f s  (budget < 0.1 s)\n", d }'

echo "== (c) peak resident memory, 16 MiB and 1 GiB downloads"
read -r rss16 _ _ rc < <(measure "$ftpget" 127.0.0.1 "$port" anonymous bench@ f16m.bin "$work/out16.bin")
[ "$rc" = 0 ] || { echo "16 MiB download failed" >&2; exit 1; }
read -r rss1g _ _ rc < <(measure "$ftpget" 127.0.0.1 "$port" anonymous bench@ f1g.bin "$work/out1g.bin")
[ "$rc" = 0 ] || { echo "1 GiB download failed" >&2; exit 1; }
rm -f "$work/out16.bin" "$work/out1g.bin"
echo "peak RSS: 16 MiB download ${rss16} KiB, 1 GiB download ${rss1g} KiB"
awk -v a="$rss16" -v b="$rss1g" 'BEGIN { d = b - a; if (d < 0) d = -d; printf "difference: %d KiB  (budget <= 2048 KiB)\n", d }'

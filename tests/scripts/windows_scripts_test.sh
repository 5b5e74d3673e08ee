#!/usr/bin/env bash
# The Windows scripts' own rules (scripts/windows-common.sh):
#  - where scripts/windows.sh takes its Windows prefix from: a tarball is used only when it
#    matches its .sha256 and holds nothing but one win64-prefix/ folder; a checked tarball is
#    unpacked once and reused; a folder must be a Qt prefix. Small stand-in tarballs in a
#    temporary folder; nothing is built;
#  - how scripts/windows-test.sh counts a GoogleTest program's results from its output.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

# make_tarball NAME MEMBER... : a tarball of the given paths (files) under $tmp/src-NAME.
make_tarball() {
    local name=$1
    shift
    local src=$tmp/src-$name
    mkdir -p "$src"
    local member
    for member in "$@"; do
        mkdir -p "$src/$(dirname "$member")"
        echo x >"$src/$member"
    done
    tar -C "$src" -cJf "$tmp/$name.tar.xz" "$@"
    (cd "$tmp" && sha256sum "$name.tar.xz" >"$name.tar.xz.sha256")
    echo "$tmp/$name.tar.xz"
}

# check NAME EXPECT(ok|fail) MESSAGE-PATTERN ENV... : finds the prefix with ENV in a subshell.
check() {
    local name=$1 expect=$2 pattern=$3
    shift 3
    local out rc
    out=$(env "$@" PCV_WIN_BUILD_DIR="$tmp/build" bash -c '
        source "$0/scripts/windows-common.sh"
        win_find_prefix
        echo "PREFIX=$prefix"' "$root" 2>&1)
    rc=$?
    if { [ "$expect" = ok ] && [ $rc = 0 ]; } || { [ "$expect" = fail ] && [ $rc != 0 ]; }; then
        if grep -qE -- "$pattern" <<<"$out"; then
            echo "ok   $name"
            return 0
        fi
    fi
    echo "FAIL $name (exit $rc, wanted $expect and /$pattern/):"
    sed 's/^/     /' <<<"$out"
    failures=$((failures + 1))
}

good=$(make_tarball good win64-prefix/lib/cmake/Qt6/Qt6Config.cmake win64-prefix/bin/Qt6Core.dll)
evil=$(make_tarball evil win64-prefix/lib/cmake/Qt6/Qt6Config.cmake other/payload.dll)
empty=$(make_tarball empty win64-prefix/bin/Qt6Core.dll)
# tar itself would not write a member named with "..": Python's tarfile does.
climb=$tmp/climb.tar.xz
/usr/bin/python3 - "$climb" <<'PY'
import io, sys, tarfile
with tarfile.open(sys.argv[1], "w:xz") as t:
    for name in ("win64-prefix/lib/cmake/Qt6/Qt6Config.cmake", "win64-prefix/../outside"):
        info = tarfile.TarInfo(name)
        info.size = 2
        t.addfile(info, io.BytesIO(b"x\n"))
PY
(cd "$tmp" && sha256sum climb.tar.xz >climb.tar.xz.sha256)

check "a matching tarball is unpacked into the build folder" ok \
    "PREFIX=$tmp/build/prefix/win64-prefix$" PCV_WIN_PREFIX_TARBALL="$good"
[ -f "$tmp/build/prefix/win64-prefix/bin/Qt6Core.dll" ] || {
    echo "FAIL the unpacked prefix lacks its files"
    failures=$((failures + 1))
}
touch "$tmp/build/prefix/win64-prefix/kept"
check "the same tarball again reuses the unpacked prefix" ok "PREFIX=" PCV_WIN_PREFIX_TARBALL="$good"
[ -f "$tmp/build/prefix/win64-prefix/kept" ] || {
    echo "FAIL the second run unpacked the tarball again"
    failures=$((failures + 1))
}

cp "$good" "$tmp/changed.tar.xz"
echo "0000000000000000000000000000000000000000000000000000000000000000  changed.tar.xz" \
    >"$tmp/changed.tar.xz.sha256"
check "a tarball that does not match its checksum is refused" fail "checksum mismatch" \
    PCV_WIN_PREFIX_TARBALL="$tmp/changed.tar.xz"
cp "$good" "$tmp/nosum.tar.xz"
check "a tarball without a checksum beside it is refused" fail "no checksum" \
    PCV_WIN_PREFIX_TARBALL="$tmp/nosum.tar.xz"
cp "$good" "$tmp/garbage.tar.xz"
echo "not a checksum" >"$tmp/garbage.tar.xz.sha256"
check "a checksum file without a SHA-256 is refused" fail "holds no SHA-256" \
    PCV_WIN_PREFIX_TARBALL="$tmp/garbage.tar.xz"
check "a tarball with more than the prefix folder is refused" fail "more than a win64-prefix" \
    PCV_WIN_PREFIX_TARBALL="$evil"
check "a tarball with a member that climbs out is refused" fail "more than a win64-prefix" \
    PCV_WIN_PREFIX_TARBALL="$climb"
[ ! -e "$tmp/build/outside" ] && [ ! -e "$tmp/build/prefix/outside" ] || {
    echo "FAIL a climbing member was written"
    failures=$((failures + 1))
}
check "a tarball that holds no Qt prefix is refused" fail "holds no Qt prefix" \
    PCV_WIN_PREFIX_TARBALL="$empty"
check "a missing tarball is refused" fail "no prefix tarball" \
    PCV_WIN_PREFIX_TARBALL="$tmp/none.tar.xz"
mkdir -p "$tmp/notaprefix"
check "a folder that is not a Qt prefix is refused" fail "holds no Qt prefix" \
    PCV_WIN_PREFIX="$tmp/notaprefix"
check "a ready prefix folder is used as it is" ok "PREFIX=$tmp/src-good/win64-prefix$" \
    PCV_WIN_PREFIX="$tmp/src-good/win64-prefix"

# GoogleTest output and exit code -> "passed failed" as windows-test.sh counts them.
counts() {
    printf '%b' "$2" >"$tmp/gtest.log"
    local got
    got=$(bash -c 'source "$0/scripts/windows-common.sh"; win_gtest_counts "$1" "$2"' \
        "$root" "$tmp/gtest.log" "$3")
    if [ "$got" = "$4" ]; then
        echo "ok   counts: $1"
    else
        echo "FAIL counts: $1: got '$got', wanted '$4'"
        failures=$((failures + 1))
    fi
}
counts "all passed" '[==========] 5 tests ran.\n[  PASSED  ] 5 tests.\n' 0 "5 0"
counts "one test, singular" '[  PASSED  ] 1 test.\n' 0 "1 0"
counts "some failed" '[  PASSED  ] 3 tests.\n[  FAILED  ] 2 tests, listed below:\n' 1 "3 2"
counts "crashed before the summary" '[ RUN      ] A.B\n' 3 "0 1"
counts "summary says passed, exit code says not" '[  PASSED  ] 4 tests.\n' 1 "4 1"
counts "no test ran" '[==========] 0 tests ran.\n[  PASSED  ] 0 tests.\n' 0 "0 1"
counts "no output at all" '' 0 "0 1"
counts "Windows line ends" '[  PASSED  ] 3 tests.\r\n[  FAILED  ] 1 test, listed below:\r\n' 1 "3 1"
counts "a test printing a summary-like line is not counted twice" \
    '  [  PASSED  ] 99 tests.\n[  PASSED  ] 2 tests.\n' 0 "2 0"

echo "$failures failed"
[ "$failures" = 0 ]

# Shared by scripts/windows.sh and scripts/windows-test.sh (sourced, not run): where the Windows
# prefix comes from, and the cross-build folder both use.
#
#   PCV_WIN_PREFIX          a ready prefix folder (Qt 6.4.2, OpenSSL 3, GoogleTest for x86-64
#                           Windows), used as it is
#   PCV_WIN_PREFIX_TARBALL  win64-prefix.tar.xz, checked against the .sha256 beside it and
#                           unpacked once into BUILD/prefix
#   (neither)               ../shared/win64/win64-prefix.tar.xz beside the repository when it is
#                           there, else scripts/windows-prefix.sh builds the prefix (slow path)
#   PCV_WIN_BUILD_DIR       the cross-build folder (default build-win)
#   PCV_JOBS                parallel build jobs (default 2)

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PCV_WIN_BUILD_DIR:-build-win}
case $build in /*) ;; *) build=$root/$build ;; esac
jobs=${PCV_JOBS:-2}
wine=/usr/lib/wine/wine64

# ccache when it is there (its settings come from the environment).
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

win_say() { echo "== $*"; }
win_fail() {
    echo "$(basename "$0"): $*" >&2
    exit 1
}

# The tarball beside the repository: ../shared/win64 of this checkout, or of the main checkout
# when this is one of its git worktrees.
win_default_tarball() {
    local candidates=("$root/../shared/win64/win64-prefix.tar.xz")
    local common
    if common=$(git -C "$root" rev-parse --path-format=absolute --git-common-dir 2>/dev/null); then
        candidates+=("$(dirname "$common")/../shared/win64/win64-prefix.tar.xz")
    fi
    local c
    for c in "${candidates[@]}"; do
        if [ -f "$c" ]; then
            echo "$c"
            return 0
        fi
    done
    return 1
}

# Unpacks a checked tarball into BUILD/prefix once; a later run with the same checksum reuses it.
win_unpack_tarball() {
    local tarball=$1
    [ -f "$tarball" ] || win_fail "no prefix tarball at $tarball"
    [ -f "$tarball.sha256" ] || win_fail "no checksum beside the tarball ($tarball.sha256)"
    local want
    want=$(awk '{print $1; exit}' "$tarball.sha256")
    [[ $want =~ ^[0-9a-f]{64}$ ]] || win_fail "$tarball.sha256 holds no SHA-256"
    local cache=$build/prefix
    if [ -f "$cache/.sha256" ] && [ "$(cat "$cache/.sha256")" = "$want" ] &&
        [ -d "$cache/win64-prefix/lib/cmake/Qt6" ]; then
        prefix=$cache/win64-prefix
        return 0
    fi
    win_say "checking $tarball"
    local have
    have=$(sha256sum "$tarball" | awk '{print $1}')
    [ "$have" = "$want" ] || win_fail "checksum mismatch: $tarball is $have, its .sha256 says $want"
    win_say "unpacking it into $cache"
    rm -rf "$cache"
    mkdir -p "$cache"
    # Only the one folder the prefix is, and no member that climbs out of it.
    local members
    members=$(tar -tJf "$tarball") || win_fail "cannot read $tarball"
    if grep -qvE '^win64-prefix(/|$)' <<<"$members" || grep -qE '(^|/)\.\.(/|$)' <<<"$members"; then
        win_fail "$tarball holds more than a win64-prefix/ folder"
    fi
    tar -C "$cache" --no-same-owner -xJf "$tarball"
    [ -d "$cache/win64-prefix/lib/cmake/Qt6" ] || win_fail "$tarball holds no Qt prefix"
    echo "$want" >"$cache/.sha256"
    prefix=$cache/win64-prefix
}

# Sets $prefix.
win_find_prefix() {
    if [ -n "${PCV_WIN_PREFIX:-}" ]; then
        prefix=$(cd "$PCV_WIN_PREFIX" && pwd) || win_fail "PCV_WIN_PREFIX: no folder $PCV_WIN_PREFIX"
        [ -d "$prefix/lib/cmake/Qt6" ] || win_fail "PCV_WIN_PREFIX: $prefix holds no Qt prefix"
    elif [ -n "${PCV_WIN_PREFIX_TARBALL:-}" ]; then
        win_unpack_tarball "$PCV_WIN_PREFIX_TARBALL"
    elif tarball=$(win_default_tarball); then
        win_unpack_tarball "$tarball"
    else
        prefix=$build/prefix-built/win64-prefix
        if [ ! -f "$prefix/.complete" ]; then
            win_say "no prefix given and no tarball: building it from Debian's sources (slow)"
            bash "$root/scripts/windows-prefix.sh" "$prefix"
        fi
    fi
    win_say "prefix: $prefix"
}

# Configures the cross-build folder against $prefix (tests included: they are only built when
# asked for).
win_configure() {
    mkdir -p "$build"
    # Qt's and OpenSSL's locations are cached: another prefix needs a fresh cache.
    if [ -f "$build/CMakeCache.txt" ] && [ "$(cat "$build/.prefix" 2>/dev/null)" != "$prefix" ]; then
        rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
    fi
    echo "$prefix" >"$build/.prefix"
    cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPCV_WERROR=ON -DPCV_BUILD_TESTS=ON \
        -DCMAKE_PREFIX_PATH="$prefix" -DOPENSSL_ROOT_DIR="$prefix" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        "${launcher[@]}" >"$build/configure.log" 2>&1 ||
        {
            cat "$build/configure.log" >&2
            win_fail "configuring $build failed"
        }
}

# A Wine prefix of the build folder's own, made once (the first start takes a while).
win_wine() {
    export WINEPREFIX=$build/wine WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
    [ -x "$wine" ] || win_fail "no $wine (package wine64)"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        win_say "making the Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        "$wine" wineboot -i >/dev/null 2>&1 || win_fail "wineboot failed"
        /usr/lib/wine/wineserver -w
    fi
}

# "PASSED FAILED" of one GoogleTest program from its output and exit code. A program that stopped
# before its summary, failed without one, or ran no test at all counts as one failure.
win_gtest_counts() {
    local log=$1 rc=$2 ok bad
    ok=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | tail -1)
    bad=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below:.*/\1/p' "$log" | tail -1)
    ok=${ok:-0} bad=${bad:-0}
    if [ "$bad" = 0 ] && { [ "$rc" != 0 ] || [ "$ok" = 0 ]; }; then
        bad=1
    fi
    echo "$ok $bad"
}

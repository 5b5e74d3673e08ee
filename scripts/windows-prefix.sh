#!/usr/bin/env bash
# Builds the Windows x86-64 prefix that scripts/windows.sh builds against, from Debian's source
# packages, on a fresh Debian 12 machine: OpenSSL 3 (static), qtbase 6.4.2 (Core Gui Widgets
# Network Sql Test as DLLs; the QSQLITE and QODBC drivers; platforms, styles, imageformats
# plugins), GoogleTest (static) and the MinGW-w64 runtime DLLs.
#
# The slow path: about 45-75 minutes on 2 cores (OpenSSL ~9 min, qtbase ~1300 steps), 2.5 GB of
# sources and objects. CI and development machines use the ready tarball instead
# (PCV_WIN_PREFIX_TARBALL, or ../shared/win64/win64-prefix.tar.xz).
#
# Usage: scripts/windows-prefix.sh [--until STAGE] [--pack] PREFIX
#   PREFIX        the folder to make (its parent must be writable); default build-win/prefix-built/win64-prefix
#   --until STAGE stop after STAGE: fetch, sqlite, openssl-configure, openssl, qtbase, gtest
#   --pack        also write PREFIX.tar.xz and its .sha256 beside PREFIX
#   PCV_WIN_PREFIX_WORK  where sources and build folders go (default build-win/prefix-work)
#   PCV_JOBS             parallel jobs (default 2)
set -euo pipefail
start=$(date +%s)
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${PCV_JOBS:-2}
until_stage=
pack=0
out=
while [ $# -gt 0 ]; do
    case $1 in
    --until) until_stage=$2; shift 2 ;;
    --pack) pack=1; shift ;;
    -*) echo "usage: $0 [--until STAGE] [--pack] PREFIX" >&2; exit 2 ;;
    *) out=$1; shift ;;
    esac
done
out=${out:-$root/build-win/prefix-built/win64-prefix}
if [ "$pack" = 1 ] && [ "$(basename "$out")" != win64-prefix ]; then
    echo "windows-prefix.sh: --pack needs a PREFIX named win64-prefix (the tarball's one folder)" >&2
    exit 2
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=${PCV_WIN_PREFIX_WORK:-$root/build-win/prefix-work}
mkdir -p "$work"
work=$(cd "$work" && pwd)
triplet=x86_64-w64-mingw32
toolchain=$root/cmake/mingw-w64.cmake

say() { echo "== $* ($(($(date +%s) - start)) s)"; }
stage_done() {
    if [ "$until_stage" = "$1" ]; then
        say "stopped after stage $1 as asked"
        exit 0
    fi
}

for tool in $triplet-gcc-posix $triplet-g++-posix $triplet-windres cmake ninja make perl \
    dpkg-source /usr/bin/qmake6; do
    command -v "$tool" >/dev/null || {
        echo "windows-prefix.sh: $tool is missing (scripts/setup.sh installs what is needed)" >&2
        exit 1
    }
done

# --- fetch: the source packages, through a deb-src list of our own; the system's apt
# configuration is left alone.
apt_dir=$work/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$apt_dir/sources.list" <<EOF
deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm main
deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm-updates main
deb-src [signed-by=$keyring] http://deb.debian.org/debian-security bookworm-security main
EOF
apt_opts=(-o "Dir::Etc::sourcelist=$apt_dir/sources.list" -o Dir::Etc::sourceparts=/nonexistent
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
src=$work/src
mkdir -p "$src"
if [ ! -f "$src/.fetched" ]; then
    say "fetching the source lists"
    apt-get "${apt_opts[@]}" update
    # The versions the prefix tarball was made from first; a mirror may list a newer security
    # upload before it holds its files, so every other version the lists name is tried after.
    for wanted in openssl=3.0.20-1~deb12u2 qt6-base=6.4.2+dfsg-10 sqlite3=3.40.1-2+deb12u2; do
        package=${wanted%%=*}
        fetched=0
        for version in "${wanted#*=}" $(apt-cache "${apt_opts[@]}" showsrc --only-source "$package" |
            sed -n 's/^Version: //p'); do
            say "fetching $package $version"
            if (cd "$src" && apt-get "${apt_opts[@]}" source "$package=$version"); then
                fetched=1
                break
            fi
        done
        [ "$fetched" = 1 ] || { echo "windows-prefix.sh: cannot fetch the source of $package" >&2; exit 1; }
    done
    touch "$src/.fetched"
fi
openssl_src=$(find "$src" -maxdepth 1 -type d -name 'openssl-3.*' | head -1)
qtbase_src=$(find "$src" -maxdepth 1 -type d -name 'qt6-base-*' | head -1)
sqlite_src=$(find "$src" -maxdepth 1 -type d -name 'sqlite3-*' | head -1)
for d in "$openssl_src" "$qtbase_src" "$sqlite_src"; do
    [ -n "$d" ] && [ -d "$d" ] || { echo "windows-prefix.sh: a source package is missing in $src" >&2; exit 1; }
done
say "sources: $(basename "$openssl_src") $(basename "$qtbase_src") $(basename "$sqlite_src")"
case $qtbase_src in
*-6.4.2*) ;;
*) echo "windows-prefix.sh: warning: qtbase is not 6.4.2 ($(basename "$qtbase_src")); the host tools must match it" >&2 ;;
esac
stage_done fetch

# --- sqlite: Debian's qtbase source (+dfsg) drops the SQLite amalgamation; put it back from
# Debian's sqlite3 source.
sqlite_dir=$qtbase_src/src/3rdparty/sqlite
if [ ! -f "$sqlite_dir/sqlite3.c" ]; then
    say "making the SQLite amalgamation"
    sqlite_build=$work/sqlite-build
    rm -rf "$sqlite_build"
    cp -a "$sqlite_src" "$sqlite_build"
    (cd "$sqlite_build" && ./configure --disable-tcl >/dev/null && nice make sqlite3.c >/dev/null)
    mkdir -p "$sqlite_dir"
    cp "$sqlite_build/sqlite3.c" "$sqlite_build/sqlite3.h" "$sqlite_dir/"
    [ -f "$sqlite_build/sqlite3ext.h" ] && cp "$sqlite_build/sqlite3ext.h" "$sqlite_dir/"
fi
stage_done sqlite

# --- openssl: static, for the Windows target; its own OPENSSLDIR is meaningless there (the
# program takes its trust anchors from the Windows store or a CA file).
openssl_build=$work/openssl-build
if [ ! -f "$openssl_build/.configured" ]; then
    say "configuring OpenSSL"
    rm -rf "$openssl_build"
    cp -a "$openssl_src" "$openssl_build"
    (cd "$openssl_build" && ./Configure mingw64 --cross-compile-prefix=$triplet- no-shared \
        no-tests no-module --prefix="$out" --libdir=lib)
    touch "$openssl_build/.configured"
fi
stage_done openssl-configure
if [ ! -f "$out/lib/libcrypto.a" ]; then
    say "building OpenSSL (about 9 minutes on 2 cores)"
    nice make -C "$openssl_build" -j "$jobs" >"$work/openssl-build.log" 2>&1 ||
        { tail -30 "$work/openssl-build.log"; exit 1; }
    make -C "$openssl_build" install_sw >/dev/null
fi
stage_done openssl

# --- qtbase: the host's Qt 6.4.2 tools (moc, rcc, uic) build the target's.
qt_build=$work/qtbase-build
if [ ! -f "$out/lib/cmake/Qt6Core/Qt6CoreConfig.cmake" ]; then
    say "configuring qtbase"
    cmake -S "$qtbase_src" -B "$qt_build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$out" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$out" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_QMAKE_TARGET_MKSPEC=win32-g++ -DBUILD_SHARED_LIBS=ON \
        -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_dbus=OFF -DFEATURE_icu=OFF \
        -DFEATURE_tabletevent=OFF -DFEATURE_sql_odbc=ON -DFEATURE_sql_sqlite=ON \
        -DFEATURE_system_sqlite=OFF -DFEATURE_openssl=ON -DINPUT_openssl=linked \
        -DOPENSSL_USE_STATIC_LIBS=ON -DOPENSSL_ROOT_DIR="$out" \
        -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        >"$work/qtbase-configure.log" 2>&1 || { tail -40 "$work/qtbase-configure.log"; exit 1; }
    say "building qtbase (about 1300 steps, 40-60 minutes on 2 cores)"
    nice cmake --build "$qt_build" -j "$jobs" >"$work/qtbase-build.log" 2>&1 ||
        { tail -40 "$work/qtbase-build.log"; exit 1; }
    cmake --install "$qt_build" >/dev/null
fi
stage_done qtbase

# --- gtest: static, from the sources Debian's googletest package installs.
if [ ! -f "$out/lib/libgtest.a" ]; then
    say "building GoogleTest"
    cmake -S /usr/src/googletest -B "$work/gtest-build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$out" -DBUILD_SHARED_LIBS=OFF >/dev/null
    nice cmake --build "$work/gtest-build" -j "$jobs" >/dev/null
    cmake --install "$work/gtest-build" >/dev/null
fi
stage_done gtest

# --- the MinGW-w64 runtime that every program built with this compiler needs.
mkdir -p "$out/bin"
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    cp "$($triplet-g++-posix -print-file-name=$dll)" "$out/bin/"
done
touch "$out/.complete"

if [ "$pack" = 1 ]; then
    say "packing $out.tar.xz"
    tar -C "$(dirname "$out")" --exclude=.complete -cJf "$out.tar.xz" "$(basename "$out")"
    (cd "$(dirname "$out")" && sha256sum "$(basename "$out").tar.xz" >"$(basename "$out").tar.xz.sha256")
fi
elapsed=$(($(date +%s) - start))
say "prefix ready in $out"
echo "windows-prefix.sh took $((elapsed / 60)) min $((elapsed % 60)) s"

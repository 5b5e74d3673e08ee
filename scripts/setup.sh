#!/usr/bin/env bash
# Installs every Debian package that the build, the demo, the tests and the benchmarks use.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang-format
  qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libqt6serialport6
  libqt6sql6-sqlite libqt6sql6-odbc qt6-image-formats-plugins
  googletest libgtest-dev libgmock-dev
  # signatures and hashes, FTPS; the openssl tool makes the tests' certificates
  libssl-dev openssl
  # database backends and drivers
  unixodbc unixodbc-dev odbc-postgresql tdsodbc postgresql sqlite3
  # the database tests' server certificate
  openssl
  # FTP peers, serial simulator, benchmarks
  python3 python3-pyftpdlib vsftpd curl wget socat procps
  # GUI checks, CJK glyphs for screenshots, pictures
  xvfb xauth fonts-wqy-microhei imagemagick libjpeg-turbo-progs
  # sanitizers and fuzzers
  clang-14 libclang-rt-14-dev
  # the Windows program: cross compiler, Wine to test it, the zip of its folder; the prefix's
  # slow path (scripts/windows-prefix.sh) unpacks Debian source packages
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 zip dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

# psqlODBC registers "PostgreSQL Unicode" itself; tdsodbc leaves its entry to a debconf
# question, so register FreeTDS when it is missing.
if ! odbcinst -q -d -n FreeTDS >/dev/null 2>&1; then
  tds=$(mktemp)
  printf '[FreeTDS]\nDescription=TDS driver (Sybase/MS SQL)\nDriver=libtdsodbc.so\nSetup=libtdsS.so\n' >"$tds"
  if [ "$(id -u)" -eq 0 ]; then odbcinst -i -d -f "$tds"; else sudo odbcinst -i -d -f "$tds"; fi
  rm -f "$tds"
fi

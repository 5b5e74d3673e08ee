#!/usr/bin/env bash
# Cross-builds the Windows x86-64 program into dist/win64/ (the executable, ftpget.exe and
# signupdate.exe, Qt's DLLs and plugins, the MinGW runtime, the pictures and server.ini) and
# zips that folder into dist/pc_velka_setup-VERSION-win64.zip. Where the Qt/OpenSSL prefix comes
# from: scripts/windows-common.sh. Usage: scripts/windows.sh
set -euo pipefail
start=$(date +%s)
took() {
    local elapsed=$(($(date +%s) - start))
    echo "windows.sh took $((elapsed / 60)) min $((elapsed % 60)) s"
}
trap took EXIT
source "$(dirname "$0")/windows-common.sh"
cd "$root"

win_find_prefix
win_configure
win_say "building in $build"
if ! nice cmake --build "$build" -j "$jobs" --target pc_velka_setup ftpget signupdate; then
    win_fail "the Windows build failed (see above)"
fi

dist=$root/dist
folder=$dist/win64
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
zip=$dist/pc_velka_setup-$version-win64.zip
win_say "installing into $folder"
rm -rf "$folder" "$zip"
mkdir -p "$dist"
cmake --install "$build" --prefix "$folder" --strip >/dev/null

# The folder must run as it is on a PC that has nothing but Windows: every DLL an executable or
# plugin imports is either beside it or part of Windows.
system_dlls=$(echo kernel32 user32 gdi32 advapi32 shell32 ole32 oleaut32 comdlg32 comctl32 ws2_32 \
    crypt32 odbc32 msvcrt winmm imm32 uxtheme dwmapi version netapi32 userenv mpr iphlpapi dnsapi \
    winhttp secur32 bcrypt ncrypt shlwapi setupapi wtsapi32 authz rpcrt4 winspool.drv opengl32 \
    d3d9 d3d11 d3d12 dxgi dwrite d2d1 dcomp shcore)
system_dlls=" $system_dlls "
missing=0
while IFS= read -r -d '' binary; do
    while read -r dll; do
        lower=$(tr '[:upper:]' '[:lower:]' <<<"${dll%.[dD][lL][lL]}")
        [[ $lower == api-ms-win-* || $system_dlls == *" $lower "* ]] && continue
        [ -f "$folder/$dll" ] && continue
        echo "missing: $dll, needed by ${binary#"$folder"/}" >&2
        missing=1
    done < <(x86_64-w64-mingw32-objdump -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p')
done < <(find "$folder" -type f \( -name '*.exe' -o -name '*.dll' \) -print0)
[ "$missing" = 0 ] || win_fail "the folder lacks DLLs its programs need"

for f in pc_velka_setup.exe ftpget.exe signupdate.exe server.ini Data/main_bg03.jpg \
    Data/LOGO/velkapc_logo.jpg img/but_exit.jpg platforms/qwindows.dll platforms/qoffscreen.dll \
    sqldrivers/qsqlite.dll sqldrivers/qsqlodbc.dll imageformats/qjpeg.dll; do
    [ -f "$folder/$f" ] || win_fail "the folder has no $f"
done
# A window program (no console window of its own) that carries its version and icon: resource
# types 14 (icon group) and 16 (version), and the version's UTF-16 texts.
directory=$(x86_64-w64-mingw32-objdump -p "$folder/pc_velka_setup.exe")
grep -q 'Subsystem.*(Windows GUI)' <<<"$directory" || win_fail "pc_velka_setup.exe is not a window program"
grep -qE '^[0-9a-f]+   Entry: ID: 0x00000e,' <<<"$directory" || win_fail "pc_velka_setup.exe has no icon"
grep -qE '^[0-9a-f]+   Entry: ID: 0x000010,' <<<"$directory" ||
    win_fail "pc_velka_setup.exe has no version resource"
texts=$(strings -el -n 3 "$folder/pc_velka_setup.exe")
for text in VS_VERSION_INFO FileVersion "$version" "PC-Velka Setup"; do
    grep -qxF "$text" <<<"$texts" || win_fail "pc_velka_setup.exe: the version resource lacks $text"
done

(cd "$dist" && zip -qr -X "$zip" win64)
win_say "done: $folder ($(du -sh "$folder" | cut -f1)), $zip ($(du -h "$zip" | cut -f1))"

#!/usr/bin/env bash
# The installer under Wine, as a user runs it: it installs silently where it is told, the
# installed program starts and stays up, the installed tool answers, and the uninstaller removes
# every file it installed but itself (which cannot delete itself while it runs in place).
# Usage: tst_wininstall.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
installer=$(ls "$build"/brindleflash-*-win64.exe 2>/dev/null | head -n 1 || true)
if [ -z "$installer" ]; then
    echo "FAIL: no installer in $build: scripts/build-windows makes it with cpack"
    exit 1
fi
export WINEPREFIX=$build/wine-install WINEDEBUG=-all
# No Start-menu entry may reach this machine's desktop as a .desktop file.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
rm -rf "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
wineboot --init </dev/null >/dev/null 2>&1
wineserver -w
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

target=$WINEPREFIX/drive_c/Brindleflash-test
wine "$installer" /S '/D=C:\Brindleflash-test' </dev/null >/dev/null 2>&1 || fail "the installer failed"
for file in Brindleflash.exe Uninstall.exe updateTool/DfuSeCommand.exe updateTool/dfu-util.exe \
    platforms/qwindows.dll licenses/dfu-util-GPL-2.txt licenses/libusb-LGPL-2.1.txt; do
    [ -f "$target/$file" ] || fail "not installed: $file"
done

# A missing DLL ends a program at once with 0xC0000135; the program waits for its user, on the
# windows platform it ships with, on an X server of its own.
xvfb-run -a wine 'C:\Brindleflash-test\Brindleflash.exe' </dev/null >/dev/null 2>&1 &
program=$!
sleep_until=$((SECONDS + 5))
while [ $SECONDS -lt $sleep_until ] && kill -0 "$program" 2>/dev/null; do sleep 0.2; done
kill -0 "$program" 2>/dev/null || fail "the installed program ended at once"
code=0
wine 'C:\Brindleflash-test\updateTool\DfuSeCommand.exe' </dev/null >/dev/null 2>&1 || code=$?
[ "$code" = 2 ] || fail "the installed tool gave $code for no arguments, not its usage code 2"
wine 'C:\Brindleflash-test\updateTool\dfu-util.exe' -V </dev/null >/dev/null 2>&1 || fail "the installed dfu-util.exe does not run"
wineserver -k 2>/dev/null || true
wait "$program" 2>/dev/null || true
wineboot --init </dev/null >/dev/null 2>&1 || true

wine 'C:\Brindleflash-test\Uninstall.exe' /S '_?=C:\Brindleflash-test' </dev/null >/dev/null 2>&1 || fail "the uninstaller failed"
left=$(cd "$target" 2>/dev/null && find . -mindepth 1 ! -name Uninstall.exe | sort)
[ -z "$left" ] || fail "left behind after uninstalling: $left"
menu=$(find "$WINEPREFIX/drive_c" -ipath '*start menu*' -iname '*brindleflash*' 2>/dev/null)
[ -z "$menu" ] || fail "Start-menu entry left behind: $menu"

[ $failures -eq 0 ] && echo "PASS: installed, started and uninstalled"
exit $((failures > 0))

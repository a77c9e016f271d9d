#!/usr/bin/env bash
# The installer under Wine, as a user runs it: it installs silently where it is told, the
# installed program starts and stays up, the installed tool answers, the uninstaller removes
# nothing while the program runs, a second install elsewhere removes the first, and the
# uninstaller then removes every file it installed but itself (which cannot delete itself while
# it runs in place).
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

# The zip holds the same folder, licences and all.
zip=${installer%.exe}.zip
listed=$(cmake -E tar tf "$zip" 2>/dev/null || true)
for file in licenses/README.txt licenses/GPL-3.txt licenses/Qt-third-party.txt; do
    grep -q "/$file\$" <<<"$listed" || fail "not in $(basename "$zip"): $file"
done
target=$WINEPREFIX/drive_c/Brindleflash-test
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Brindleflash'
wine "$installer" /S '/D=C:\Brindleflash-test' </dev/null >/dev/null 2>&1 || fail "the installer failed"
for file in Brindleflash.exe Uninstall.exe updateTool/DfuSeCommand.exe updateTool/dfu-util.exe \
    platforms/qwindows.dll licenses/dfu-util-GPL-2.txt licenses/libusb-LGPL-2.1.txt \
    licenses/README.txt licenses/GPL-3.txt licenses/Qt-third-party.txt licenses/GCC-runtime.txt; do
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
# While the program runs its files cannot go: the uninstaller says so and removes nothing.
installed=$(cd "$target" && find . | sort)
code=0
wine 'C:\Brindleflash-test\Uninstall.exe' /S '_?=C:\Brindleflash-test' </dev/null >/dev/null 2>&1 || code=$?
[ "$code" != 0 ] || fail "the uninstaller reported success while the program ran"
[ "$(cd "$target" && find . | sort)" = "$installed" ] || fail "the uninstaller removed files while the program ran"
wine reg query "$uninstall_key" </dev/null >/dev/null 2>&1 || fail "the uninstaller removed its registry entry while the program ran"
wineserver -k 2>/dev/null || true
wait "$program" 2>/dev/null || true
wineboot --init </dev/null >/dev/null 2>&1 || true

# A second install elsewhere takes the first one's place, folder and all.
first=$target
target=$WINEPREFIX/drive_c/Brindleflash-other
wine "$installer" /S '/D=C:\Brindleflash-other' </dev/null >/dev/null 2>&1 || fail "the second installer failed"
[ -f "$target/Brindleflash.exe" ] || fail "the second install installed nothing"
[ ! -e "$first" ] || fail "the second install left the first behind: $(cd "$first" && find . -mindepth 1 | head -n 3)"

wine 'C:\Brindleflash-other\Uninstall.exe' /S '_?=C:\Brindleflash-other' </dev/null >/dev/null 2>&1 || fail "the uninstaller failed"
left=$(cd "$target" 2>/dev/null && find . -mindepth 1 ! -name Uninstall.exe | sort)
[ -z "$left" ] || fail "left behind after uninstalling: $left"
menu=$(find "$WINEPREFIX/drive_c" -ipath '*start menu*' -iname '*brindleflash*' 2>/dev/null)
[ -z "$menu" ] || fail "Start-menu entry left behind: $menu"

[ $failures -eq 0 ] && echo "PASS: installed, started and uninstalled"
exit $((failures > 0))

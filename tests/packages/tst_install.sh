#!/usr/bin/env bash
# Installs into a scratch prefix and starts the installed program through its bin/ link.
# Usage: tst_install.sh CMAKE BUILD_DIR WITH_TOOL(0|1) WITH_DEVSIM(0|1)
set -euo pipefail
cmake=$1 build=$2 with_tool=$3 with_devsim=$4

prefix=$(mktemp -d)
fail() {
    echo "FAIL: $*" >&2
    [ -s "$prefix/program.log" ] && sed 's/^/program: /' "$prefix/program.log" >&2
    exit 1
}

pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$prefix"
}
trap cleanup EXIT

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

link=$prefix/bin/brindleflash
[ -L "$link" ] || fail "bin/brindleflash is not a symbolic link"
case "$(readlink "$link")" in
/*) fail "bin/brindleflash points at an absolute path, which breaks under DESTDIR" ;;
esac
real=$(readlink -f "$link")
[ -x "$real" ] || fail "bin/brindleflash leads to no executable"
[ "$(basename "$real")" = Brindleflash ] || fail "bin/brindleflash leads to $real"
[ "$(basename "$(dirname "$real")")" = brindleflash ] || fail "the program is not in a folder of its own: $real"
if [ "$with_tool" = 1 ]; then
    [ -x "$(dirname "$real")/updateTool/DfuSeCommand.exe" ] || fail "no update tool beside $real"
fi
if [ "$with_devsim" = 1 ]; then
    "$prefix/bin/brindleflash-devsim" -- true || fail "the installed brindleflash-devsim does not run"
fi

desktop=$prefix/share/applications/brindleflash.desktop
[ -f "$desktop" ] || fail "no desktop file"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "the desktop file does not validate"
fi
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -e "$prefix/bin/$exec_name" ] || fail "the desktop file starts $exec_name, which is not installed in bin/"
for size in 16 22 24 32 48 64 128 256; do
    icon=$prefix/share/icons/hicolor/${size}x$size/apps/brindleflash.png
    [ -f "$icon" ] || fail "no ${size}x$size icon"
    # The PNG header holds width and height as big-endian words at bytes 16 and 20.
    dims=$(od -An -tu1 -j16 -N8 "$icon" | awk '{ print $3 * 256 + $4 "x" $7 * 256 + $8 }')
    [ "$dims" = "${size}x$size" ] || fail "the ${size}x$size icon is $dims"
done

QT_QPA_PLATFORM=offscreen "$link" >"$prefix/program.log" 2>&1 &
pid=$!
# Up once the platform plugin is loaded; the window is built and shown right after.
for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || fail "the program ended at start-up"
    grep -q libqoffscreen "/proc/$pid/maps" 2>/dev/null && break
    sleep 0.1
done
grep -q libqoffscreen "/proc/$pid/maps" || fail "the program did not reach its platform plugin"
# The program finds its tool from the directory of /proc/self/exe, the link resolved.
[ "$(readlink "/proc/$pid/exe")" = "$real" ] || fail "the running program is $(readlink "/proc/$pid/exe")"
for _ in $(seq 10); do
    sleep 0.1
    kill -0 "$pid" 2>/dev/null || fail "the program ended while showing its window"
done
echo "PASS: installed, started through bin/brindleflash and stayed up"

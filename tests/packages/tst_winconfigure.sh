#!/usr/bin/env bash
# The cross build by hand, as docs/windows.md gives it: it configures without dfu-util's source
# packages, leaving dfu-util.exe out with one line that says how to get it.
set -euo pipefail
cmake=$1 source=$2 qt=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cd "$source"
if ! "$cmake" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE=scripts/mingw-w64.cmake \
    -DBRINDLEFLASH_QT_WINDOWS="$qt" >"$work/configure.log" 2>&1; then
    cat "$work/configure.log"
    echo "FAIL: the cross build does not configure without dfu-util's sources"
    exit 1
fi
if [ "$(grep -c 'dfu-util.exe is left out: set BRINDLEFLASH_DFU_UTIL_SOURCES' "$work/configure.log")" -ne 1 ]; then
    cat "$work/configure.log"
    echo "FAIL: no single line saying how to get dfu-util.exe"
    exit 1
fi
echo "PASS: configured without dfu-util's sources"

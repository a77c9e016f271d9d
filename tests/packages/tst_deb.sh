#!/usr/bin/env bash
# Builds the .deb and checks its fields, contents and declared dependencies.
# Usage: tst_deb.sh CPACK BUILD_DIR QT_MAJOR WITH_TOOL(0|1) WITH_DEVSIM(0|1)
set -euo pipefail
cpack=$1 build=$2 qt=$3 with_tool=$4 with_devsim=$5

fail() { echo "FAIL: $*" >&2; exit 1; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log" >&2; fail "cpack failed"; }
debs=("$out"/*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, found: ${debs[*]}"
deb=${debs[0]}

[ "$(dpkg-deb -f "$deb" Package)" = brindleflash ] || fail "wrong package name"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "wrong architecture"

listing=$(dpkg-deb -c "$deb")
contents=$(awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' <<<"$listing")
expect=(
    "./usr/bin/brindleflash -> ../lib/brindleflash/Brindleflash"
    "./usr/lib/brindleflash/Brindleflash"
    "./usr/share/applications/brindleflash.desktop"
)
for size in 16 22 24 32 48 64 128 256; do
    expect+=("./usr/share/icons/hicolor/${size}x$size/apps/brindleflash.png")
done
[ "$with_tool" = 1 ] && expect+=("./usr/lib/brindleflash/updateTool/DfuSeCommand.exe")
[ "$with_devsim" = 1 ] && expect+=("./usr/bin/brindleflash-devsim")
for path in "${expect[@]}"; do
    grep -qxF "$path" <<<"$contents" || fail "the package lacks $path"
done
grep -q '^-rwxr-xr-x .* \./usr/lib/brindleflash/Brindleflash$' <<<"$listing" ||
    fail "the program is not executable in the package"

depends=$(dpkg-deb -f "$deb" Depends)
wanted=(libc6 "libqt${qt}core${qt}" "libqt${qt}gui${qt}" "libqt${qt}widgets${qt}" dfu-util)
[ "$qt" = 5 ] && wanted[1]=libqt5core5a
[ "$qt" = 6 ] && wanted+=(qt6-qpa-plugins)
[ "$with_devsim" = 1 ] && wanted+=(umockdev)
for package in "${wanted[@]}"; do
    grep -qE "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends lacks $package: $depends"
done
echo "PASS: $(basename "$deb") depends on $depends"

#!/usr/bin/env bash
# The folder cmake --install makes for Windows holds what its programs need: every DLL that the
# exe or a DLL in it imports is in the folder or is one of Windows' own; the plugins and Qt's
# licence are there.
# Usage: tst_windeploy.sh CMAKE WINDOWS_DLL_DIR BUILD_DIR...
set -euo pipefail
cmake=$1 windows=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

for build in "$@"; do
    folder=$work/$(basename "$build")
    "$cmake" --install "$build" --prefix "$folder" >/dev/null
    objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$build/CMakeCache.txt")
    for file in Brindleflash.exe platforms/qwindows.dll styles/qwindowsvistastyle.dll \
        licenses/Qt-LGPL-3.txt licenses/qt-source.txt; do
        [ -f "$folder/$file" ] || fail "$build: no $file"
    done
    checked=0
    while IFS= read -r -d '' pe; do
        checked=$((checked + 1))
        for dll in $("$objdump" -p "$pe" | sed -n 's/^\s*DLL Name: //p'); do
            # Windows finds DLLs whatever the case of their names.
            [ -n "$(find "$folder" -maxdepth 1 -iname "$dll")" ] && continue
            [ -n "$(find "$windows" -maxdepth 1 -iname "$dll")" ] && continue
            fail "$build: ${pe#"$folder"/} imports $dll, which is neither in the folder nor Windows' own"
        done
    done < <(find "$folder" \( -iname '*.exe' -o -iname '*.dll' \) -print0)
    [ "$checked" -ge 8 ] || fail "$build: only $checked programs and DLLs installed"
    echo "$build: $checked programs and DLLs checked"
done

[ "$failures" -eq 0 ] || exit 1
echo "PASS"

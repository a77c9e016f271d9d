#!/usr/bin/env bash
# The folder cmake --install makes for Windows holds what its programs need: every DLL that the
# exe or a DLL in it imports is in the folder or is one of Windows' own; the plugins are there,
# and the licence and notices of every part that its binaries hold.
# Usage: tst_windeploy.sh CMAKE WINDOWS_DLL_DIR BUILD_DIR...
set -euo pipefail
cmake=$1 windows=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# TEXT|PART: what a binary holds when that text stands in it.
signatures=(
    "Qt5Core.dll|Qt" "invalid distance too far back|zlib" "PCRE2_|PCRE2" "libpng version|libpng"
    "HB_SHAPER_LIST|HarfBuzz" "Keccak_|SHA-3 (Keccak)" "malformed table in Markdown|md4c"
    "GCC: (GNU)|GCC runtime" "GLIBCXX_FORCE_NEW|GCC runtime" "Mingw-w64 runtime failure|mingw-w64 runtime"
    "pthread_spin_init|winpthreads" "mingw-w64-libraries/winpthreads|winpthreads"
    "Tormod Volden|dfu-util" "libusb_|libusb"
)

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
    # Every part that a shipped binary holds, known by a text only that part puts there, has a
    # line in the licences' index whose files are there.
    index=$folder/licenses/README.txt
    while IFS= read -r -d '' pe; do
        texts=$(strings -n 5 "$pe")
        for signature in "${signatures[@]}"; do
            IFS='|' read -r text part <<<"$signature"
            grep -qF -- "$text" <<<"$texts" || continue
            line=$(tr -d '\r' 2>/dev/null <"$index" | grep -m1 "^$part: " || true)
            [ -n "$line" ] || { fail "$build: ${pe#"$folder"/} holds $part, which licenses/README.txt does not name"; continue; }
            for notice in $(sed 's/^[^:]*: //; s/ (.*//; s/,//g' <<<"$line"); do
                [ -s "$folder/licenses/$notice" ] || fail "$build: no licenses/$notice for $part"
            done
        done
    done < <(find "$folder" \( -iname '*.exe' -o -iname '*.dll' \) -print0)
    echo "$build: $checked programs and DLLs checked"
done

[ "$failures" -eq 0 ] || exit 1
echo "PASS"

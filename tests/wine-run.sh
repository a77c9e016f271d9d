#!/usr/bin/env bash
# CTest's emulator for the Windows tests: runs a test under Wine in the build's own prefix.
# Usage: wine-run.sh PREFIX DLL_DIR TEST.exe [arguments...]
# Wine drops every QT_ variable, so those in the environment reach the test through cmd's set;
# A Qt Test program's report reaches only a file under Wine, so it goes to one and is printed
# afterwards.
set -euo pipefail
export WINEPREFIX=$1 WINEPATH=$2 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
test=$3
shift 3

windows_path() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

# The first program in a prefix starts Wine's services, which keep the pipes they inherit open:
# started here with none of CTest's (nor the lock's), so that CTest sees each test end.
(
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot --init 9>&- && wineserver -w 9>&-
    fi
    # Fails when a server is already up; it ends a minute after the last test.
    wineserver -p60 9>&- || true
    wine cmd /c exit 9>&-
) 9>"$WINEPREFIX.lock" </dev/null >/dev/null 2>&1

line=""
while IFS= read -r setting; do
    line+="set $setting&& "
done < <(env | grep '^QT_' || true)
line+="$(windows_path "$test")"
for arg in "$@"; do
    case $arg in
    *" "*) line+=" \"$arg\"" ;;
    *) line+=" $arg" ;;
    esac
done
# What the test prints goes through a file too: a Wine process that outlives the test (a
# server it started) would otherwise hold CTest's pipe open and the test would seem to hang.
output=$(basename "$test" .exe).out
report=/dev/null
if grep -qaE 'Qt[56]Test\.dll' "$test"; then
    report=$(basename "$test" .exe).txt
    rm -f "$report"
    line+=" -o $report,txt"
fi
trap 'cat "$output" "$report" 2>/dev/null' EXIT
wine cmd /c "$line" </dev/null >"$output" 2>&1

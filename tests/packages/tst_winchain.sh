#!/usr/bin/env bash
# The whole chain under Wine as a user meets it: Brindleflash.exe on an X server, a firmware
# file typed into Wine's own file dialog, Start Update pressed, our tool and the real
# dfu-util.exe run and find no device (Wine has no USB), and the window shows the exit-code-10
# explanation in its log. What the window shows is read back from a screenshot by OCR, and
# every process of the chain that it started is gone afterwards.
# Usage: tst_winchain.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
if [ -z "${CHAIN_ON_X:-}" ]; then
    exec env CHAIN_ON_X=1 xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash "$0" "$@"
fi
folder=$build/Brindleflash
export WINEPREFIX=$build/wine-chain WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
work=$(mktemp -d)
# Another user's tool, which this test must not take for its own.
mkdir -p "$work/elsewhere/updateTool"
(unset WINEPREFIX && exec -a "$work/elsewhere/updateTool/DfuSeCommand.exe" sleep 600) &
decoy=$!
cleanup() {
    kill "$decoy" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    rm -rf "$work" "$WINEPREFIX"
}
trap cleanup EXIT
rm -rf "$WINEPREFIX"
wineboot --init </dev/null >/dev/null 2>&1
wineserver -w
windows_path() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }
# dfusepack.exe is no part of the folder, but its DLLs are the tool's.
export WINEPATH=$(windows_path "$folder/updateTool")

head -c 512 /dev/urandom >"$work/image.bin"
wine "$build/updateTool/dfusepack.exe" -o "$(windows_path "$work/firmware.dfu")" --vid 0x0483 \
    --pid 0xdf11 "0x08000000:$(windows_path "$work/image.bin")" </dev/null >/dev/null 2>&1
[ -s "$work/firmware.dfu" ] || { echo "FAIL: dfusepack.exe made no firmware file"; cat "$work/pack.log"; exit 1; }

# A short wait for the device: none comes.
DFU_WAIT_SECONDS=1 wine "$folder/Brindleflash.exe" </dev/null >"$work/program.log" 2>&1 &
program=$!
window=$(timeout 60 xdotool search --sync --name "^Brindleflash - Device Firmware Updater$" | head -n 1)
# Wine runs no window manager here: the buttons are clicked where the window lays them out.
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
click 83 139
xdotool sleep 3
# Wine's own dialog, with its name field focused, takes a typed path.
xdotool type --delay 20 "$(windows_path "$work/firmware.dfu")"
xdotool key Return
xdotool sleep 2
click 119 329
# The tool waits a second for the device, then the window offers a retry.
xdotool sleep 8
click 329 329
# Room for the log's lines, then the window alone, as a person sees it.
xdotool windowmove "$window" 0 0 windowsize "$window" 1270 1010 sleep 2
import -window root "$work/screen.png"
convert "$work/screen.png" -resize 300% -colorspace Gray "$work/large.png"
# One column of lines, as the log is laid out, not blocks side by side.
tesseract "$work/large.png" "$work/screen" --psm 6 >/dev/null 2>&1
text=$(tr '\n' ' ' <"$work/screen.txt")
failures=0
for seen in "Error Code: 10" "DFU device not found"; do
    grep -qF "$seen" <<<"$text" || { echo "FAIL: the window does not show \"$seen\""; failures=$((failures + 1)); }
done
[ $failures -eq 0 ] || { echo "What it showed: $text"; cp "$work/screen.png" "$build/winchain-failure.png"; }

# A Wine process's command line starts with its program, by its Unix or its Windows path; the
# chain's own run in this test's prefix, whatever else runs on the machine.
chain_processes() {
    local pid line
    while read -r pid line; do
        tr '\0' '\n' 2>/dev/null </proc/"$pid"/environ | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
            echo "$pid $line" || true
    done < <(pgrep -af "^([^ ]*[\\\\/])?($1)\\.exe( |\$)" || true)
}
# The tool and dfu-util are gone by themselves once the window reports; the program waits.
left=$(chain_processes 'DfuSeCommand|dfu-util')
[ -z "$left" ] || { echo "FAIL: still running after the report: $left"; failures=$((failures + 1)); }
wineserver -k
wait "$program" 2>/dev/null || true
left=$(chain_processes 'DfuSeCommand|dfu-util|Brindleflash')
[ -z "$left" ] || { echo "FAIL: still running: $left"; failures=$((failures + 1)); }
[ $failures -eq 0 ] && echo "PASS: the window showed exit code 10, and the chain ended"
exit $((failures > 0))

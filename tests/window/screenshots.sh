#!/usr/bin/env bash
# Makes the pictures in docs/screenshots from real runs of the program under
# Xvfb, framed by openbox where it is installed:
#   tests/window/screenshots.sh [BUILD_DIR]      (default: build)
# download-in-progress.png  the window mid-transfer
# checksum-box.png          the checksum box over the window
# error-box.png             the error display over the window after a failure
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=$root/docs/screenshots
program=$build/fwdownload
printer=$build/printer-sim
for tool in Xvfb xdotool xwininfo xprop import "$program" "$printer"; do
    command -v "$tool" >/dev/null || { echo "screenshots.sh: $tool not found" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb writes the display number it took to the -displayfd descriptor.
mkfifo "$work/displayfd"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/displayfd" 2>/dev/null &
pids+=($!)
read -r number <"$work/displayfd"
export DISPLAY=:$number
unset FWDOWNLOAD_FRONTEND
if command -v openbox >/dev/null; then
    openbox >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window && break; sleep 0.1; done
fi

# Waits for the window named $1 (an exact name) and prints its id.
window() {
    for _ in $(seq 300); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1 || true)
        [ -n "$id" ] && { echo "$id"; return; }
        sleep 0.05
    done
    echo "screenshots.sh: no window \"$1\"" >&2
    exit 1
}

# Saves the screen's area of window $1 and its frame to $2.
shoot() {
    sleep 0.3 # let the window manager finish drawing the frame
    local x y w h left=0 right=0 top=0 bottom=0
    x=$(xwininfo -id "$1" | awk '/Absolute upper-left X/ {print $4}')
    y=$(xwininfo -id "$1" | awk '/Absolute upper-left Y/ {print $4}')
    w=$(xwininfo -id "$1" | awk '/Width:/ {print $2}')
    h=$(xwininfo -id "$1" | awk '/Height:/ {print $2}')
    if extents=$(xprop -id "$1" _NET_FRAME_EXTENTS | grep -o '[0-9, ]*$'); then
        IFS=', ' read -r left right top bottom <<<"$extents" || true
    fi
    import -window root -crop "$((w + left + right))x$((h + top + bottom))+$((x - left))+$((y - top))" \
        +repage "$2"
}

image=$work/image.bin
head -c 150000 /dev/zero | tr '\0' '\125' >"$image"

# A download, slowed by the printer so that it can be caught half-way.
"$printer" --link "$work/lpt1" --rate 25000 --timeout 60 >"$work/printer.log" &
pids+=($!)
for _ in $(seq 100); do grep -q ready: "$work/printer.log" && break; sleep 0.05; done
DOSDEV_LPT1=$work/lpt1 "$program" "$image" >/dev/null 2>&1 &
pids+=($!)
main=$(window "Download Software V1.0")
sleep 5.5 # the 3-second pause, then under half of the transfer
shoot "$main" "$out/download-in-progress.png"
box=$(window fwdownload)
shoot "$main" "$out/checksum-box.png"
xdotool windowfocus --sync "$box" key Return
sleep 0.3
xdotool windowfocus --sync "$(window fwdownload)" key Return
wait "${pids[-1]}" || true

# A failure: the port cannot be opened.
DOSDEV_LPT1=$work/missing/lpt1 "$program" "$image" >/dev/null 2>&1 &
pids+=($!)
main=$(window "Download Software V1.0")
box=$(window fwdownload)
shoot "$main" "$out/error-box.png"
kill "${pids[-1]}"

echo "screenshots.sh: wrote download-in-progress.png, checksum-box.png, error-box.png in $out"

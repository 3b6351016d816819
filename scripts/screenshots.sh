#!/usr/bin/env bash
# Captures the desktop windows shown in the README: runs the monitor on a virtual display with a
# window manager and a notification area, on examples/desktop-demo.ini, and saves the main
# window, the task details window and the tray menu as PNG files in docs/screenshots/.
# Usage: scripts/screenshots.sh [build dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=docs/screenshots

# Only this script needs an X server and its tools; the build does not.
packages=(xvfb openbox trayer x11-utils x11-xserver-utils imagemagick xdotool)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi
scripts/build.sh "$build" >/dev/null

# The monitor writes its logs beside its executable: run a copy from a scratch directory.
work=$(mktemp -d)
cp "$build/app/prowlix" "$build/app/libprowlix-desktop.so" "$work/"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Polls a command until it succeeds or ten seconds pass.
wait_for() {
    for _ in $(seq 100); do
        if "$@" >/dev/null 2>&1; then return 0; fi
        sleep 0.1
    done
    echo "screenshots: timed out waiting for: $*" >&2
    return 1
}

display=:${SCREENSHOT_DISPLAY:-57}
Xvfb "$display" -screen 0 1024x768x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
wait_for xdpyinfo
xsetroot -solid '#3a6ea5' 2>/dev/null || true
openbox >/dev/null 2>&1 &
pids+=($!)
trayer --edge bottom --align right --widthtype request --height 32 --SetDockType true \
    --transparent false --tint 0xc0c0c0 >/dev/null 2>&1 &
pids+=($!)
wait_for xdotool search --class trayer

"$work/prowlix" "/I:$PWD/examples/desktop-demo.ini" >/dev/null 2>&1 &
monitor=$!
pids+=("$monitor")
wait_for xdotool search --onlyvisible --name '^Prowlix$'
main=$(xdotool search --onlyvisible --name '^Prowlix$' | head -1)
# A click on the splash, which sits centred above the main window, closes it at once.
sleep 1
xdotool mousemove 512 384 click 1
# The demo's second task ends after two seconds and lands in the Down list.
sleep 2.5
xdotool windowmove "$main" 300 200
xdotool windowactivate --sync "$main" 2>/dev/null || true
sleep 0.5
import -window "$main" -frame "$out/main-window.png"

# Select the task in the Up list: its first row lies just under the menu bar.
xdotool mousemove --window "$main" 60 50 click 1
wait_for xdotool search --onlyvisible --name '^View Task$'
details=$(xdotool search --onlyvisible --name '^View Task$' | head -1)
sleep 0.5
import -window "$details" -frame "$out/task-details.png"
xdotool windowactivate --sync "$details" 2>/dev/null || true
xdotool key --clearmodifiers Escape

# Right-click the icon in the notification area and capture the corner with the menu.
tray=$(xdotool search --onlyvisible --class trayer | head -1)
eval "$(xdotool getwindowgeometry --shell "$tray")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
sleep 1
import -window root -crop 230x120+794+648 +repage "$out/tray-menu.png"
xdotool key Escape

kill -TERM "$monitor"
wait "$monitor" 2>/dev/null || true
echo "screenshots: wrote $out/main-window.png $out/task-details.png $out/tray-menu.png"

#!/usr/bin/env bash
# Captures the desktop windows shown in the README: runs the monitor on a virtual display with a
# window manager and a notification area and saves PNG files in docs/screenshots/: the message
# box for a missing INI file and the splash that follows it, then, on examples/desktop-demo.ini,
# the main window, the task details window and the tray menu, and the main window with its
# details at a scale factor of 2.
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
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target prowlix prowlix-desktop >/dev/null

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
width=1280
height=1024
Xvfb "$display" -screen 0 ${width}x${height}x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 &
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

# Waits for the monitor to end after SIGTERM.
stop_monitor() {
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# A missing INI file: start-up's message box comes first, on its own; the splash after it.
missing=/etc/prowlix/missing.ini
[ ! -e "$missing" ] || missing=$work/missing.ini
"$work/prowlix" "/I:$missing" >/dev/null 2>&1 &
monitor=$!
pids+=("$monitor")
wait_for xdotool search --onlyvisible --name '^Prowlix$'
sleep 1
box=$(xdotool getactivewindow)
import -window "$box" -frame "$out/missing-ini.png"
xdotool key --clearmodifiers Return
sleep 1
splash=$(xdotool getactivewindow)
import -window "$splash" "$out/splash.png"
stop_monitor "$monitor"

"$work/prowlix" "/I:$PWD/examples/desktop-demo.ini" >/dev/null 2>&1 &
monitor=$!
pids+=("$monitor")
wait_for xdotool search --onlyvisible --name '^Prowlix$'
main=$(xdotool search --onlyvisible --name '^Prowlix$' | head -1)
# A click on the splash, which sits centred above the main window, closes it at once.
sleep 1
xdotool mousemove $((width / 2)) $((height / 2)) click 1
# The demo's second task ends after two seconds and lands in the Down list.
sleep 2.5
xdotool windowmove "$main" 300 200
xdotool windowactivate --sync "$main" 2>/dev/null || true
sleep 0.5
import -window "$main" -frame "$out/main-window.png"

# Select the task in the Up list: its first row lies just under the status line.
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
import -window root -crop 230x120+$((width - 230))+$((height - 120)) +repage "$out/tray-menu.png"
xdotool key Escape
stop_monitor "$monitor"

# The same at a scale factor of 2: the main window with the details of the task that is down,
# chosen with the keyboard.
QT_SCALE_FACTOR=2 "$work/prowlix" "/I:$PWD/examples/desktop-demo.ini" >/dev/null 2>&1 &
monitor=$!
pids+=("$monitor")
wait_for xdotool search --onlyvisible --name '^Prowlix$'
main=$(xdotool search --onlyvisible --name '^Prowlix$' | head -1)
sleep 1
xdotool mousemove $((width / 2)) $((height / 2)) click 1
sleep 2.5
xdotool windowmove "$main" 20 20
xdotool windowactivate --sync "$main" 2>/dev/null || true
sleep 0.5
# Tab moves from the Up list to the Down list; Down selects its first entry.
xdotool key --clearmodifiers Tab Down
wait_for xdotool search --onlyvisible --name '^View Task$'
details=$(xdotool search --onlyvisible --name '^View Task$' | head -1)
xdotool windowmove "$details" 20 600
sleep 0.8
eval "$(xdotool getwindowgeometry --shell "$details")"
import -window root -crop $((X + WIDTH + 40))x$((Y + HEIGHT + 40))+0+0 +repage "$out/scale-2.png"
stop_monitor "$monitor"

echo "screenshots: wrote $out/missing-ini.png $out/splash.png $out/main-window.png" \
    "$out/task-details.png $out/tray-menu.png $out/scale-2.png"

#!/usr/bin/env bash
# Runs the desktop tests on a virtual X display with a window manager, where windows get their
# frames a moment after they are shown. Exits 77 (skipped) without Xvfb or openbox.
# Usage: tests/ui/on-x11.sh <test binary> [gtest arguments...]
set -u
command -v Xvfb >/dev/null && command -v openbox >/dev/null || exit 77
binary=$1
shift
# Xvfb picks a free display itself (runs started side by side must not share one) and writes
# its number once it takes clients; the polls below have deadlines.
number=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp 3>"$number" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 300); do [ -s "$number" ] && break; sleep 0.1; done
export DISPLAY=":$(tr -d '\n' <"$number")" QT_QPA_PLATFORM=xcb
rm -f "$number"
unset WAYLAND_DISPLAY
openbox >/dev/null 2>&1 &
wm=$!
# The window manager is up once it owns the screen's manager selection.
for _ in $(seq 300); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done
"$binary" "$@"
status=$?
kill "$wm" "$xvfb" 2>/dev/null
wait 2>/dev/null
exit $status

#!/usr/bin/env bash
# Runs the desktop tests on a virtual X display with a window manager, where windows get their
# frames a moment after they are shown. Exits 77 (skipped) without Xvfb or openbox.
# Usage: tests/ui/on-x11.sh <test binary> [gtest arguments...]
set -u
command -v Xvfb >/dev/null && command -v openbox >/dev/null || exit 77
binary=$1
shift
for n in $(seq 80 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
done
Xvfb ":$n" -screen 0 1024x768x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=":$n" QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
# Polls with a deadline: the display's socket, then the window manager owning the screen.
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
openbox >/dev/null 2>&1 &
wm=$!
for _ in $(seq 50); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done
"$binary" "$@"
status=$?
kill "$wm" "$xvfb" 2>/dev/null
wait 2>/dev/null
exit $status

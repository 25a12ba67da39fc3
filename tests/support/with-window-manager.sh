#!/usr/bin/env bash
# Runs a command on a virtual X display with a real window manager, which puts frames around
# windows and places them as a desktop does; the offscreen platform only imitates that.
# Exits 77 (skipped) when Xvfb or openbox is missing.
set -u
command -v Xvfb >/dev/null && command -v openbox >/dev/null || { echo "Xvfb or openbox missing: skipped"; exit 77; }
dir=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dir/display" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.05; done
export DISPLAY=":$(cat "$dir/display")" QT_QPA_PLATFORM=xcb
openbox --sm-disable --startup "touch $dir/managing" >/dev/null 2>&1 &
wm=$!
for _ in $(seq 100); do [ -e "$dir/managing" ] && break; sleep 0.05; done
"$@"
status=$?
kill "$wm" "$xvfb" 2>/dev/null
wait "$wm" "$xvfb" 2>/dev/null
rm -rf "$dir"
exit "$status"

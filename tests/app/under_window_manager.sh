#!/usr/bin/env bash
# Runs a Qt test program on a virtual X screen with a real window manager (openbox), so
# that window frames, title bars and placement are the window manager's, as a user sees
# them. Skips (77) when Xvfb or openbox is missing.
set -u
command -v Xvfb >/dev/null && command -v openbox >/dev/null || { echo "Xvfb or openbox missing"; exit 77; }
tmp=$(mktemp -d)
trap 'kill $wm $xvfb 2>/dev/null; wait 2>/dev/null; rm -rf "$tmp"' EXIT
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$tmp/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 50); do [ -s "$tmp/display" ] && break; sleep 0.1; done
[ -s "$tmp/display" ] || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=":$(cat "$tmp/display")"
HOME="$tmp" openbox >/dev/null 2>&1 &
wm=$!
sleep 1
# Leaks inside the X client libraries are not this program's, nor is the keyboard map
# library's strndup of a name that fills its buffer exactly (the sanitizer's strndup
# check reads past it).
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0:intercept_strndup=0"
QT_QPA_PLATFORM=xcb "$@"

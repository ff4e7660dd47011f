#!/bin/sh
# The real program on an X server: the window title exactly as set (the toolkit may append
# the application's display name there, which the offscreen tests cannot see), and Ctrl+Q
# ends the program cleanly.
set -eu

if [ "${1:-}" != --on-display ]; then
  for tool in xvfb-run xdotool; do
    command -v "$tool" >/dev/null || { echo "$tool is missing"; exit 77; }
  done
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  export XDG_CONFIG_HOME="$work/config" HOME="$work"
  # The X platform talks to the desktop bus, whose library keeps a buffer to the end.
  echo "leak:libdbus-1.so" >"$work/lsan.supp"
  export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$work/lsan.supp"
  xvfb-run -a -s "-screen 0 1024x768x24" "$0" --on-display "$1" "$work"
  exit $?
fi

program=$2
work=$3
expected="Tunevert 1.3 - by Quorvel Software"
QT_QPA_PLATFORM=xcb "$program" "$work/absent.wav" &
pid=$!
window=$(timeout 60 xdotool search --sync --onlyvisible --name '^Tunevert' | head -n 1)
title=$(xdotool getwindowname "$window")
status=0
if [ "$title" != "$expected" ]; then
  echo "title is \"$title\", expected \"$expected\""
  status=1
fi
xdotool windowfocus --sync "$window" key ctrl+q
# The program must end by itself within a while.
for _ in $(seq 1 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.3
done
if kill -0 "$pid" 2>/dev/null; then
  echo "Ctrl+Q did not end the program"
  kill "$pid"
  status=1
fi
wait "$pid" || { echo "the program ended with $?"; status=1; }
exit $status

#!/usr/bin/env bash
# Writes docs/screenshot.png: the window under Xvfb halfway through converting a few files
# made here with sox. Usage: scripts/screenshot.sh [path/to/tunevert]
# (default: build/release/app/tunevert, as ./run.sh builds it). SCREENSHOT_DELAY is how many
# seconds after "Convert!" the picture is taken; a slower (sanitizer) build needs more.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = --on-display ]; then
  program=$2 work=$3 out=$4
  cd "$work/home/Music"
  QT_QPA_PLATFORM=xcb "$program" Albums "Field Recordings" &
  pid=$!
  trap 'kill "$pid" 2>/dev/null || true' EXIT
  window=$(timeout 60 xdotool search --sync --onlyvisible --name '^Tunevert' | head -n 1)
  sleep 1
  xdotool windowfocus --sync "$window" key ctrl+Return
  # Far enough in that some files are done and two are converting.
  sleep "${SCREENSHOT_DELAY:-4}"
  xdotool mousemove 0 0
  eval "$(xdotool getwindowgeometry --shell "$window")"
  # One palette for the whole picture keeps the file small; the window has few colours.
  ffmpeg -loglevel error -y -f x11grab -video_size "${WIDTH}x${HEIGHT}" -i "$DISPLAY+$X,$Y" \
    -frames:v 1 "$work/grab.png"
  ffmpeg -loglevel error -y -i "$work/grab.png" \
    -vf "split[a][b];[a]palettegen=max_colors=128[p];[b][p]paletteuse=dither=none" "$out"
  exit 0
fi

program=$(realpath "${1:-$root/build/release/app/tunevert}")
[ -x "$program" ] || { echo "no program at $program: build it first (./run.sh)"; exit 1; }
for tool in xvfb-run xdotool sox ffmpeg; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: scripts/install-deps.sh"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
music="$work/home/Music"
mkdir -p "$music/Albums/Harbour Lights" "$music/Albums/Night Train" "$music/Field Recordings"
n=0
for name in "Albums/Harbour Lights/01 Low Tide.flac" "Albums/Harbour Lights/02 Gulls.flac" \
  "Albums/Harbour Lights/03 Lanterns.flac" "Albums/Night Train/01 Departure.ogg" \
  "Albums/Night Train/02 Sleeper Car.ogg" "Albums/Night Train/03 Arrival.wav" \
  "Field Recordings/Rain on Tin.wav" "Field Recordings/Market Square.flac"; do
  n=$((n + 1))
  sox -n -r 44100 -c 2 "$music/$name" synth 90 sine $((220 + 55 * n)) sine $((330 + 40 * n)) \
    tremolo 3 40 vol 0.5
done
mkdir -p "$work/config/tunevert"
cat >"$work/config/tunevert/tunevert.conf" <<CONF
[General]
format=.mp3
bitrate=192
outputFolder=$music/Converted/
jobs=2
keepTree=true
CONF
mkdir -p "$root/docs"
HOME="$work/home" XDG_CONFIG_HOME="$work/config" \
  xvfb-run -a -s "-screen 0 1024x768x24" "$0" --on-display "$program" "$work" \
  "$root/docs/screenshot.png"
ls -l "$root/docs/screenshot.png"

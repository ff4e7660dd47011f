#!/usr/bin/env bash
# Decoding to WAV: tunevert-cli's wall time against the reference tool's, on a long and a
# short stereo 44.1 kHz source per format, timed in the same run with the runs of the two
# interleaved. Prints the median of each and their ratio.
#
#   bench/ratios.sh [RUNS] [LONG_SECONDS] [SHORT_SECONDS]    (defaults 11, 120, 1)
#
# Builds the Release program in build/bench (TUNEVERT_BENCH_BUILD overrides the folder).
# Needs sox, flac, oggenc, oggdec, lame and ffmpeg.
set -euo pipefail
export LC_ALL=C  # a decimal comma would break the timing arithmetic

runs=${1:-11}
long=${2:-120}
short=${3:-1}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TUNEVERT_BENCH_BUILD:-$root/build/bench}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTUNEVERT_BUILD_GUI=OFF \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target tunevert-cli tvwmvcore >/dev/null
cli=$build/app/tunevert-cli

work=$(mktemp -d /tmp/tunevert-ratios-XXXXXX)
trap 'rm -rf "$work"' EXIT

# Music-like content: a sweep over pink noise, so that every encoder works for real.
for seconds in "$long" "$short"; do
  d=$work/$seconds
  mkdir -p "$d/ours" "$d/ref"
  sox -n -r 44100 -c 2 -b 16 "$d/song.wav" synth "$seconds" pinknoise sine 200-4000 gain -12
  flac -s -f -o "$d/song.flac" "$d/song.wav"
  oggenc -Q -q 5 -o "$d/song.ogg" "$d/song.wav"
  lame --quiet -b 192 "$d/song.wav" "$d/song.mp3"
  ffmpeg -nostdin -v error -y -i "$d/song.wav" -c:a wmav2 -b:a 128k "$d/song.wma"
  # The source sits apart from the outputs so that neither side's output replaces it.
  mkdir -p "$d/src"
  mv "$d"/song.* "$d/src/"
done

reference() { # format dir
  local s=$2/src/song.$1 o=$2/ref/song.wav
  case $1 in
    flac) flac -d -s -f -o "$o" "$s" ;;
    ogg) oggdec -Q -o "$o" "$s" ;;
    mp3 | wma) ffmpeg -nostdin -v error -y -i "$s" -f wav "$o" ;;
    wav) cp "$s" "$o" ;;
  esac
}

ours() { # format dir
  "$cli" -f wav -o "$2/ours" "$2/src/song.$1" >/dev/null
}

# Seconds one command takes; its output is removed first, since replacing a file makes
# ext4 write the new one out at once (on either side).
timed() { # command format dir
  rm -f "$3/ours/song.wav" "$3/ref/song.wav"
  local start=$EPOCHREALTIME
  "$1" "$2" "$3"
  local end=$EPOCHREALTIME
  echo "${start/./} ${end/./}" | awk '{ printf "%.6f\n", ($2 - $1) / 1e6 }'
}

median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -A tool=([flac]="flac -d" [ogg]="oggdec" [mp3]="ffmpeg" [wma]="ffmpeg" [wav]="cp")
echo "tunevert-cli -f wav against the reference tool: median of $runs interleaved runs"
printf '%-10s %-9s %8s %12s %12s %7s\n' source reference seconds "tunevert ms" "reference ms" ratio
for seconds in "$long" "$short"; do
  for format in flac ogg mp3 wma wav; do
    d=$work/$seconds
    ours "$format" "$d"
    reference "$format" "$d" # warm the caches on both sides
    : >"$d/ours.times"
    : >"$d/ref.times"
    for ((i = 0; i < runs; i++)); do
      timed ours "$format" "$d" >>"$d/ours.times"
      timed reference "$format" "$d" >>"$d/ref.times"
    done
    o=$(median <"$d/ours.times")
    r=$(median <"$d/ref.times")
    awk -v f="${format^^}" -v t="${tool[$format]}" -v s="$seconds" -v o="$o" -v r="$r" \
      'BEGIN { printf "%-10s %-9s %8s %12.1f %12.1f %7.2f\n", f, t, s, o * 1000, r * 1000, o / r }'
  done
done

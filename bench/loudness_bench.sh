#!/usr/bin/env bash
# Loudness: measuring FILES sources of SECONDS each with tunevert-cli --loudness against
# loudgain (one album, no tags written), and what ReplayGain tags cost a batch to 160 kbit/s
# MP3 (track gain, album gain) in wall time. Prints the median of each over RUNS interleaved
# runs, the ratio and the costs in percent.
#
#   bench/loudness_bench.sh [RUNS] [FILES] [SECONDS]    (defaults 3, 20, 180)
#
# Builds the Release program in build/bench (TUNEVERT_BENCH_BUILD overrides the folder).
# Needs sox, flac and loudgain.
set -euo pipefail
export LC_ALL=C # a decimal comma would break the timing arithmetic

runs=${1:-3}
files=${2:-20}
seconds=${3:-180}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TUNEVERT_BENCH_BUILD:-$root/build/bench}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTUNEVERT_BUILD_GUI=OFF \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target tunevert-cli tvwmvcore tvtaglib >/dev/null
cli=$build/app/tunevert-cli
"$cli" --help | grep -q -- --replaygain || { echo "tunevert-cli has no --replaygain" >&2; exit 1; }

work=$(mktemp -d /tmp/tunevert-loudness-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src"

# Music-like and different from file to file: a sweep over pink noise at levels 1 dB apart.
for ((i = 1; i <= files; i++)); do
  sox -n -r 44100 -c 2 -b 16 "$work/src/song$(printf %02d "$i").flac" \
    synth "$seconds" pinknoise sine $((100 + 20 * i))-4000 gain $((-4 - i))
done
sources=("$work"/src/*.flac)

ours() { "$cli" --loudness "${sources[@]}" >"$work/ours.txt"; }
reference() { loudgain -q -O -a "${sources[@]}" >"$work/loudgain.txt" 2>/dev/null; }
batch() { # extra options
  rm -rf "$work/out"
  "$cli" -q -f mp3 -b 160 -o "$work/out" "$@" "$work/src" >/dev/null
}
plain() { batch; }
track() { batch --replaygain track; }
album() { batch --replaygain album; }

timed() {
  local start=$EPOCHREALTIME
  "$@"
  local end=$EPOCHREALTIME
  echo "${start/./} ${end/./}" | awk '{ printf "%.6f\n", ($2 - $1) / 1e6 }'
}
median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ours && reference # warm the caches on both sides
for step in ours reference plain track album; do : >"$work/$step.times"; done
for ((i = 0; i < runs; i++)); do
  for step in ours reference plain track album; do timed "$step" >>"$work/$step.times"; done
done
time_ours=$(median <"$work/ours.times")
time_reference=$(median <"$work/reference.times")
time_plain=$(median <"$work/plain.times")
time_track=$(median <"$work/track.times")
time_album=$(median <"$work/album.times")

# Both sides' album loudness, as a check that they measured the same thing.
album_ours=$(awk '/^album:/ { print $2 }' "$work/ours.txt")
album_ref=$(awk -F'\t' '$1 == "Album" { print $2 + 0 }' "$work/loudgain.txt")
echo "$files sources of $seconds s (FLAC, 44.1 kHz stereo), median of $runs interleaved runs," \
  "$(nproc) cores"
awk -v o="$time_ours" -v r="$time_reference" -v p="$time_plain" -v t="$time_track" \
  -v a="$time_album" \
  -v ao="$album_ours" -v ar="$album_ref" 'BEGIN {
  printf "%-36s %8.2f s   album %s LUFS\n", "tunevert-cli --loudness", o, ao
  printf "%-36s %8.2f s   album %s LUFS\n", "loudgain -q -O -a", r, ar
  printf "%-36s %8.2f\n", "--loudness / loudgain", o / r
  printf "%-36s %8.2f s\n", "batch to MP3", p
  printf "%-36s %8.2f s %+7.1f %%\n", "batch to MP3, --replaygain track", t, (t / p - 1) * 100
  printf "%-36s %8.2f s %+7.1f %%\n", "batch to MP3, --replaygain album", a, (a / p - 1) * 100
}'

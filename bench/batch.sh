#!/usr/bin/env bash
# A batch of eight 60 s sources (WAV, FLAC, MP3, Ogg Vorbis, two of each) to 128 kbit/s MP3:
# tunevert-cli with one job against all cores, and lame on the same audio as WAV, one file
# after another. Prints the median wall time of each, the ratios, and whether both batches
# wrote the same bytes.
#   bench/batch.sh [RUNS] [SECONDS]    # defaults 5, 60
set -euo pipefail
runs=${1:-5}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TUNEVERT_BENCH_BUILD:-$root/build/bench}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTUNEVERT_BUILD_GUI=OFF \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target tunevert-cli tvwmvcore >/dev/null
cli=$build/app/tunevert-cli
cores=$(nproc)

work=$(mktemp -d /tmp/tunevert-batch-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src" "$work/wav"
for i in 1 2; do
  base=$work/wav/song$i
  sox -n -r 44100 -c 2 -b 16 "$base-wav.wav" synth "$seconds" pinknoise sine $((150 * i))-4000 \
    gain -12
  flac -s -f -o "$work/src/song$i-flac.flac" "$base-wav.wav"
  oggenc -Q -q 5 -o "$work/src/song$i-ogg.ogg" "$base-wav.wav"
  lame --quiet -b 192 "$base-wav.wav" "$work/src/song$i-mp3.mp3"
  cp "$base-wav.wav" "$work/src/"
done
# lame gets the audio each source decodes to, so both sides encode the same samples.
for s in "$work"/src/*; do
  name=$(basename "${s%.*}")
  [ -f "$work/wav/$name.wav" ] || ffmpeg -nostdin -v error -y -i "$s" "$work/wav/$name.wav"
done

batch() { # jobs
  rm -rf "$work/out$1"
  "$cli" -q -j "$1" -f mp3 -b 128 -o "$work/out$1" "$work/src" >/dev/null
}
lame_batch() {
  rm -rf "$work/lame" && mkdir -p "$work/lame"
  for w in "$work"/wav/*.wav; do lame --quiet -b 128 "$w" "$work/lame/$(basename "${w%.*}").mp3"; done
}
timed() {
  local start=$EPOCHREALTIME
  "$@"
  local end=$EPOCHREALTIME
  echo "${start/./} ${end/./}" | awk '{ printf "%.6f\n", ($2 - $1) / 1e6 }'
}
median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

: >"$work/one" && : >"$work/all" && : >"$work/lame.times"
for ((i = 0; i < runs; i++)); do
  timed batch 1 >>"$work/one"
  timed batch "$cores" >>"$work/all"
  timed lame_batch >>"$work/lame.times"
done
identical=yes
diff -r "$work/out1" "$work/out$cores" >/dev/null || identical=NO
one=$(median <"$work/one")
all=$(median <"$work/all")
ref=$(median <"$work/lame.times")
echo "8 sources of $seconds s to MP3 128 kbit/s, median of $runs interleaved runs, $cores cores"
awk -v o="$one" -v a="$all" -v r="$ref" -v c="$cores" 'BEGIN {
  printf "%-28s %8.2f s\n", "tunevert-cli -j 1", o
  printf "%-28s %8.2f s\n", "tunevert-cli -j " c, a
  printf "%-28s %8.2f s\n", "lame, one file after another", r
  printf "%-28s %8.2f\n", "-j " c " / -j 1", a / o
  printf "%-28s %8.2f\n", "-j 1 / lame", o / r
  printf "%-28s %8.2f\n", "-j " c " / lame", a / r
}'
echo "outputs of -j 1 and -j $cores identical: $identical"
[ "$identical" = yes ]

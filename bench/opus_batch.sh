#!/usr/bin/env bash
# A batch of eight 60 s stereo 44.1 kHz FLAC sources to 128 kbit/s Opus: tunevert-cli -j N
# against ffmpeg's libopus (complexity 10, its default) over GNU parallel -j N, for N = 1 and
# the number of cores, the runs of all four interleaved. Prints the median wall and processor
# time of each, the ratios, and the SNR of either side's first output against its source.
#   bench/opus_batch.sh [RUNS] [SECONDS] [EXTRA CLI OPTIONS...]    # defaults 5, 60
# Needs sox, flac, ffmpeg and parallel. TUNEVERT_CLI names a program to time instead of
# building one.
set -euo pipefail
export LC_ALL=C  # a decimal comma would break the timing arithmetic
runs=${1:-5}
seconds=${2:-60}
shift $(($# < 2 ? $# : 2))
extra=("$@")
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TUNEVERT_BENCH_BUILD:-$root/build/bench}

cli=${TUNEVERT_CLI:-}
if [ -z "$cli" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTUNEVERT_BUILD_GUI=OFF \
    -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" --target tunevert-cli tvwmvcore >/dev/null
  cli=$build/app/tunevert-cli
fi
cores=$(nproc)

work=$(mktemp -d /tmp/tunevert-opus-batch-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src" "$work/wav"
for i in 1 2 3 4 5 6 7 8; do
  sox -n -r 44100 -c 2 -b 16 "$work/wav/song$i.wav" synth "$seconds" pinknoise \
    sine $((100 * i))-4000 gain -12
  flac -s -f -o "$work/src/song$i.flac" "$work/wav/song$i.wav"
done

ours() { # jobs
  rm -rf "$work/ours$1"
  "$cli" -q -j "$1" -f opus -b 128 "${extra[@]}" -o "$work/ours$1" "$work/src" >/dev/null
}
theirs() { # jobs
  rm -rf "$work/ff$1" && mkdir -p "$work/ff$1"
  parallel -j "$1" ffmpeg -nostdin -v error -y -i {} -c:a libopus -b:a 128k \
    "$work/ff$1/{/.}.opus" ::: "$work"/src/*.flac
}
# "wall cpu" in seconds, the processor time being what the shell's children used: on a
# loaded machine the wall time mostly measures the load.
timed() {
  times >"$work/t0"
  local start=$EPOCHREALTIME
  "$@"
  local end=$EPOCHREALTIME
  times >"$work/t1"
  awk -v s="${start/./}" -v e="${end/./}" '
    function sec(f, a) { sub(/s$/, "", f); split(f, a, "m"); return a[1] * 60 + a[2] }
    FNR == 2 { c[FILENAME == ARGV[1] ? 0 : 1] = sec($1) + sec($2) }
    END { printf "%.6f %.3f\n", (e - s) / 1e6, c[1] - c[0] }' "$work/t0" "$work/t1"
}
median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# The decoded output against the source at the source's rate, in dB; the decoder honours
# neither side's original-rate field, so both are brought back alike.
snr() { # opus wav
  ffmpeg -nostdin -v error -y -i "$1" -af aresample=resampler=soxr:precision=28 -ar 44100 \
    -c:a pcm_f32le "$work/back.wav"
  sox -m -v 1 "$2" -v -1 "$work/back.wav" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }' \
    >"$work/noise"
  sox "$2" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }' >"$work/signal"
  awk -v s="$(cat "$work/signal")" -v n="$(cat "$work/noise")" \
    'BEGIN { printf "%.2f dB", 20 * log(s / n) / log(10) }'
}

for j in 1 "$cores"; do : >"$work/ours$j.times" && : >"$work/ff$j.times"; done
for ((i = 0; i < runs; i++)); do
  for j in 1 "$cores"; do
    timed ours "$j" >>"$work/ours$j.times"
    timed theirs "$j" >>"$work/ff$j.times"
  done
done
echo "8 sources of $seconds s to Opus 128 kbit/s, median of $runs interleaved runs, $cores cores" \
  "${extra[*]:+(tunevert-cli ${extra[*]})}"
for j in 1 "$cores"; do
  o=$(awk '{ print $1 }' "$work/ours$j.times" | median)
  f=$(awk '{ print $1 }' "$work/ff$j.times" | median)
  oc=$(awk '{ print $2 }' "$work/ours$j.times" | median)
  fc=$(awk '{ print $2 }' "$work/ff$j.times" | median)
  awk -v o="$o" -v f="$f" -v oc="$oc" -v fc="$fc" -v j="$j" 'BEGIN {
    printf "-j %s: tunevert-cli %6.2f s (cpu %6.2f s), ffmpeg libopus over parallel %6.2f s (cpu %6.2f s)\n", j, o, oc, f, fc
    printf "      ratio %.3f wall, %.3f cpu\n", o / f, oc / fc
  }'
done
echo "SNR against the source: tunevert $(snr "$work/ours1/song1.opus" "$work/wav/song1.wav")," \
  "ffmpeg $(snr "$work/ff1/song1.opus" "$work/wav/song1.wav")"

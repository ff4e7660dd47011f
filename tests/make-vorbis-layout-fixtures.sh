#!/usr/bin/env bash
# Regenerates the multichannel and format-changing chain Ogg Vorbis fixtures in
# tests/data/vorbis with sox and oggenc. Run from anywhere; commit the results.
set -euo pipefail
data="$(cd "$(dirname "$0")" && pwd)/data/vorbis"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$data"

# 3 to 8 channels, channel k (WAV order) a sine of 300 + 200k Hz, so a swap shows.
# oggenc takes WAV order in and writes the Vorbis order.
for n in 3 4 5 6 7 8; do
  tones=()
  for k in $(seq 0 $((n - 1))); do tones+=(sine $((300 + 200 * k))); done
  sox -D -n -r 22050 -c "$n" -b 16 "$tmp/c$n.wav" synth 0.25 "${tones[@]}" vol 0.3
  oggenc --quiet -q 0 -s "20$n" -o "$data/ch$n.ogg" "$tmp/c$n.wav"
done

# A chain whose second link changes rate and channel count: 44.1 kHz stereo (440 Hz left,
# 660 Hz right), then 48 kHz mono (1 kHz).
sox -D -n -r 44100 -c 2 -b 16 "$tmp/a.wav" synth 0.3 sine 440 sine 660 vol 0.5
sox -D -n -r 48000 -c 1 -b 16 "$tmp/b.wav" synth 0.3 sine 1000 vol 0.5
oggenc --quiet -q 0 -s 3001 -o "$tmp/a.ogg" "$tmp/a.wav"
oggenc --quiet -q 0 -s 3002 -o "$tmp/b.ogg" "$tmp/b.wav"
cat "$tmp/a.ogg" "$tmp/b.ogg" > "$data/chain-44k-stereo-48k-mono.ogg"

# A 5.1 link after a 22.05 kHz stereo one: the downmix must take each speaker to its side.
sox -D -n -r 22050 -c 2 -b 16 "$tmp/s.wav" synth 0.2 sine 440 vol 0.5
oggenc --quiet -q 0 -s 3003 -o "$tmp/s.ogg" "$tmp/s.wav"
sox -D -n -r 44100 -c 6 -b 16 "$tmp/six.wav" synth 0.2 sine 500 sine 700 sine 900 sine 1100 \
  sine 1300 sine 1500 vol 0.3
oggenc --quiet -q 0 -s 3004 -o "$tmp/six.ogg" "$tmp/six.wav"
cat "$tmp/s.ogg" "$tmp/six.ogg" > "$data/chain-22k-stereo-44k-6ch.ogg"
ls -l "$data"

# setup-without-decoder.ogg and later-link-without-decoder.ogg are not made here: they are
# fuzzer finds, kept as found.

#!/usr/bin/env bash
# Regenerates data/opus with sox and opusenc: short files at low bitrates, each channel with
# its own tone so a decoded channel shows where it came from (the fourth, the LFE of 5.1 and
# up, at 80 Hz, which the encoder keeps in that channel's narrow band).
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/data/opus"
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
tones=(440 660 1000 80 1500 2200 3000 3700)

sox -n -r 44100 -c 1 -b 16 "$work/mono.wav" synth 0.3 sine 1000 vol 0.5
opusenc --quiet --serial 1 --bitrate 32 "$work/mono.wav" "$out/mono.opus"
sox -n -r 44100 -c 2 -b 16 "$work/stereo.wav" synth 0.3 sine 1000 sine 1500 vol 0.5
opusenc --quiet --serial 2 --bitrate 64 --title "Café ☕" --artist "Ærø" --album "Über" \
  --date 2021 --genre Jazz --comment TRACKNUMBER=3 "$work/stereo.wav" "$out/stereo.opus"
for n in 3 4 5 6 7 8; do
  synth=()
  for ((c = 0; c < n; c++)); do synth+=(sine "${tones[$c]}"); done
  sox -n -r 48000 -c "$n" -b 16 "$work/ch$n.wav" synth 0.15 "${synth[@]}" vol 0.3
  opusenc --quiet --serial "1$n" --bitrate $((16 * n + 16)) "$work/ch$n.wav" "$out/ch$n.opus"
done
# A chain: a stereo link, then a mono one.
cat "$out/stereo.opus" "$out/mono.opus" >"$out/chain-stereo-mono.opus"

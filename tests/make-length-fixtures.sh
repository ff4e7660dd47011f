#!/usr/bin/env bash
# Regenerates the truncated and size-lying sources in tests/data/lengths with sox, flac,
# ffmpeg and lame (plus head -c cuts). Run from anywhere; commit the results.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/data/lengths"
mkdir -p "$out"
cd "$out"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

sox -n -r 22050 -c 2 -b 16 "$tmp/tone.wav" synth 0.4 sine 440 sine 660 vol 0.5
sox -n -r 22050 -c 1 -b 16 "$tmp/mono.wav" synth 0.3 sine 330 vol 0.5

# A download cut short: the stream header still claims every sample.
flac --silent --force --blocksize=1152 --no-padding -o "$tmp/full.flac" "$tmp/tone.wav"
head -c 7000 "$tmp/full.flac" > truncated.flac
# "data" claims 0.4 s; the file holds about 0.15 s and ends inside a frame.
head -c 13307 "$tmp/tone.wav" > truncated-data.wav
# A pipe's placeholder sizes: RIFF and "data" read 0xFFFFFFFF.
ffmpeg -nostdin -hide_banner -loglevel error -i "$tmp/mono.wav" -c:a pcm_s16le -f wav - \
  > placeholder-size.wav
lame --quiet -b 64 "$tmp/tone.wav" tone.mp3
ls -l "$out"

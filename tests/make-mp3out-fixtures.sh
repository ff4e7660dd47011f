#!/usr/bin/env bash
# Regenerates the WAV sources of the MP3 output tests in tests/data/mp3out with sox. Each
# channel carries its own tone, so a decoded channel shows where its content came from.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/data/mp3out"
mkdir -p "$out"
cd "$out"
# -6 dBFS tones: loud enough to measure, far from clipping after a downmix.
sox -n -r 44100 -c 2 -b 16 stereo16.wav synth 0.5 sine 1000 sine 1500 vol 0.5
sox -n -r 44100 -c 1 -b 16 mono16.wav synth 0.5 sine 1000 vol 0.5
sox -n -r 48000 -c 2 -b 24 stereo24.wav synth 0.5 sine 1000 sine 1500 vol 0.5
# FL FR FC LFE BL BR
sox -n -r 32000 -c 6 -b 16 six16.wav synth 0.5 sine 440 sine 660 sine 1000 sine 80 \
  sine 1500 sine 2200 vol 0.25

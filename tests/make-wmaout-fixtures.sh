#!/usr/bin/env bash
# Makes the WMA output fixtures in tests/data/wmaout/ with sox, flac and lame: short tones
# with a different frequency per side, so a swapped or dropped channel shows.
set -euo pipefail
cd "$(dirname "$0")/data/wmaout"

sox -n -r 44100 -c 2 -b 16 stereo-44100.wav synth 1 sine 440 sine 660 gain -6
sox -n -r 22050 -c 1 -b 16 mono-22050.wav synth 1 sine 500 gain -6
sox -n -r 96000 -c 2 -b 16 stereo-96000.wav synth 0.5 sine 440 sine 660 gain -6
sox -n -r 48000 -c 2 -b 24 stereo-24bit-48000.wav synth 0.5 sine 440 sine 660 gain -6
flac --silent -f -o stereo-44100.flac stereo-44100.wav
lame --quiet -b 128 stereo-44100.wav stereo-44100.mp3
ls -l

#!/usr/bin/env bash
# Makes WAV files whose payload the WAV reader has no decoder of, in tests/data/wm/wavcodecs/:
# A-law, mu-law and GSM 6.10 with sox; G.726, G.722, G.723.1, Yamaha ADPCM and 64-bit PCM with
# ffmpeg; and one format tag nothing decodes (a byte edit).
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/data/wm/wavcodecs"
mkdir -p "$out"
cd "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y -bitexact "$@"; }

sox -n -r 8000 -c 1 -b 16 "$tmp/m8.wav" synth 0.3 sine 440 gain -6
sox -n -r 8000 -c 2 -b 16 "$tmp/s8.wav" synth 0.3 sine 440 sine 660 gain -6
sox -n -r 16000 -c 1 -b 16 "$tmp/m16.wav" synth 0.3 sine 440 gain -6

sox "$tmp/m8.wav" -e a-law alaw-mono-8000.wav
sox "$tmp/s8.wav" -e u-law mulaw-stereo-8000.wav
sox "$tmp/m8.wav" -e gsm-full-rate gsm610-mono-8000.wav
ff -i "$tmp/m8.wav" -c:a adpcm_g726 -b:a 32k g726-mono-8000.wav
ff -i "$tmp/m16.wav" -c:a adpcm_g722 g722-mono-16000.wav
ff -i "$tmp/m8.wav" -c:a g723_1 -b:a 6300 g723-mono-8000.wav
ff -i "$tmp/s8.wav" -c:a adpcm_yamaha yamaha-stereo-8000.wav
ff -i "$tmp/m8.wav" -t 0.1 -c:a pcm_s64le pcm64-mono-8000.wav

# The A-law file under a format tag no decoder knows.
python3 - <<'PY'
import struct
data = bytearray(open('alaw-mono-8000.wav', 'rb').read())
fmt = data.index(b'fmt ')
struct.pack_into('<H', data, fmt + 8, 0x7777)
open('unknown-tag.wav', 'wb').write(bytes(data))
PY
ls -l

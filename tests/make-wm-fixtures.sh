#!/usr/bin/env bash
# Makes the Windows Media reader fixtures in tests/data/wm/ with Debian's tools:
# ffmpeg for WMA v1/v2 with ASF metadata, lame (and id3v2) for tagged MP3, sox and flac
# for the multichannel and 24-bit sources the runtime also reads.
set -euo pipefail
cd "$(dirname "$0")/data/wm"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y -bitexact "$@"; }

# Two different tones per side, so a swapped or dropped channel shows.
sox -n -r 44100 -c 2 -b 16 "$tmp/st44.wav" synth 3 sine 440 sine 660 gain -6
sox -n -r 48000 -c 2 -b 16 "$tmp/st48.wav" synth 2 sine 330 sine 550 gain -6
sox -n -r 22050 -c 1 -b 16 "$tmp/mono22.wav" synth 2 sine 250 gain -6

tags=(-metadata "title=Caf$(printf '\xc3\xa9') Tune" -metadata "artist=The Testers"
  -metadata "album=Fixture Album" -metadata "genre=Ambient" -metadata "track=7"
  -metadata "date=2019" -metadata "copyright=(c) Nobody")

ff -i "$tmp/st44.wav" -c:a wmav2 -b:a 64k "${tags[@]}" wmav2-stereo-44100.wma
ff -i "$tmp/st48.wav" -c:a wmav2 -b:a 64k wmav2-stereo-48000.wma
ff -i "$tmp/mono22.wav" -c:a wmav1 -b:a 32k -metadata "title=Mono One" wmav1-mono-22050.wma

lame --quiet -b 128 --tt "Cafe Tune" --ta "The Testers" --tl "Fixture Album" \
  --tg "Ambient" --tn 7 --ty 2019 --add-id3v2 "$tmp/st44.wav" mp3-cbr-stereo-44100.mp3
# A title beyond ASCII and a copyright, which lame has no option for.
id3v2 --TIT2 "Caf$(printf '\xe9') Tune" --TCOP "(c) Nobody" mp3-cbr-stereo-44100.mp3
lame --quiet -V 5 -m m --tt "Variable" "$tmp/mono22.wav" mp3-vbr-mono-22050.mp3

lame --quiet -b 32 -m m --id3v1-only --tt "Old Style" --ta "Version One" --ty 1999 \
  "$tmp/mono22.wav" mp3-id3v1-only.mp3

# Not audio at all, and the same picture as an MP3's cover (a video stream beside the audio).
ff -f lavfi -i color=c=red:s=16x16 -frames:v 1 not-audio.png
lame --quiet -b 32 -m m --ti not-audio.png --tt "Covered" "$tmp/mono22.wav" mp3-with-cover.mp3

# Eight channels (for a mixed-down offer) and 24 bits (for the wide offer).
sox -n -r 8000 -c 8 -b 16 "$tmp/eight.wav" synth 0.25 sine 200 sine 300 sine 400 sine 500 \
  sine 600 sine 700 sine 800 sine 900 gain -12
ff -i "$tmp/eight.wav" -c:a flac eight-channels-8000.flac
sox -n -r 8000 -c 2 -b 24 "$tmp/wide.wav" synth 0.5 sine 300 sine 500 gain -3
ff -i "$tmp/wide.wav" -c:a flac -sample_fmt s32 stereo-24bit-8000.flac

# The stereo WMA with a Content Encryption object added to its header, as protected
# content carries one.
python3 - wmav2-stereo-44100.wma protected-content.wma <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
size, count = struct.unpack_from('<QI', data, 16)
guid = bytes.fromhex('fbb3112223bdd211b4b700c04fb98020')
secret = b'\x00' * 8
body = struct.pack('<I', len(secret)) + secret
for text in (b'ABCD\x00', b'KEY\x00', b'http://license.invalid/\x00'):
    body += struct.pack('<I', len(text)) + text
obj = guid + struct.pack('<Q', 24 + len(body)) + body
header = data[:16] + struct.pack('<QI', size + len(obj), count + 1) + data[28:30]
open(sys.argv[2], 'wb').write(header + obj + data[30:])
PY
ls -l

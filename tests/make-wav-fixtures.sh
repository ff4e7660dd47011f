#!/usr/bin/env bash
# Regenerates the small WAV fixtures in tests/data/wav with sox and ffmpeg (plus a few byte
# edits for the malformed and oddly laid-out files). Run from anywhere; commit the results.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/data/wav"
mkdir -p "$out"
cd "$out"
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
tone="synth 0.05 sine 440 sine 660"

sox -n -r 8000 -c 1 -b 8 -e unsigned pcm8-mono.wav synth 0.05 sine 440
sox -n -r 44100 -c 2 -b 16 pcm16-stereo.wav $tone
sox -n -r 48000 -c 2 -b 24 pcm24-stereo.wav $tone
sox -n -r 22050 -c 1 -b 32 pcm32-mono.wav synth 0.05 sine 440
# sox writes plain IEEE float (tag 3), ffmpeg the extensible form.
sox -n -r 22050 -c 2 -b 32 -e floating-point float32-stereo.wav synth 0.05 sine 440 sine 660
sox -n -r 22050 -c 1 -b 64 -e floating-point float64-mono.wav synth 0.05 sine 440
ff -f lavfi -i "sine=f=440:r=22050:d=0.05" -ac 2 -c:a pcm_f32le extfloat32-stereo.wav
ff -f lavfi -i "sine=f=440:r=22050:d=0.05" -c:a pcm_f64le extfloat64-mono.wav
ff -f lavfi -i "sine=f=440:r=16000:d=0.05" -ac 6 -c:a pcm_s16le ext-6ch.wav
sox -n -r 22050 -c 1 -e ima-adpcm ima-mono.wav synth 0.1 sine 440
sox -n -r 22050 -c 2 -e ima-adpcm ima-stereo.wav synth 0.1 sine 440 sine 660
ff -f lavfi -i "sine=f=440:r=22050:d=0.1" -c:a adpcm_ms ms-mono.wav
ff -f lavfi -i "sine=f=440:r=22050:d=0.1" -ac 2 -c:a adpcm_ms ms-stereo.wav
ff -f lavfi -i "sine=f=440:r=8000:d=0.05" -c:a pcm_s16le -metadata title=Fixture list-chunk.wav

# Byte-level variants of a plain 16-bit file.
python3 - <<'PY'
import struct
src = open("pcm16-stereo.wav", "rb").read()
fmt = src[12:36]
data = src[36:]
def chunk(cid, body):
    return cid + struct.pack("<I", len(body)) + body
def riff(body):
    return b"RIFF" + struct.pack("<I", len(body) + 4) + b"WAVE" + body
open("junk-before-riff.wav", "wb").write(b"\x00garbage!" + src)
open("lowercase-ids.wav", "wb").write(b"riff" + src[4:8] + b"wave" + b"fmt " + src[16:36] + b"data" + src[40:])
# "data" ahead of "fmt " is skipped while looking for "fmt ", so the file ends unsupported.
open("data-before-fmt.wav", "wb").write(riff(data + fmt))
# Odd-sized chunk plus its pad byte right before "data".
open("odd-chunk-before-data.wav", "wb").write(riff(fmt + chunk(b"junk", b"abc") + b"\x00" + data))
# A chunk so large that the scan for "data" would run past its 64 KiB header buffer.
open("huge-chunk-before-data.wav", "wb").write(riff(fmt + chunk(b"junk", bytes(70000)) + data))
# A-law is not decoded.
alaw = bytearray(src); alaw[20:22] = struct.pack("<H", 6)
open("alaw-tag.wav", "wb").write(bytes(alaw))
# Extensible file whose sub-format is neither PCM nor float.
ext = bytearray(open("ext-6ch.wav", "rb").read())
i = ext.index(b"fmt ")
size = struct.unpack("<I", ext[i+4:i+8])[0]
ext[i+8+size-16] = 0x09
open("ext-unknown-subformat.wav", "wb").write(bytes(ext))
# IMA ADPCM with 3 bits per sample, and without its "fact" chunk.
ima = bytearray(open("ima-mono.wav", "rb").read())
ima3 = bytearray(ima); ima3[34:36] = struct.pack("<H", 3)
open("ima-3bit.wav", "wb").write(bytes(ima3))
j = ima.index(b"fact")
open("ima-no-fact.wav", "wb").write(bytes(ima[:j] + ima[j+12:]))
# MS ADPCM declaring 40 coefficient pairs, and one whose first block uses predictor 9 of 7.
ms = bytearray(open("ms-mono.wav", "rb").read())
k = ms.index(b"fmt ")
many = bytearray(ms); many[k+8+20:k+8+22] = struct.pack("<H", 40)
open("ms-too-many-coefs.wav", "wb").write(bytes(many))
d = ms.index(b"data")
bad = bytearray(ms); bad[d+8] = 9
open("ms-bad-predictor.wav", "wb").write(bytes(bad))
PY
ls -l "$out"

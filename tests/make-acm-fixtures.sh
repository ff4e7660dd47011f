#!/usr/bin/env bash
# Regenerates the MPEG Layer-3 WAV fixtures (format tag 0x55) in tests/data/wav with ffmpeg's
# libmp3lame encoder, plus byte-level variants made from them. Commit the results.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/data/wav"
mkdir -p "$out"
cd "$out"
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y -bitexact "$@"; }

ff -f lavfi -i "sine=f=440:r=44100:d=0.5" -ac 2 -c:a libmp3lame -b:a 64k -f wav mp3-stereo-44100.wav
ff -f lavfi -i "sine=f=330:r=22050:d=0.4" -ac 1 -c:a libmp3lame -b:a 32k -f wav mp3-mono-22050.wav
ff -f lavfi -i "sine=f=550:r=22050:d=0.3" -ac 2 -c:a libmp3lame -b:a 48k -f wav mp3-stereo-22050.wav
ff -f lavfi -i "sine=f=660:r=44100:d=0.3" -ac 1 -c:a libmp3lame -b:a 48k -f wav mp3-mono-44100.wav

python3 - <<'PY'
import random, struct

def chunk(cid, body):
    return cid + struct.pack("<I", len(body)) + body

def riff(*chunks):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body

def parts(name):
    src = open(name, "rb").read()
    i, found = 12, {}
    while i + 8 <= len(src):
        cid, size = src[i:i+4], struct.unpack("<I", src[i+4:i+8])[0]
        found[cid] = src[i+8:i+8+size]
        i += 8 + size + (size & 1)
    return found

def frames(payload, rate):
    # Offsets of the Layer-3 frames (MPEG-2, 22,050 Hz or MPEG-1, 44,100 Hz).
    offs, i = [], 0
    while i + 4 <= len(payload):
        h = struct.unpack(">I", payload[i:i+4])[0]
        mpeg1 = (h >> 19) & 3 == 3
        table = [0,32,40,48,56,64,80,96,112,128,160,192,224,256,320] if mpeg1 else \
                [0,8,16,24,32,40,48,56,64,80,96,112,128,144,160]
        size = (144 if mpeg1 else 72) * table[(h >> 12) & 15] * 1000 // rate + ((h >> 9) & 1)
        offs.append(i)
        i += size
    return offs

mono = parts("mp3-mono-22050.wav")
stereo = parts("mp3-stereo-44100.wav")
fact = struct.pack("<I", 8820)

# MPEGLAYER3WAVEFORMAT written by hand: 18-byte header, cbSize 12, then wID 1, fdwFlags 2,
# nBlockSize 72, nFramesPerBlock 1, nCodecDelay 1393.
fmt30 = struct.pack("<HHIIHHH", 0x55, 1, 22050, 4000, 1, 0, 12) + \
        struct.pack("<HIHHH", 1, 2, 72, 1, 1393)
assert len(fmt30) == 30
open("mp3-fmt30-handmade.wav", "wb").write(
    riff(chunk(b"fmt ", fmt30), chunk(b"fact", fact), chunk(b"data", mono[b"data"])))
# A "fmt " chunk of 150 bytes: only its first 129 bytes fit the format record.
fmt150 = fmt30[:16] + struct.pack("<H", 132) + fmt30[18:] + bytes(range(120))
open("mp3-fmt150.wav", "wb").write(
    riff(chunk(b"fmt ", fmt150), chunk(b"fact", fact), chunk(b"data", mono[b"data"])))
# Format and "fact", but no "data".
open("mp3-no-data.wav", "wb").write(riff(chunk(b"fmt ", fmt30), chunk(b"fact", fact)))
# The "data" size promises the whole payload; the file ends inside its sixth frame.
payload = stereo[b"data"]
offs = frames(payload, 44100)
cut = offs[5] + 100
whole = riff(chunk(b"fmt ", stereo[b"fmt "]), chunk(b"fact", stereo[b"fact"]),
             chunk(b"data", payload))
open("mp3-truncated-payload.wav", "wb").write(whole[:len(whole) - len(payload) + cut])
# A single frame: the decoder has no following header to confirm it by.
open("mp3-single-frame.wav", "wb").write(
    riff(chunk(b"fmt ", stereo[b"fmt "]), chunk(b"fact", stereo[b"fact"]),
         chunk(b"data", payload[:offs[1]])))
# Random bytes where the MPEG frames should be.
rng = random.Random(55)
open("mp3-garbage-payload.wav", "wb").write(
    riff(chunk(b"fmt ", stereo[b"fmt "]), chunk(b"fact", stereo[b"fact"]),
         chunk(b"data", bytes(rng.randrange(256) for _ in range(3000)))))
# 22,050 Hz frames in a file that declares 44,100 Hz.
lying = bytearray(mono[b"fmt "]); lying[4:8] = struct.pack("<I", 44100)
open("mp3-rate-mismatch.wav", "wb").write(
    riff(chunk(b"fmt ", bytes(lying)), chunk(b"fact", fact), chunk(b"data", mono[b"data"])))
PY
ls -l mp3-*.wav

#!/usr/bin/env bash
# Regenerates the WAV fixtures of layouts other tools write (RF64/BW64, RIFX, containers
# wider than their samples, placeholder and lying sizes, odd-sized chunks, ADPCM headers
# that differ from the layout formula) in tests/data/wav. Run from anywhere; commit results.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/data/wav"
mkdir -p "$out"
cd "$out"
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

ff -f lavfi -i "sine=f=440:r=8000:d=0.1" -ac 2 -c:a pcm_s16le -rf64 always rf64-pcm16.wav
sox -D -n -r 8000 -c 2 -b 16 -B rifx-pcm16.wav synth 0.1 sine 440 sine 660
sox -D -n -r 8000 -c 1 -b 24 -B rifx-pcm24.wav synth 0.1 sine 440
sox -D -n -r 8000 -c 1 -b 32 -e floating-point -B rifx-float32.wav synth 0.1 sine 440
# The case that drifted: a short quiet stereo IMA file from an encoder that multiplies.
sox -D -n -r 22050 -c 2 -b 16 /tmp/quiet.wav synth 0.15 sine 300 sine 500 vol 0.002
ff -i /tmp/quiet.wav -c:a adpcm_ima_wav -ac 2 ima-stereo-quiet-ffmpeg.wav
ff -i /tmp/quiet.wav -c:a adpcm_ima_wav -ac 1 ima-mono-quiet-ffmpeg.wav
sox -D /tmp/quiet.wav -e ima-adpcm ima-stereo-quiet-sox.wav
sox -D -n -r 22050 -c 2 -b 16 /tmp/quiet.wav synth 0.1 sine 440 sine 660 vol 0.125
ff -i /tmp/quiet.wav -c:a adpcm_ima_wav ima-stereo-ffmpeg.wav
rm -f /tmp/quiet.wav
# ffmpeg writing to a pipe leaves the placeholder sizes in place.
ff -f lavfi -i "sine=f=440:r=8000:d=0.1" -c:a pcm_s16le -f wav - | cat > data-size-placeholder.wav

python3 - <<'PY'
import struct
def chunks(b):
    i = 12
    while i + 8 <= len(b):
        cid = b[i:i+4]; n = struct.unpack("<I", b[i+4:i+8])[0]
        yield cid, i, n
        i += 8 + n + (n & 1)
def find(b, cid):
    return next(i for c, i, n in chunks(b) if c == cid)
def chunk(cid, body, pad=True):
    return cid + struct.pack("<I", len(body)) + body + (b"\0" if pad and len(body) & 1 else b"")
def riff(body, cid=b"RIFF"):
    return cid + struct.pack("<I", len(body) + 4) + b"WAVE" + body
src = open("pcm16-stereo.wav", "rb").read()
fmt = src[12:36]
data = src[36:]
pcm = data[8:]
put = lambda name, b: open(name, "wb").write(b)

rf = open("rf64-pcm16.wav", "rb").read()
put("bw64-pcm16.wav", b"BW64" + rf[4:])
# "data" 32-bit size left at zero: only "ds64" has it.
d = find(rf, b"data")
put("rf64-data-size-zero.wav", rf[:d+4] + b"\0\0\0\0" + rf[d+8:])

d = find(src, b"data")
put("data-size-zero.wav", src[:d+4] + b"\0\0\0\0" + src[d+8:])
put("data-size-past-end.wav", src[:d+4] + struct.pack("<I", 10 * len(pcm)) + src[d+8:])
# A torn last frame, and RIFF sizes that are too small or huge.
put("data-torn-frame.wav", src[:-3])
put("riff-size-small.wav", src[:4] + struct.pack("<I", 100) + src[8:])
put("riff-size-huge.wav", src[:4] + b"\xff\xff\xff\xff" + src[8:])
# A chunk after "data" must not be played.
put("chunk-after-data.wav", riff(fmt + data + chunk(b"LIST", b"INFOISFT\x05\0\0\0abcd\0\0")))

# Odd-sized chunks with their pad byte wherever writers put them.
put("odd-chunk-before-fmt.wav", riff(chunk(b"JUNK", b"abc") + fmt + data))
put("odd-list-info-before-data.wav",
    riff(fmt + chunk(b"LIST", b"INFO" + chunk(b"INAM", b"tone") + chunk(b"ISFT", b"odd")) + data))
put("odd-bext-and-id3.wav",
    riff(chunk(b"bext", bytes(603)) + fmt + chunk(b"id3 ", b"ID3" + bytes(14)) + data))
# Junk between the RIFF size and "WAVE", found by sliding.
put("junk-before-wave.wav", src[:8] + b"\x01junk" + src[8:])
# Some writers leave out the pad byte.
put("odd-chunk-unpadded.wav", riff(fmt + chunk(b"JUNK", b"abc", pad=False) + data))

# 12 bits in 16 and 20 bits in 24, with plain and extensible headers.
def fmt_plain(ch, rate, bits, container):
    ba = ch * container // 8
    return chunk(b"fmt ", struct.pack("<HHIIHH", 1, ch, rate, rate * ba, ba, bits))
def fmt_ext(ch, rate, bits, container):
    ba = ch * container // 8
    guid = bytes([1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71])
    return chunk(b"fmt ", struct.pack("<HHIIHHHHI", 0xFFFE, ch, rate, rate * ba, ba, container, 22,
                                      bits, 3 if ch == 2 else 4) + guid)
p24 = open("pcm24-stereo.wav", "rb").read()
d24 = find(p24, b"data")
pcm24 = p24[d24+8:]
def masked(samples, width, bits):
    out = bytearray(samples)
    drop = width * 8 - bits
    for i in range(0, len(out) - width + 1, width):
        v = int.from_bytes(out[i:i+width], "little") >> drop << drop
        out[i:i+width] = v.to_bytes(width, "little")
    return bytes(out)
p12 = masked(pcm, 2, 12); p20 = masked(pcm24, 3, 20)
put("pcm12-in-16.wav", riff(fmt_plain(2, 44100, 12, 16) + chunk(b"data", p12)))
put("ext12-in-16.wav", riff(fmt_ext(2, 44100, 12, 16) + chunk(b"data", p12)))
put("pcm20-in-24.wav", riff(fmt_plain(2, 48000, 20, 24) + chunk(b"data", p20)))
put("ext20-in-24.wav", riff(fmt_ext(2, 48000, 20, 24) + chunk(b"data", p20)))

# ADPCM headers that disagree with the layout formula, and lying "fact" counts.
def edit_fmt(b, off, value):
    b = bytearray(b); f = find(b, b"fmt ")
    b[f+8+off:f+10+off] = struct.pack("<H", value); return bytes(b)
def edit_fact(b, value):
    b = bytearray(b); f = find(b, b"fact")
    b[f+8:f+12] = struct.pack("<I", value); return bytes(b)
ima = open("ima-stereo.wav", "rb").read()
ms = open("ms-mono.wav", "rb").read()
put("ima-spb-too-large.wav", edit_fmt(ima, 18, 2041))
put("ima-spb-zero.wav", edit_fmt(ima, 18, 0))
put("ima-fact-past-data.wav", edit_fact(ima, 100000))
put("ima-fact-zero.wav", edit_fact(ima, 0))
put("ima-truncated-block.wav", ima[:-300])
put("ms-spb-too-large.wav", edit_fmt(ms, 18, 4000))
put("ms-fact-past-data.wav", edit_fact(ms, 100000))
put("ms-truncated-block.wav", ms[:-100])
PY
ls -l "$out"

#!/usr/bin/env bash
# Regenerates the small FLAC and Ogg Vorbis fixtures in tests/data/flac and tests/data/vorbis
# with sox, flac, metaflac and oggenc. Run from anywhere; commit the results. Damaged
# variants are made by the tests themselves from these intact files, but for one whose
# page checksum has to be recomputed.
set -euo pipefail
data="$(cd "$(dirname "$0")" && pwd)/data"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$data/flac" "$data/vorbis"

# Noise plus tones: busy enough that the encoders use every kind of subframe.
sox -n -r 44100 -c 2 -b 16 "$tmp/s16.wav" synth 1.2 sine 440 whitenoise vol 0.5
sox -n -r 8000 -c 1 -b 8 "$tmp/s8.wav" synth 0.4 sine 300 vol 0.9
sox -n -r 48000 -c 2 -b 24 "$tmp/s24.wav" synth 0.4 sine 1000 pinknoise vol 0.7
sox -n -r 16000 -c 6 -b 16 "$tmp/s6ch.wav" synth 0.3 sine 200 sine 300 sine 400 \
  sine 500 whitenoise sine 700
# 12-bit and 20-bit streams: WAVE_FORMAT_EXTENSIBLE files whose valid-bits field says so.
python3 - "$tmp" <<'PY'
import math, struct, sys
def wav(path, ch, rate, container, valid, frames):
    data = bytearray()
    for i in range(frames):
        for c in range(ch):
            v = int(math.sin(i * 0.05 * (c + 1)) * ((1 << (valid - 1)) - 1) * 0.9)
            v += (i * 7919 + c * 31) % 5 - 2
            v = max(-(1 << (valid - 1)), min((1 << (valid - 1)) - 1, v)) << (container - valid)
            data += (v & ((1 << container) - 1)).to_bytes(container // 8, "little")
    ba = ch * container // 8
    guid = bytes.fromhex("0100000000001000800000aa00389b71")
    fmt = struct.pack("<HHIIHHHHI", 0xFFFE, ch, rate, rate * ba, ba, container, 22, valid,
                      3 if ch == 2 else 4) + guid
    body = b"WAVEfmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + \
        struct.pack("<I", len(data)) + bytes(data)
    open(path, "wb").write(b"RIFF" + struct.pack("<I", len(body)) + body)
wav(sys.argv[1] + "/s12.wav", 1, 22050, 16, 12, 6000)
wav(sys.argv[1] + "/s12s.wav", 2, 22050, 16, 12, 3000)
wav(sys.argv[1] + "/s20.wav", 2, 32000, 24, 20, 6000)
PY

f() { flac --silent --force "$@"; }
f -b 4096 -o "$data/flac/s16-stereo.flac" -T "TITLE=A" -T "title=B" \
  -T "ARTIST=Zoë Ångström" -T "ALBUM=Fixtures" -T "DATE=2010-05-01" -T "GENRE=Noise" \
  -T "TRACKNUMBER=7" -T "REPLAYGAIN_TRACK_GAIN=-3.2 dB" "$tmp/s16.wav"
f -o "$data/flac/s8-mono.flac" "$tmp/s8.wav"
f -o "$data/flac/s24-stereo.flac" "$tmp/s24.wav"
f -o "$data/flac/s16-6ch.flac" "$tmp/s6ch.wav"
f -o "$data/flac/s12-mono.flac" "$tmp/s12.wav"
f -o "$data/flac/s12-stereo.flac" "$tmp/s12s.wav"
f -o "$data/flac/s20-stereo.flac" "$tmp/s20.wav"
cp "$data/flac/s8-mono.flac" "$data/flac/no-comments.flac"
metaflac --remove --block-type=VORBIS_COMMENT "$data/flac/no-comments.flac"

# Vorbis: one stereo and one mono file, and a chain of the two.
sox -n -r 44100 -c 2 -b 16 "$tmp/v2.wav" synth 1.5 sine 440 sine 554 vol 0.5
sox -n -r 22050 -c 1 -b 16 "$tmp/v1.wav" synth 0.7 sine 330 vol 0.5
oe() { oggenc --quiet -q 1 "$@"; }
# Fixed serial numbers keep the files reproducible; the links of a chain need distinct ones.
oe -c "ARTIST=X" -c "Artist=Y" -c "TITLE=Ünïcode ♪" -c "ALBUM=Fixtures" \
  -c "DATE=2010-05-01" -c "GENRE=Tone" -c "TRACKNUMBER=7" -c "DISCNUMBER=2" \
  -s 1001 -o "$data/vorbis/stereo.ogg" "$tmp/v2.wav"
oe -c "TITLE=" -s 1002 -o "$data/vorbis/mono.ogg" "$tmp/v1.wav"
oe -s 1003 -o "$tmp/stereo2.ogg" "$tmp/v2.wav"
# Chained Ogg is plain concatenation of complete logical streams.
cat "$data/vorbis/stereo.ogg" "$data/vorbis/mono.ogg" > "$data/vorbis/chained-stereo-mono.ogg"
cat "$data/vorbis/stereo.ogg" "$tmp/stereo2.ogg" > "$data/vorbis/chained-stereo.ogg"
# The last page without a granule position: the file opens with no known length, and every
# seek into it fails.
python3 - "$data/vorbis" <<'PY'
import struct, sys
def crc(data):
    table = []
    for i in range(256):
        r = i << 24
        for _ in range(8):
            r = ((r << 1) ^ 0x04C11DB7 if r & 0x80000000 else r << 1) & 0xFFFFFFFF
        table.append(r)
    c = 0
    for b in data:
        c = ((c << 8) & 0xFFFFFFFF) ^ table[((c >> 24) ^ b) & 0xFF]
    return c
b = bytearray(open(sys.argv[1] + "/stereo.ogg", "rb").read())
last = b.rfind(b"OggS")
b[last + 6:last + 14] = struct.pack("<q", -1)
b[last + 22:last + 26] = bytes(4)
b[last + 22:last + 26] = struct.pack("<I", crc(b[last:]))
open(sys.argv[1] + "/last-granule-unknown.ogg", "wb").write(bytes(b))
PY
ls -l "$data/flac" "$data/vorbis"

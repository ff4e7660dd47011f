#!/usr/bin/env bash
# Makes the MP3 sources other decoders play in tests/data/wm/mp3src/: low sample rates, files
# of a few frames, and tag layouts around the audio (two ID3v2 tags, junk before the first
# frame, APEv2 and Lyrics3 trailers), with lame, sox and small Python byte edits. The large
# embedded picture is built by the test itself, to keep the committed files small.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/data/wm/mp3src"
mkdir -p "$out"
cd "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

sox -n -r 44100 -c 2 -b 16 "$tmp/st44.wav" synth 0.3 sine 440 sine 660 gain -6
sox -n -r 8000 -c 1 -b 16 "$tmp/m8.wav" synth 0.5 sine 300 gain -6
sox -n -r 11025 -c 2 -b 16 "$tmp/s11.wav" synth 0.5 sine 300 sine 500 gain -6
sox -n -r 16000 -c 1 -b 16 "$tmp/m16.wav" synth 0.4 sine 300 gain -6
sox -n -r 24000 -c 2 -b 16 "$tmp/s24.wav" synth 0.4 sine 300 sine 500 gain -6
# 220 frames: the encoder's delay and padding fill most of the three frames it writes.
sox -n -r 44100 -c 2 -b 16 "$tmp/tiny.wav" synth 220s sine 440 sine 660 gain -6

# MPEG-2.5 (8 and 11.025 kHz) and MPEG-2 (16 and 24 kHz).
lame --quiet -b 16 "$tmp/m8.wav" mpeg25-mono-8000.mp3
lame --quiet -b 24 --resample 11.025 "$tmp/s11.wav" mpeg25-stereo-11025.mp3
lame --quiet -V 6 "$tmp/m16.wav" mpeg2-vbr-mono-16000.mp3
lame --quiet -b 48 --resample 24 "$tmp/s24.wav" mpeg2-stereo-24000.mp3
lame --quiet -b 128 "$tmp/tiny.wav" tiny-gapless.mp3
lame --quiet -b 96 --resample 44.1 "$tmp/st44.wav" plain.mp3
lame --quiet -t -b 96 --resample 44.1 "$tmp/st44.wav" "$tmp/notag.mp3"

python3 - plain.mp3 "$tmp/notag.mp3" <<'PY'
import random, struct, sys
base = open(sys.argv[1], 'rb').read()
notag = open(sys.argv[2], 'rb').read()
rnd = random.Random(7)

def synchsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])
def frame(fid, body):
    return fid + struct.pack('>I', len(body)) + b'\0\0' + body
def text(fid, s):
    return frame(fid, b'\x00' + s.encode('latin-1'))
def id3v2(*frames):
    body = b''.join(frames)
    return b'ID3\x03\x00\x00' + synchsafe(len(body)) + body
def id3v1(title):
    return b'TAG' + title.ljust(30, b'\0') + bytes(94) + b'\xff'
def apev2(items):
    body = b''.join(struct.pack('<II', len(v), 0) + k + b'\0' + v for k, v in items)
    size = len(body) + 32
    def hf(flags):
        return b'APETAGEX' + struct.pack('<IIII', 2000, size, len(items), flags) + bytes(8)
    return hf(0xA0000000) + body + hf(0x80000000)
def lyrics3v2(fields):
    body = b'LYRICSBEGIN' + b''.join(k + b'%05d' % len(v) + v for k, v in fields)
    return body + b'%06d' % len(body) + b'LYRICS200'
def junk(n):
    # No 0xFF byte, so nothing in it looks like a frame sync.
    return bytes(rnd.randrange(0, 0xFF) for _ in range(n))

def frames(data):
    """Offsets and lengths of the MPEG-1 Layer III frames of a CBR file without tags."""
    rates = [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320]
    out, i = [], 0
    while i + 4 <= len(data) and data[i] == 0xFF:
        kbps = rates[data[i + 2] >> 4]
        length = 144000 * kbps // 44100 + ((data[i + 2] >> 1) & 1)
        out.append((i, length))
        i += length
    return out

def write(name, data):
    open(name, 'wb').write(data)

write('two-id3v2-tags.mp3',
      id3v2(text(b'TIT2', 'First Tag')) + id3v2(text(b'TPE1', 'Second Tag'),
                                                 frame(b'PRIV', b'x\0' + bytes(3000))) + base)
write('junk-after-id3v2.mp3', id3v2(text(b'TIT2', 'Junk After Tag')) + junk(3000) + base)
write('junk-before-first-frame.mp3', junk(2000) + notag)
write('no-encoder-tag.mp3', notag)
write('apev2-trailer.mp3',
      base + apev2([(b'Title', b'Ape Tagged'), (b'Artist', b'Someone')]) + id3v1(b'Ape Tagged'))
write('lyrics3-trailer.mp3',
      base + lyrics3v2([(b'IND', b'00'), (b'LYR', b'[00:00]la la la\r\n' * 20)]) +
      id3v1(b'Lyrics'))
# The first one, two and three frames of a file without an encoder tag.
for n, name in ((1, 'one-frame.mp3'), (2, 'two-frames.mp3'), (3, 'three-frames.mp3')):
    offset, length = frames(notag)[n - 1]
    write(name, notag[:offset + length])
PY
ls -l

#!/usr/bin/env bash
# Regenerates data/carry: short sources in every input format, tagged by independent tools
# (metaflac, oggenc, lame, ffmpeg) and mutagen for the fields those tools lack, with accented,
# CJK and emoji text and two pictures. Needs sox, ffmpeg, flac, vorbis-tools, lame and
# python3-mutagen.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/data/carry"
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
py=/usr/bin/python3

title="Café ☕ 東京の夜 🎵"
artist="Ærøskøbing Ensemble"
album="Überfahrt — 旅"
albumartist="Zoë & 李"
composer="Dvořák"
comment="Grüße — コメント 👍"

sox -n -r 22050 -c 1 -b 16 "$work/tone.wav" synth 0.1 sine 440
ffmpeg -nostdin -loglevel error -y -f lavfi -i color=c=red:s=8x8 -frames:v 1 "$out/cover.jpg"
ffmpeg -nostdin -loglevel error -y -f lavfi -i color=c=blue:s=4x4 -frames:v 1 "$out/back.png"

# No tags at all, for "nothing in, nothing out".
flac -s -f --padding=64 -o "$out/plain.flac" "$work/tone.wav"

flac -s -f --padding=64 -o "$out/tagged.flac" "$work/tone.wav"
metaflac --set-tag="TITLE=$title" --set-tag="ARTIST=$artist" --set-tag="ALBUM=$album" \
  --set-tag="ALBUMARTIST=$albumartist" --set-tag="COMPOSER=$composer" --set-tag=GENRE=Jazz \
  --set-tag=DATE=2021 --set-tag=TRACKNUMBER=3 --set-tag=TRACKTOTAL=12 --set-tag=DISCNUMBER=1 \
  --set-tag=DISCTOTAL=2 --set-tag="COMMENT=$comment" --set-tag="LYRICS=La la là / 歌詞" \
  --set-tag=MUSICBRAINZ_TRACKID=1b2f7d3e-8a61-4c0e-9d3a-0f5b6c7d8e9f \
  --set-tag=MUSICBRAINZ_ALBUMID=2c3a8e4f-9b72-4d1f-8e4b-1a6c7d8e9f0a \
  --set-tag=MUSICBRAINZ_ARTISTID=3d4b9f5a-0c83-4e2a-9f5c-2b7d8e9f0a1b \
  --set-tag=MUSICBRAINZ_RELEASEGROUPID=4e5c0a6b-1d94-4f3b-8a6d-3c8e9f0a1b2c \
  --set-tag=MUSICBRAINZ_RELEASETRACKID=5f6d1b7c-2e05-4a4c-9b7e-4d9f0a1b2c3d \
  --set-tag="REPLAYGAIN_TRACK_GAIN=-6.50 dB" --set-tag=REPLAYGAIN_TRACK_PEAK=0.988525 \
  --set-tag="REPLAYGAIN_ALBUM_GAIN=-7.10 dB" --set-tag=REPLAYGAIN_ALBUM_PEAK=0.999969 \
  --import-picture-from="3|image/jpeg|Front ❤||$out/cover.jpg" \
  --import-picture-from="4|image/png|Back||$out/back.png" "$out/tagged.flac"

oggenc -Q -t "$title" -a "$artist" -l "$album" -d 2021 -N 3 -G Jazz -c "ALBUMARTIST=$albumartist" \
  -c "COMPOSER=$composer" -c TRACKTOTAL=12 -c DISCNUMBER=1 -c DISCTOTAL=2 -c "COMMENT=$comment" \
  -c "LYRICS=La la là / 歌詞" -c MUSICBRAINZ_TRACKID=1b2f7d3e-8a61-4c0e-9d3a-0f5b6c7d8e9f \
  -c MUSICBRAINZ_ALBUMID=2c3a8e4f-9b72-4d1f-8e4b-1a6c7d8e9f0a \
  -c MUSICBRAINZ_ARTISTID=3d4b9f5a-0c83-4e2a-9f5c-2b7d8e9f0a1b \
  -c MUSICBRAINZ_RELEASEGROUPID=4e5c0a6b-1d94-4f3b-8a6d-3c8e9f0a1b2c \
  -c MUSICBRAINZ_RELEASETRACKID=5f6d1b7c-2e05-4a4c-9b7e-4d9f0a1b2c3d \
  -c "REPLAYGAIN_TRACK_GAIN=-6.50 dB" -c REPLAYGAIN_TRACK_PEAK=0.988525 \
  -c "REPLAYGAIN_ALBUM_GAIN=-7.10 dB" -c REPLAYGAIN_ALBUM_PEAK=0.999969 \
  -o "$out/tagged.ogg" "$work/tone.wav"
# oggenc has no picture option: the FLAC picture blocks go in as METADATA_BLOCK_PICTURE.
"$py" - "$out" <<'PY'
import base64, sys
from mutagen.flac import FLAC
from mutagen.oggvorbis import OggVorbis
out = sys.argv[1]
ogg = OggVorbis(out + "/tagged.ogg")
ogg["METADATA_BLOCK_PICTURE"] = [base64.b64encode(p.write()).decode()
                                 for p in FLAC(out + "/tagged.flac").pictures]
ogg.save()
PY

# lame writes the basic ID3v2.3 frames and the front cover; mutagen the Unicode text and
# the rest, keeping version 2.3 (UTF-16).
lame --quiet -b 32 --tt Title --ta Artist --tl Album --ty 2021 --tn 3/12 --tg Jazz \
  --ti "$out/cover.jpg" "$work/tone.wav" "$out/tagged.mp3"
"$py" - "$out" "$title" "$artist" "$album" "$albumartist" "$composer" "$comment" <<'PY'
import sys
from mutagen import id3
out, title, artist, album, albumartist, composer, comment = sys.argv[1:]
t = id3.ID3(out + "/tagged.mp3")
enc = 1
t.setall("TIT2", [id3.TIT2(encoding=enc, text=title)])
t.setall("TPE1", [id3.TPE1(encoding=enc, text=artist)])
t.setall("TALB", [id3.TALB(encoding=enc, text=album)])
t.add(id3.TPE2(encoding=enc, text=albumartist))
t.add(id3.TCOM(encoding=enc, text=composer))
t.add(id3.TPOS(encoding=enc, text="1/2"))
t.delall("COMM")
t.add(id3.COMM(encoding=enc, lang="eng", desc="", text=comment))
t.add(id3.USLT(encoding=enc, lang="eng", desc="", text="La la là / 歌詞"))
t.add(id3.UFID(owner="http://musicbrainz.org", data=b"1b2f7d3e-8a61-4c0e-9d3a-0f5b6c7d8e9f"))
for desc, value in [("MusicBrainz Album Id", "2c3a8e4f-9b72-4d1f-8e4b-1a6c7d8e9f0a"),
                    ("MusicBrainz Artist Id", "3d4b9f5a-0c83-4e2a-9f5c-2b7d8e9f0a1b"),
                    ("MusicBrainz Release Group Id", "4e5c0a6b-1d94-4f3b-8a6d-3c8e9f0a1b2c"),
                    ("MusicBrainz Release Track Id", "5f6d1b7c-2e05-4a4c-9b7e-4d9f0a1b2c3d"),
                    ("replaygain_track_gain", "-6.50 dB"), ("replaygain_track_peak", "0.988525"),
                    ("replaygain_album_gain", "-7.10 dB"), ("replaygain_album_peak", "0.999969")]:
    t.add(id3.TXXX(encoding=enc, desc=desc, text=value))
for apic in t.getall("APIC"):
    apic.encoding, apic.desc, apic.type = enc, "Front ❤", 3
t.add(id3.APIC(encoding=enc, mime="image/png", type=4, desc="Back",
               data=open(out + "/back.png", "rb").read()))
t.save(v2_version=3)
PY

# ID3v1 only: the fallback when there is no ID3v2 tag.
lame --quiet -b 32 --id3v1-only --tt "Old Title" --ta "Old Artist" --tl "Old Album" --ty 1999 \
  --tn 7 --tg Rock "$work/tone.wav" "$out/id3v1.mp3"

# ID3v2.2 (three-letter frames, PIC with a format code), which no tool here writes any more.
lame --quiet -b 32 "$work/tone.wav" "$work/bare.mp3"
"$py" - "$out" "$title" "$work/bare.mp3" <<'PY'
import struct, sys
out, title, bare = sys.argv[1:]
def frame(fid, body):
    return fid + struct.pack(">I", len(body))[1:] + body
utf16 = lambda s: b"\x01" + s.encode("utf-16")  # with a BOM
body = (frame(b"TT2", utf16(title)) + frame(b"TP1", utf16("Zoë")) + frame(b"TRK", b"\x005/9") +
        frame(b"PIC", b"\x00JPG\x03cover\x00" + open(out + "/cover.jpg", "rb").read()))
size = bytes((len(body) >> s) & 0x7F for s in (21, 14, 7, 0))
with open(out + "/id3v22.mp3", "wb") as f:
    f.write(b"ID3\x02\x00\x00" + size + body + open(bare, "rb").read())
PY

ffmpeg -nostdin -loglevel error -y -i "$work/tone.wav" -c:a wmav2 -b:a 32k \
  -metadata title="$title" -metadata artist="$artist" -metadata album="$album" \
  -metadata album_artist="$albumartist" -metadata composer="$composer" -metadata genre=Jazz \
  -metadata date=2021 -metadata track=3 -metadata disc=1/2 -metadata comment="$comment" \
  "$out/tagged.wma"
"$py" - "$out" <<'PY'
import struct, sys
from mutagen.asf import ASF, ASFByteArrayAttribute, ASFUnicodeAttribute
out = sys.argv[1]
def picture(kind, mime, desc, path):
    data = open(path, "rb").read()
    text = lambda s: s.encode("utf-16-le") + b"\0\0"
    return ASFByteArrayAttribute(struct.pack("<BI", kind, len(data)) + text(mime) + text(desc) + data)
wma = ASF(out + "/tagged.wma")
# ffmpeg stores the date and a second title under its own names; the year has a WM name.
for key in ("date", "title"):
    wma.pop(key, None)
wma["Author"] = wma["Author"][:1]
wma["WM/Year"] = [ASFUnicodeAttribute("2021")]
for key, value in [("WM/Lyrics", "La la là / 歌詞"),
                   ("MusicBrainz/Track Id", "1b2f7d3e-8a61-4c0e-9d3a-0f5b6c7d8e9f"),
                   ("MusicBrainz/Album Id", "2c3a8e4f-9b72-4d1f-8e4b-1a6c7d8e9f0a"),
                   ("MusicBrainz/Artist Id", "3d4b9f5a-0c83-4e2a-9f5c-2b7d8e9f0a1b"),
                   ("MusicBrainz/Release Group Id", "4e5c0a6b-1d94-4f3b-8a6d-3c8e9f0a1b2c"),
                   ("MusicBrainz/Release Track Id", "5f6d1b7c-2e05-4a4c-9b7e-4d9f0a1b2c3d"),
                   ("replaygain_track_gain", "-6.50 dB"), ("replaygain_track_peak", "0.988525"),
                   ("replaygain_album_gain", "-7.10 dB"), ("replaygain_album_peak", "0.999969")]:
    wma[key] = [ASFUnicodeAttribute(value)]
wma["WM/Picture"] = [picture(3, "image/jpeg", "Front ❤", out + "/cover.jpg"),
                     picture(4, "image/png", "Back", out + "/back.png")]
wma.save()
PY

# WAV: ffmpeg writes LIST INFO; info.wav has only that, tagged.wav also an "id3 " chunk with
# everything (mutagen copies the MP3's tag).
ffmpeg -nostdin -loglevel error -y -i "$work/tone.wav" -metadata title="$title" \
  -metadata artist="$artist" -metadata album="$album" -metadata genre=Jazz -metadata date=2021 \
  -metadata comment="$comment" -metadata track=3 -c:a pcm_s16le "$out/info.wav"
cp "$out/info.wav" "$out/tagged.wav"
"$py" - "$out" <<'PY'
import sys
from mutagen import id3
from mutagen.wave import WAVE
out = sys.argv[1]
wav = WAVE(out + "/tagged.wav")
wav.add_tags()
for frame in id3.ID3(out + "/tagged.mp3").values():
    wav.tags.add(frame)
wav.save(v2_version=3)
PY
ls -l "$out"

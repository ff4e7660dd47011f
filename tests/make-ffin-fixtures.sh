#!/usr/bin/env bash
# Makes the fixtures in tests/data/ffin/ for the inputs decoded through the FFmpeg-backed
# runtime: M4A (AAC, ALAC), ADTS AAC, AIFF/AIFC, WavPack and APE, each tagged, some with a
# cover. ffmpeg encodes all but APE, which jmac (Debian's libjmac-java) compresses; mutagen
# adds the APEv2 tags it cannot write.
set -euo pipefail
cd "$(dirname "$0")/data/ffin"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y -bitexact "$@"; }

# Different tones per side, so a swapped or dropped channel shows; odd lengths, so a frame
# count rounded to a block or a hundredth of a second shows.
sox -D -n -r 44100 -c 2 -b 16 "$tmp/st44.wav" synth 0.2113 sine 440 sine 660 gain -6
sox -D -n -r 48000 -c 2 -b 24 "$tmp/st48-24.wav" synth 0.1017 sine 330 sine 550 gain -3
sox -D -n -r 22050 -c 1 -b 16 "$tmp/mono22.wav" synth 0.4021 sine 250 gain -6
sox -D -n -r 8000 -c 6 -b 16 "$tmp/six.wav" synth 0.25 sine 200 sine 300 sine 400 sine 500 \
  sine 600 sine 700 gain -12
# The PCM containers hold the least.
sox -D "$tmp/st44.wav" "$tmp/st44-short.wav" trim 0 0.0517
sox -D "$tmp/st48-24.wav" "$tmp/st48-24-short.wav" trim 0 0.0417
sox -D "$tmp/mono22.wav" "$tmp/mono22-short.wav" trim 0 0.1003
ff -f lavfi -i color=c=blue:s=8x8 -frames:v 1 "$tmp/cover.png"

tags=(-metadata "title=Caf$(printf '\xc3\xa9') Tune" -metadata "artist=The Testers"
  -metadata "album=Fixture Album" -metadata "genre=Ambient" -metadata "track=3/12"
  -metadata "date=2019")
cover=(-i "$tmp/cover.png" -map 0:a -map 1:v -c:v copy -disposition:v attached_pic)

ff -i "$tmp/st44.wav" "${cover[@]}" -c:a aac -b:a 128k "${tags[@]}" aac-stereo-44100.m4a
# No edit list; the length in an iTunSMPB tag instead (priming 1024, 9318 samples).
ff -i "$tmp/st44.wav" -c:a aac -b:a 128k -use_editlist 0 aac-itunsmpb-44100.m4a
/usr/bin/python3 - aac-itunsmpb-44100.m4a <<'PY'
import sys
from mutagen.mp4 import MP4, MP4FreeForm
f = MP4(sys.argv[1])
packets, samples = 11, 9318
smpb = " 00000000 00000400 %08X %016X" % (packets * 1024 - 1024 - samples, samples)
f["----:com.apple.iTunes:iTunSMPB"] = [MP4FreeForm((smpb + " 00000000" * 8).encode())]
f.save()
PY
# ADTS with an ID3v2 tag in front, which the frame count must look past.
ff -i "$tmp/mono22.wav" -c:a aac -b:a 48k -write_id3v2 1 "${tags[@]}" aac-mono-22050.aac
ff -i "$tmp/st44.wav" "${cover[@]}" -c:a alac "${tags[@]}" alac-stereo-44100.m4a
ff -i "$tmp/st48-24.wav" -c:a alac -sample_fmt s32p alac-24bit-48000.m4a
ff -i "$tmp/st44-short.wav" -c:a pcm_s16be -write_id3v2 1 "${tags[@]}" aiff-stereo-44100.aiff
ff -i "$tmp/st48-24-short.wav" -c:a pcm_s24be aiff-24bit-48000.aif
# AIFC with little-endian samples ("sowt").
ff -i "$tmp/mono22-short.wav" -c:a pcm_s16le -f aiff aifc-sowt-mono-22050.aifc
ff -i "$tmp/st44.wav" -c:a wavpack "${tags[@]}" wavpack-stereo-44100.wv
ff -i "$tmp/st48-24.wav" -c:a wavpack wavpack-24bit-48000.wv
ff -i "$tmp/six.wav" -c:a wavpack wavpack-six-8000.wv
jmac c2 "$tmp/st44.wav" ape-stereo-44100.ape >/dev/null
jmac c2 "$tmp/mono22.wav" ape-mono-22050.ape >/dev/null
# Every carried field in each tag format, two artists, and a cover: ALAC's ilst, the AIFF's
# ID3 chunk, WavPack's and APE's APEv2 tags.
/usr/bin/python3 - "$tmp/cover.png" <<'PY'
import sys
from mutagen import id3
from mutagen.aiff import AIFF
from mutagen.apev2 import APEv2, APEValue, BINARY
from mutagen.mp4 import MP4, MP4Cover, MP4FreeForm
png = open(sys.argv[1], "rb").read()
title, artists = "Caf\u00e9 Tune", ["The Testers", "Second Artist"]
mbid = "0a1b2c3d-1111-2222-3333-444455556666"

f = MP4("alac-stereo-44100.m4a")
f.delete()
f.update({"\xa9nam": [title], "\xa9ART": artists, "\xa9alb": ["Fixture Album"],
          "aART": ["Fixture Band"], "\xa9wrt": ["A Composer"], "\xa9gen": ["Ambient"],
          "\xa9day": ["2019"], "trkn": [(3, 12)], "disk": [(1, 2)], "\xa9cmt": ["A comment"],
          "\xa9lyr": ["La la la"], "covr": [MP4Cover(png, MP4Cover.FORMAT_PNG)]})
f["----:com.apple.iTunes:MusicBrainz Track Id"] = [MP4FreeForm(mbid.encode())]
f["----:com.apple.iTunes:replaygain_track_gain"] = [MP4FreeForm(b"-6.50 dB")]
f.save()

f = AIFF("aiff-stereo-44100.aiff")
t = f.tags
t.clear()
for frame in (id3.TIT2(encoding=3, text=title), id3.TPE1(encoding=3, text=artists),
              id3.TALB(encoding=3, text="Fixture Album"), id3.TPE2(encoding=3, text="Fixture Band"),
              id3.TCOM(encoding=3, text="A Composer"), id3.TCON(encoding=3, text="Ambient"),
              id3.TDRC(encoding=3, text="2019"), id3.TRCK(encoding=3, text="3/12"),
              id3.TPOS(encoding=3, text="1/2"),
              id3.COMM(encoding=3, lang="eng", desc="", text="A comment"),
              id3.USLT(encoding=3, lang="eng", desc="", text="La la la"),
              id3.TXXX(encoding=3, desc="REPLAYGAIN_TRACK_GAIN", text="-6.50 dB"),
              id3.UFID(owner="http://musicbrainz.org", data=mbid.encode()),
              id3.APIC(encoding=3, mime="image/png", type=3, desc="", data=png)):
    t.add(frame)
f.save()

for name in ("wavpack-stereo-44100.wv", "ape-stereo-44100.ape"):
    tag = APEv2()
    for key, value in (("Title", title), ("Artist", "\0".join(artists)),
                       ("Album", "Fixture Album"), ("Album Artist", "Fixture Band"),
                       ("Composer", "A Composer"), ("Genre", "Ambient"), ("Year", "2019"),
                       ("Track", "3/12"), ("Disc", "1/2"), ("Comment", "A comment"),
                       ("Lyrics", "La la la"), ("MUSICBRAINZ_TRACKID", mbid),
                       ("REPLAYGAIN_TRACK_GAIN", "-6.50 dB")):
        tag[key] = value
    tag["Cover Art (Front)"] = APEValue(b"cover.png\0" + png, BINARY)
    tag.save(name)
PY
ls -l

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
ff -i "$tmp/mono22.wav" -c:a aac -b:a 48k -metadata "title=Plain Stream" aac-mono-22050.aac
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
/usr/bin/python3 - ape-stereo-44100.ape "$tmp/cover.png" <<'PY'
import sys
from mutagen.apev2 import APEv2, APEValue, BINARY
tag = APEv2()
for key, value in (("Title", "Caf\u00e9 Tune"), ("Artist", "The Testers"),
                   ("Album", "Fixture Album"), ("Genre", "Ambient"), ("Track", "3/12"),
                   ("Year", "2019")):
    tag[key] = value
tag["Cover Art (Front)"] = APEValue(b"cover.png\0" + open(sys.argv[2], "rb").read(), BINARY)
tag.save(sys.argv[1])
PY
ls -l

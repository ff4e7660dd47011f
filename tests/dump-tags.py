#!/usr/bin/python3
# Prints a file's tags as mutagen (not the tag library Tunevert uses) reads them, one
# "KEY=value" line each, names made uniform across formats, sorted:
#   TITLE, ARTIST, ... as Vorbis comments name them; PICTURE=type|mime|description|sha1;
#   ID3V1:TITLE=... from an ID3v1 record; INFO:INAM=... from a WAV's LIST INFO chunk.
import hashlib, struct, sys
import mutagen
from mutagen import id3

ID3_TEXT = {"TIT2": "TITLE", "TPE1": "ARTIST", "TALB": "ALBUM", "TPE2": "ALBUMARTIST",
            "TCOM": "COMPOSER", "TCON": "GENRE", "TDRC": "DATE", "TYER": "DATE"}
ASF_TEXT = {"Title": "TITLE", "Author": "ARTIST", "WM/AlbumTitle": "ALBUM",
            "WM/AlbumArtist": "ALBUMARTIST", "WM/Composer": "COMPOSER", "WM/Genre": "GENRE",
            "WM/Year": "DATE", "WM/TrackNumber": "TRACKNUMBER", "Description": "COMMENT",
            "WM/Lyrics": "LYRICS", "MusicBrainz/Track Id": "MUSICBRAINZ_TRACKID",
            "MusicBrainz/Album Id": "MUSICBRAINZ_ALBUMID",
            "MusicBrainz/Artist Id": "MUSICBRAINZ_ARTISTID",
            "MusicBrainz/Release Group Id": "MUSICBRAINZ_RELEASEGROUPID",
            "MusicBrainz/Release Track Id": "MUSICBRAINZ_RELEASETRACKID"}
# As taggers name them, letter case included: a reader looks them up exactly.
TXXX = {"MusicBrainz Album Id": "MUSICBRAINZ_ALBUMID",
        "MusicBrainz Artist Id": "MUSICBRAINZ_ARTISTID",
        "MusicBrainz Release Group Id": "MUSICBRAINZ_RELEASEGROUPID",
        "MusicBrainz Release Track Id": "MUSICBRAINZ_RELEASETRACKID"}

MP4_TEXT = {"\xa9nam": "TITLE", "\xa9ART": "ARTIST", "\xa9alb": "ALBUM", "aART": "ALBUMARTIST",
            "\xa9wrt": "COMPOSER", "\xa9gen": "GENRE", "\xa9day": "DATE", "\xa9cmt": "COMMENT",
            "\xa9lyr": "LYRICS"}
MP4_FREEFORM = {"MusicBrainz Track Id": "MUSICBRAINZ_TRACKID",
                "MusicBrainz Album Artist Id": "MUSICBRAINZ_ALBUMARTISTID",
                "MusicBrainz Work Id": "MUSICBRAINZ_WORKID"}
APE_TEXT = {"TITLE": "TITLE", "ARTIST": "ARTIST", "ALBUM": "ALBUM", "ALBUM ARTIST": "ALBUMARTIST",
            "COMPOSER": "COMPOSER", "GENRE": "GENRE", "YEAR": "DATE", "COMMENT": "COMMENT",
            "LYRICS": "LYRICS"}

lines = []
def put(key, value):
    lines.append(f"{key}={value}")

def number(key, text):
    n, _, total = str(text).partition("/")
    if n: put(key + "NUMBER", n)
    if total: put(key + "TOTAL", total)

def picture(kind, mime, desc, data):
    put("PICTURE", f"{int(kind)}|{mime}|{desc}|{hashlib.sha1(data).hexdigest()}")

def dump_id3(tags):
    for frame in tags.values():
        fid = frame.FrameID
        if fid in ID3_TEXT:
            for v in frame.text: put(ID3_TEXT[fid], v)
        elif fid == "TRCK": number("TRACK", frame.text[0])
        elif fid == "TPOS": number("DISC", frame.text[0])
        elif fid == "COMM" and frame.desc == "": put("COMMENT", frame.text[0])
        elif fid == "USLT" and frame.desc == "": put("LYRICS", frame.text)
        elif fid == "UFID" and frame.owner == "http://musicbrainz.org":
            put("MUSICBRAINZ_TRACKID", frame.data.decode())
        elif fid == "TXXX":
            key = TXXX.get(frame.desc, frame.desc.upper())
            for v in frame.text: put(key, v)
        elif fid == "APIC": picture(frame.type, frame.mime, frame.desc, frame.data)
        else: put("OTHER", fid)

def dump_id3v1(path):
    with open(path, "rb") as f:
        f.seek(0, 2)
        if f.tell() < 128: return
        f.seek(-128, 2)
        block = f.read(128)
    if block[:3] != b"TAG": return
    field = lambda b: b.split(b"\0")[0].rstrip(b" ").decode("latin-1")
    put("ID3V1:TITLE", field(block[3:33]))
    put("ID3V1:ARTIST", field(block[33:63]))
    put("ID3V1:ALBUM", field(block[63:93]))
    put("ID3V1:YEAR", field(block[93:97]))
    if block[125] == 0 and block[126] != 0: put("ID3V1:TRACK", block[126])
    put("ID3V1:GENRE", block[127])

def dump_info(path):
    data = open(path, "rb").read()
    pos = 12
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        if cid == b"LIST" and data[pos + 8:pos + 12] == b"INFO":
            sub, end = pos + 12, pos + 8 + size
            while sub + 8 <= end:
                sid, ssize = data[sub:sub + 4], struct.unpack("<I", data[sub + 4:sub + 8])[0]
                text = data[sub + 8:sub + 8 + ssize].split(b"\0")[0].decode("utf-8", "replace")
                if text: put("INFO:" + sid.decode("latin-1"), text)
                sub += 8 + ssize + (ssize & 1)
        pos += 8 + size + (size & 1)

path = sys.argv[1]
# ADTS: mutagen reads no tags of its own there, and an ID3v2 tag in front makes it guess MP3.
f = None if path.lower().endswith(".aac") else mutagen.File(path)
if f is None and not path.lower().endswith(".aac"):
    sys.exit(f"dump-tags.py: mutagen does not recognise {path}")
kind = "AAC" if f is None else type(f).__name__
if kind in ("FLAC", "OggVorbis", "OggOpus"):
    for key, value in f.tags or []:
        key = key.upper()
        if key != "METADATA_BLOCK_PICTURE" and key != "ENCODER": put(key, value)
    pictures = f.pictures if kind == "FLAC" else []
    if kind in ("OggVorbis", "OggOpus"):
        import base64
        from mutagen.flac import Picture
        pictures = [Picture(base64.b64decode(v)) for v in f.get("METADATA_BLOCK_PICTURE", [])]
    for p in pictures: picture(p.type, p.mime, p.desc, p.data)
elif kind == "MP3":
    with open(path, "rb") as raw:
        if raw.read(3) == b"ID3": dump_id3(id3.ID3(path, load_v1=False))
    dump_id3v1(path)
elif kind == "WAVE":
    if f.tags: dump_id3(f.tags)
    dump_info(path)
elif kind == "ASF":
    for key, values in f.tags.items():
        if key == "WM/Picture":
            for v in values:
                b = v.value
                kind_, size = struct.unpack("<BI", b[:5])
                rest = b[5:]
                def utf16z(r):
                    i = 0
                    while r[i:i + 2] != b"\0\0": i += 2
                    return r[:i].decode("utf-16-le"), r[i + 2:]
                mime, rest = utf16z(rest)
                desc, rest = utf16z(rest)
                picture(kind_, mime, desc, rest[:size])
        elif key == "WM/PartOfSet": number("DISC", values[0].value)
        elif key in ASF_TEXT:
            for v in values:
                if str(v.value): put(ASF_TEXT[key], v.value)
        elif key.lower().startswith("replaygain_"):
            put(key.upper(), values[0].value)
        elif not key.startswith(("WMFSDK", "IsVBR", "DeviceConformanceTemplate", "WM/ToolName",
                                 "WM/ToolVersion", "WM/EncodingSettings", "Copyright", "Rating")):
            put("OTHER", key)
elif kind == "MP4":
    for key, values in (f.tags or {}).items():
        if key in MP4_TEXT:
            for v in values: put(MP4_TEXT[key], v)
        elif key in ("trkn", "disk"):
            n, total = values[0]
            name = "TRACK" if key == "trkn" else "DISC"
            if n: put(name + "NUMBER", n)
            if total: put(name + "TOTAL", total)
        elif key == "covr":
            for c in values:
                # mutagen reads every kind but PNG (GIF, BMP) as JPEG.
                mime = "image/png" if c.imageformat == c.FORMAT_PNG else "image/jpeg"
                picture(3, mime, "", bytes(c))
        elif key.startswith("----:com.apple.iTunes:"):
            name = key.split(":", 2)[2]
            for v in values: put(TXXX.get(name, MP4_FREEFORM.get(name, name.upper())), bytes(v).decode())
        elif key != "\xa9too":
            put("OTHER", key)
elif kind == "AAC":
    with open(path, "rb") as raw:
        if raw.read(3) == b"ID3": dump_id3(id3.ID3(path, load_v1=False))
elif kind == "AIFF":
    if f.tags: dump_id3(f.tags)
elif kind in ("WavPack", "MonkeysAudio"):
    for key, value in (f.tags or {}).items():
        upper = key.upper()
        if upper.startswith("COVER ART ("):
            desc, _, data = bytes(value).partition(b"\0")
            mime = "image/png" if data[:4] == b"\x89PNG" else "image/jpeg"
            picture(3 if upper == "COVER ART (FRONT)" else 4, mime, desc.decode(), data)
        elif upper in ("TRACK", "DISC"): number(upper, str(value))
        elif upper in APE_TEXT or upper.startswith(("MUSICBRAINZ_", "REPLAYGAIN_")):
            for v in value: put(APE_TEXT.get(upper, upper), v)
        elif upper != "ENCODER":
            put("OTHER", key)
else:
    sys.exit(f"dump-tags.py: no reader for {kind} files")
print("\n".join(sorted(lines)))

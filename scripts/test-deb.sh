#!/usr/bin/env bash
# Builds the Debian package, installs it, checks the installed programs and desktop files,
# purges it and checks that none of its files is left. It installs and removes packages on
# this machine (as root, or through sudo): for CI and throwaway machines. With --no-build it
# checks the package an earlier run built.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
fail() {
  echo "test-deb: $*" >&2
  exit 1
}
step() { echo "== $*"; }

started=$SECONDS
[ "${1:-}" = --no-build ] || scripts/build-deb.sh
version=$(dpkg-parsechangelog -S Version)
debs=(build/deb/tunevert_"${version}"_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package, found: ${debs[*]}"
deb=${debs[0]}
echo "package built in $((SECONDS - started)) s: $deb"

step lintian
lintian --fail-on error --tag-display-limit 0 build/deb/tunevert_"${version}"_*.changes

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

step install
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "./$deb"
dpkg -L tunevert | sort >"$work/files"
grep -qx /usr/bin/tunevert "$work/files" || fail "the package holds no /usr/bin/tunevert"

# From here on only the installed copy may be used: a clean environment, outside this tree.
installed() { (cd "$work" && env -i PATH=/usr/bin:/bin HOME="$work" "$@"); }

step tunevert-cli --version
[ "$(command -v tunevert-cli)" = /usr/bin/tunevert-cli ] || fail "tunevert-cli is not /usr/bin's"
[ "$(installed tunevert-cli --version)" = "tunevert-cli $version" ] ||
  fail "tunevert-cli --version does not say $version"

step FLAC and WMA to MP3
# What ffmpeg decodes, not what a header claims (the WMA fixture announces more than it has).
decoded_seconds() {
  ffmpeg -v error -i "$1" -ac 1 -ar 8000 -f s16le - | wc -c | awk '{ print $1 / 16000 }'
}
# The WMA source needs the runtime library, which is in no library search path: it converts
# only when the program finds the runtime in its installed folder.
cp tests/data/carry/tagged.flac "$work/from-flac.flac"
cp tests/data/carry/tagged.wma "$work/from-wma.wma"
installed tunevert-cli -o out from-flac.flac from-wma.wma
for source in from-flac.flac from-wma.wma; do
  mp3=$work/out/${source%.*}.mp3
  codec=$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of default=nw=1:nk=1 "$mp3")
  [ "$codec" = mp3 ] || fail "$mp3 is not MP3 ('$codec')"
  wanted=$(decoded_seconds "$work/$source")
  got=$(decoded_seconds "$mp3")
  # The encoder adds its delay and pads the last frame: up to two frames of 1152 samples.
  awk -v s="$wanted" -v o="$got" 'BEGIN { d = o - s; exit !(s > 0.05 && d > -0.01 && d < 0.12) }' ||
    fail "$mp3 decodes to $got s, its source to $wanted s"
  # Tags go through the tag module, which is found only in the installed folder.
  title=$(ffprobe -v error -show_entries format_tags=title -of default=nw=1:nk=1 "$mp3")
  [ "$title" = "$(ffprobe -v error -show_entries format_tags=title -of default=nw=1:nk=1 \
    "$work/$source")" ] || fail "$mp3 lost its source's title ('$title')"
done

step the window starts and quits
installed QT_QPA_PLATFORM=offscreen TUNEVERT_QUIT_AFTER_START=1 timeout 20 tunevert \
  from-flac.flac || fail "tunevert did not start and quit (exit $?)"

step desktop file, metainfo, manual pages
desktop-file-validate /usr/share/applications/io.github.tunevert.Tunevert.desktop
appstreamcli validate --no-net /usr/share/metainfo/io.github.tunevert.Tunevert.metainfo.xml
for page in tunevert tunevert-cli; do
  path=$(man -w "$page")
  case $path in /usr/share/man/man1/*) ;; *) fail "man finds $page at '$path'" ;; esac
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$path" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done
for size in 48x48 128x128 256x256 scalable; do
  grep -q "^/usr/share/icons/hicolor/$size/apps/io.github.tunevert.Tunevert" "$work/files" ||
    fail "no $size icon"
done

step purge
$sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y tunevert
left=()
while read -r path; do
  [ "$path" != /. ] || continue
  [ -e "$path" ] || [ -L "$path" ] || continue
  # A folder another package owns too (/usr/bin) stays; one of ours alone must go.
  [ -d "$path" ] && [ ! -L "$path" ] && dpkg -S "$path" >/dev/null 2>&1 && continue
  left+=("$path")
done <"$work/files"
[ ${#left[@]} -eq 0 ] || fail "left behind after purge: ${left[*]}"
! compgen -G '/usr/bin/tunevert*' >/dev/null || fail "a tunevert program is left in /usr/bin"
cd "$root"
echo "package built and checked in $((SECONDS - started)) s"

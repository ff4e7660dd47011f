#!/bin/sh
# ./run.sh from another folder: it builds in the checkout and runs the program in the caller's
# folder with the caller's arguments. The build and the programs are stand-ins here.
set -eu
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

checkout="$work/checkout"
mkdir -p "$checkout/scripts" "$checkout/build/release/app" "$work/bin" "$work/caller"
cp "$script" "$checkout/run.sh"
printf '#!/bin/sh\nexit 0\n' >"$checkout/scripts/install-deps.sh"
# The build must happen in the checkout.
printf '#!/bin/sh\necho "$PWD" >>"%s/cmake-folders"\n' "$work" >"$work/bin/cmake"
for program in tunevert-cli tunevert; do
  printf '#!/bin/sh\necho "%s in $PWD: $*"\n' "$program" >"$checkout/build/release/app/$program"
done
chmod +x "$checkout/scripts/install-deps.sh" "$work/bin/cmake" "$checkout/build/release/app/"*

status=0
expect() {
  if [ "$1" != "$2" ]; then
    echo "got:      $1"
    echo "expected: $2"
    status=1
  fi
}
cd "$work/caller"
expect "$(PATH="$work/bin:$PATH" ../checkout/run.sh -f flac -o out 'my song.wav')" \
  "tunevert-cli in $work/caller: -f flac -o out my song.wav"
expect "$(PATH="$work/bin:$PATH" DISPLAY=:5 "$checkout/run.sh")" "tunevert in $work/caller: "
expect "$(sort -u "$work/cmake-folders")" "$checkout"
exit $status

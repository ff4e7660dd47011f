#!/usr/bin/env bash
# Builds the Debian package into build/deb/: tunevert_VERSION_ARCH.deb and its .changes.
# JOBS sets the parallel jobs (default: every processor). Put /usr/lib/ccache first in PATH
# to reuse earlier compiles.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

version=$(dpkg-parsechangelog -S Version)
out=build/deb
src=$out/tunevert-$version
rm -rf "$out"
mkdir -p "$src"
# dpkg-buildpackage writes its results beside the source folder, so it builds a copy of this
# tree inside build/ rather than the tree itself.
tar -c --exclude=./build --exclude=./.git --exclude='./obj-*' . | tar -x -C "$src"
(cd "$src" && dpkg-buildpackage -us -uc -b -j"${JOBS:-$(nproc)}")
ls "$out"/tunevert_"${version}"_*.deb

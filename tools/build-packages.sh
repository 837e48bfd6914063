#!/usr/bin/env bash
# Builds the Debian packages from this checkout, offline: zarvoplugindsm, zarvo-suite, zarvo-ctl
# and the -dbgsym packages with the binaries' debugging symbols.
#   bash tools/build-packages.sh [OUT]     (OUT: build-deb/ of the checkout)
# The build runs in a copy of the tracked and new files, because dpkg-buildpackage writes into
# debian/ and beside the source folder; OUT receives the .deb, .buildinfo and .changes files.
# JOBS (default 2) parallel compilers, at low priority.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$src/build-deb}")
jobs=${JOBS:-2}
for tool in dpkg-buildpackage dh dh_python3 git; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run tools/install-deps.sh" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/zarvoplugindsm"
# Files deleted in the work tree but still tracked are left out rather than failing the copy.
git -C "$src" ls-files -z --cached --others --exclude-standard |
  (cd "$src" && xargs -0 -r sh -c 'for f; do [ -e "$f" ] || [ -L "$f" ] && printf "%s\0" "$f"; done' sh) |
  tar -C "$src" --null -T - -cf - | tar -C "$work/zarvoplugindsm" -xf -

echo "== building the packages in $work (log: $out/build.log)"
mkdir -p "$out"
rm -f "$out"/*.deb "$out"/*.buildinfo "$out"/*.changes
if ! (cd "$work/zarvoplugindsm" &&
      DEB_BUILD_OPTIONS="parallel=$jobs" nice dpkg-buildpackage -b -us -uc) >"$out/build.log" 2>&1; then
  tail -40 "$out/build.log" >&2
  echo "dpkg-buildpackage failed; the whole log is $out/build.log" >&2
  exit 1
fi
cp "$work"/*.deb "$work"/*.buildinfo "$work"/*.changes "$out"/
ls -1 "$out"/*.deb

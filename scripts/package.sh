#!/usr/bin/env bash
# Builds the Debian package (debian/) with the system's root compiled in and
# puts it into dist/: kivo-webdav_VERSION_ARCH.deb, its .buildinfo and
# .changes. The test suite is not built (scripts/test.sh runs it). Then
# lintian judges the package: an error or a warning fails the build (its
# informational notes are explained in debian/README.source).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
export DEB_BUILD_OPTIONS="nocheck parallel=2"
# dpkg-buildpackage writes its results beside the source folder; a fresh
# copy of the tracked files keeps that out of the way and the build
# untouched by what lies in this work tree (build folders, devroot).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$work/src"
(cd "$work/src" && dpkg-buildpackage -us -uc -b -j2)
mkdir -p dist
rm -f dist/kivo-webdav*
mv "$work"/kivo-webdav* dist/
ls -l dist/
lintian --fail-on error,warning --display-info dist/kivo-webdav_*.changes

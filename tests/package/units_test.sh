#!/bin/sh
# systemd-analyze verify on the package's units (debian/*.service), which
# also checks that every program they name exists. The host program is
# taken from the build tree (it is not installed here); the others are the
# distribution's. Verify's warnings (an unknown key, a bad value) fail the
# test as well as its errors. Needs no running systemd.
# Usage: units_test.sh SOURCE_DIR KIVO_WEBAPI_BINARY
set -eu
source_dir=$1
webapi=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for unit in "$source_dir"/debian/*.service; do
    name=$(basename "$unit")
    case "$name" in kivo-webdav.*.service) name=${name#kivo-webdav.} ;; esac
    sed "s#/usr/lib/kivo/webapi/kivo-webapi#$webapi#" "$unit" >"$tmp/$name"
done
ls "$tmp"
output=$(systemd-analyze verify "$tmp"/*.service 2>&1) || {
    echo "$output"
    exit 1
}
if [ -n "$output" ]; then
    echo "$output"
    exit 1
fi
echo "verified: $(cd "$tmp" && echo *.service)"

#!/usr/bin/env bash
# Builds the Debian package, installs it with its dependencies into a fresh
# minimal Debian 12 made by mmdebstrap (from the machine's own apt sources),
# and tries it there twice, each time without network: booted with systemd
# in systemd-nspawn (tests/package/booted.sh: the units, and the daemons
# across a reinstall, an upgrade to the same build repacked under a higher
# version, and a removal with an install), then chrooted with
# /proc, /dev and a private process namespace, as on a machine without
# systemd (tests/package/inside.sh: first login, a calendar over CalDAV,
# removal and purge). Bounded in time; the
# downloaded packages are kept in $PACKAGE_TEST_DIR/apt-cache for the next
# run. Set PACKAGE_TEST_SKIP_BUILD=1 to test the package already in dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
[ -n "${PACKAGE_TEST_SKIP_BUILD:-}" ] || bash scripts/package.sh
deb=$(ls dist/kivo-webdav_*.deb | head -1)

work=$(realpath -m "${PACKAGE_TEST_DIR:-build-package-test}")
system="$work/system"
cache="$work/apt-cache"
mkdir -p "$cache"
# Nothing is mounted in the host's namespace (every mount below lives in a
# private one), and the removal stays on this file system all the same.
rm -rf --one-file-system "$system"
trap 'rm -rf --one-file-system "$system"' EXIT

sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -s "$f" ] && sources+=("$f")
done

# The package goes in with apt, as an administrator installs it; services
# are not started meanwhile (policy-rc.d), the daemons are the test's.
echo "--- making the system and installing $deb (at $((SECONDS - started)) s)"
timeout 1800 unshare --mount -- mmdebstrap --mode=root --variant=apt \
  --include=curl,ca-certificates,systemd --dpkgopt=force-unsafe-io \
  --skip=download/empty --skip=essential/unlink \
  --setup-hook='mkdir -p "$1"/var/cache/apt/archives/' \
  --setup-hook="sync-in $cache /var/cache/apt/archives/" \
  --customize-hook="copy-in $deb /tmp/" \
  --customize-hook='printf "#!/bin/sh\nexit 101\n" >"$1"/usr/sbin/policy-rc.d && chmod 755 "$1"/usr/sbin/policy-rc.d' \
  --customize-hook="chroot \"\$1\" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /tmp/$(basename "$deb")" \
  --customize-hook="sync-out /var/cache/apt/archives $cache" \
  bookworm "$system" "${sources[@]}"

# The newer build an upgrade brings: the same files, repacked under a higher
# version. booted.sh installs it over the running package, and this one again.
echo "--- repacking it as the next version (at $((SECONDS - started)) s)"
repack="$work/repack"
rm -rf "$repack"
dpkg-deb -R "$deb" "$repack"
sed -i "s/^Version: .*/Version: $(dpkg-deb -f "$deb" Version)+1/" "$repack/DEBIAN/control"
dpkg-deb --root-owner-group -Zgzip -b "$repack" "$system/root/kivo-webdav-upgrade.deb" >/dev/null
rm -rf "$repack"
cp "$deb" "$system/root/kivo-webdav.deb"

echo "--- booting it with systemd, without network (at $((SECONDS - started)) s)"
install -m 0755 tests/package/booted.sh "$system/root/package-test-booted.sh"
systemd-nspawn --quiet --directory="$system" --keep-unit --register=no --private-network \
  --boot >"$work/boot.log" 2>&1 &
nspawn=$!
init=""
# Killing the container's init ends every process in it; nspawn alone dying
# would leave them running. Its pid is only trusted while it still lives in
# a process namespace other than ours.
kill_container() {
  if [ -n "$init" ] && [ "$(readlink "/proc/$init/ns/pid" 2>/dev/null)" != "$(readlink /proc/self/ns/pid)" ]; then
    kill -KILL "$init" 2>/dev/null || true
  fi
  [ -z "$nspawn" ] || kill -KILL "$nspawn" 2>/dev/null || true
}
trap 'kill_container; rm -rf --one-file-system "$system"' EXIT
for _ in $(seq 100); do
  init=$(pgrep -P $nspawn -x systemd | head -1) && [ -n "$init" ] && break
  sleep 0.1
done
[ -n "$init" ] || { cat "$work/boot.log"; echo "the system did not boot" >&2; exit 1; }
nsenter -t "$init" -a timeout 300 /root/package-test-booted.sh || booted_failed=1
kill -TERM $nspawn  # an orderly shutdown
for _ in $(seq 60); do kill -0 $nspawn 2>/dev/null || break; sleep 1; done
kill_container
wait $nspawn || true
init="" nspawn=""  # gone, and their pids free for others
[ -z "${booted_failed:-}" ] || { tail -50 "$work/boot.log"; exit 1; }

echo "--- trying it chrooted, without systemd or network (at $((SECONDS - started)) s)"
install -m 0755 tests/package/inside.sh "$system/root/package-test-inside.sh"
timeout 600 unshare --mount --net --pid --fork --kill-child -- sh -c '
  set -e
  mount --rbind /dev "$1/dev"
  mount -t proc proc "$1/proc"
  ip link set lo up
  chroot "$1" /root/package-test-inside.sh' sh "$system"

echo "--- package test passed in $((SECONDS - started)) s"

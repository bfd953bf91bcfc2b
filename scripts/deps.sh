#!/usr/bin/env bash
# Installs what building, running and testing need (Debian 12, as root).
set -euo pipefail
packages=(build-essential cmake pkg-config libjsoncpp-dev libcrypt-dev
          libgtest-dev libgmock-dev googletest libbenchmark-dev binutils curl python3
          clang-14 libclang-rt-14-dev libcurl4-openssl-dev libmicrohttpd-dev libgnutls28-dev
          gnutls-bin openssl apache2 apache2-dev litmus radicale python3-caldav vdirsyncer khard nftables chromium iproute2 libssl-dev
          debhelper dpkg-dev lintian mmdebstrap systemd systemd-container
          davfs2 rclone cadaver gvfs-backends libglib2.0-bin dbus-daemon acl)
# setquota: the WebDAV daemon's test of per-account quotas sets them.
packages+=(quota)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

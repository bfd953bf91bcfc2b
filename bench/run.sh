#!/bin/bash
# Installs what the benchmarks need, builds Release with the benchmarks and
# runs all four: the in-process module benchmarks, HTTP throughput against
# nginx, calendar creation and listing against Radicale, and the CalDAV
# daemon's listing beside Radicale's own storage.
#
#   bench/run.sh [BUILD_DIR]     (default build-bench in the checkout)
#
# Not part of the test suite and not run by CI. Needs root (apt-get, nginx,
# calendar creates as root). Output goes to the terminal and to
# BUILD_DIR/bench-results.txt.

set -euo pipefail

HERE="$(cd "$(dirname "$0")" && pwd)"
SRC="$(cd "$HERE/.." && pwd)"
BUILD="${1:-$SRC/build-bench}"
JOBS="${JOBS:-2}"

[ "$(id -u)" = 0 ] || {
  echo "bench/run.sh: run as root" >&2
  exit 1
}

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v pkg-config >/dev/null || need+=(pkg-config)
dpkg -s libbenchmark-dev >/dev/null 2>&1 || need+=(libbenchmark-dev)
dpkg -s libjsoncpp-dev >/dev/null 2>&1 || need+=(libjsoncpp-dev)
dpkg -s libmicrohttpd-dev >/dev/null 2>&1 || need+=(libmicrohttpd-dev libgnutls28-dev)
dpkg -s libcrypt-dev >/dev/null 2>&1 || need+=(libcrypt-dev)
command -v nginx >/dev/null || need+=(nginx-light)
command -v wrk >/dev/null || need+=(wrk)
command -v radicale >/dev/null || need+=(radicale)
command -v vdirsyncer >/dev/null || need+=(vdirsyncer)
command -v apache2 >/dev/null || need+=(apache2)
command -v python3 >/dev/null || need+=(python3)
command -v curl >/dev/null || need+=(curl)
command -v taskset >/dev/null || need+=(util-linux)
if [ "${#need[@]}" -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}"
fi

cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKIVO_BUILD_BENCH=ON \
  -DKIVO_ROOT="$BUILD/root" -DKIVO_ROOT_FROM_ENV=ON
cmake --build "$BUILD" -j"$JOBS" --target module_bench kivo-webapi kivo_webdav_module \
  caldav_daemon_ctl
BUILD="$(cd "$BUILD" && pwd)"

{
  echo "== machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)"
  echo "== $(git -C "$SRC" log -1 --format='%h %s' 2>/dev/null || echo 'not a git tree')"
  echo
  echo "== module_bench (in process)"
  # On one CPU of its own, as the HTTP benchmarks pin their servers: the
  # ratios compare calls of a few microseconds, which a move between CPUs
  # would blur.
  pin=()
  if command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ]; then pin=(taskset -c 1); fi
  "${pin[@]}" "$BUILD/bench/module_bench" --benchmark_color=false
  echo
  echo "== http.sh (kivo-webapi serve against nginx)"
  "$HERE/http.sh" "$BUILD"
  echo
  echo "== caldav-peer.sh (creates, PUTs, a sync upload, calendar-query, sync-collection and the listing against Radicale)"
  "$HERE/caldav-peer.sh" "$BUILD"
  echo
  echo "== caldav-daemon.sh (the CalDAV daemon's listing beside Radicale's own storage)"
  "$HERE/caldav-daemon.sh" "$BUILD"
  echo
  echo "== caldav-large.sh (PUT into 10,000 events against 100, and the reads of 10,000, against Radicale)"
  "$HERE/caldav-large.sh" "$BUILD"
} 2>&1 | tee "$BUILD/bench-results.txt"

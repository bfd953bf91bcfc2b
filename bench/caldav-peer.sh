#!/bin/bash
# Calendar creation and listing against a CalDAV peer: N calendars made one
# by one and then listed once, by Radicale (MKCALENDAR, PROPFIND Depth 1)
# and by kivo-webapi serve (create into the public share as admin, list).
# Both are driven by the same client over one keep-alive connection.
#
#   bench/caldav-peer.sh [BUILD_DIR]     (default build-bench in the checkout)
#
# Environment: N (default 1000), TIME_LIMIT (seconds per side, default 300).
# Loopback only; everything started here is stopped on exit.

set -euo pipefail

BUILD="$(cd "${1:-$(dirname "$0")/../build-bench}" && pwd)"
N="${N:-1000}"
TIME_LIMIT="${TIME_LIMIT:-300}"
HERE="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=bench/lib.sh
. "$HERE/lib.sh"

need_tools radicale curl python3
RADICALE="$(command -v radicale)"
[ "$(id -u)" = 0 ] || die "run as root (kivo-webapi serve runs calendar calls as root)"

bench_setup caldav

client() {
  timeout "$TIME_LIMIT" "${CLIENT_CPU[@]}" python3 "$HERE/caldav_peer.py" "$@"
}

# ---- Radicale --------------------------------------------------------------------
RADICALE_PORT="$(free_port)"
radicale_peer_config "$WORK/radicale" "$RADICALE_PORT"
"${SERVER_CPU[@]}" "$RADICALE" --config "$WORK/radicale/config" 2>"$WORK/radicale/log" &
BENCH_PIDS+=("$!")
wait_for_port "$RADICALE_PORT" || die "radicale did not come up: $(cat "$WORK/radicale/log")"
radicale_result="$(client radicale "$RADICALE_PORT" "$N")" || die "the Radicale run failed"
stop_started

# ---- kivo-webapi serve -----------------------------------------------------------
ROOT="$WORK/root"
kivo_init_root "$ROOT"
kivo_start_serve "$ROOT" "$WORK/serve.log" "${SERVER_CPU[@]}"
kivo_result="$(client kivo "$KIVO_PORT" "$N" "$KIVO_ADMIN_PASSWORD" "$ROOT/volume1/public")" ||
  die "the kivo-webapi run failed (see $WORK/serve.log)"
stop_started

python3 - "$N" "$radicale_result" "$kivo_result" <<'EOF'
import json, sys
n = int(sys.argv[1])
peer, ours = json.loads(sys.argv[2]), json.loads(sys.argv[3])
for label, r in (("Radicale", peer), ("kivo-webapi serve", ours)):
    if r["listed"] != n:
        print(f"warning: {label} listed {r['listed']} calendars, not {n}")
print(f"{n} calendar creates, one at a time, then one listing")
print(f"{'':20} {'create total':>14} {'per create':>12} {'list':>10}")
for label, r in (("Radicale", peer), ("kivo-webapi serve", ours)):
    print(f"{label:20} {r['create_s']:12.2f} s {r['create_s'] / n * 1e3:9.2f} ms"
          f" {r['list_s'] * 1e3:7.1f} ms")
for what in ("create_s", "list_s"):
    ratio = peer[what] / ours[what]
    verdict = "met" if ratio > 1 else "MISSED"
    name = "create" if what == "create_s" else "list"
    print(f"Radicale / ours, {name:6} {ratio:8.2f}   target > 1 (ours faster)   {verdict}")
EOF

#!/bin/bash
# The principal's PROPFIND Depth 1 with N registered calendars, warm: the
# CalDAV daemon (Radicale with the registry plug-ins, started through the
# platform) beside Radicale's own storage holding a tree of the same size.
# Both answer the same request from the same client.
#
#   bench/caldav-daemon.sh [BUILD_DIR]     (default /work/build-bench)
#
# Environment: N (default 1000), RUNS (timed requests, default 20).
# Loopback only; every daemon started here is stopped on exit.

set -euo pipefail

BUILD="$(cd "${1:-/work/build-bench}" && pwd)"
N="${N:-1000}"
RUNS="${RUNS:-20}"
HERE="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=bench/lib.sh
. "$HERE/lib.sh"

PYTHON=/usr/bin/python3  # Debian's, which has Radicale
CTL="$BUILD/tests/caldav_daemon_ctl"
need_tools "$PYTHON" radicale
[ -x "$CTL" ] || die "no $CTL: build the target caldav_daemon_ctl"
[ "$(id -u)" = 0 ] || die "run as root (the daemon switches identities)"

bench_setup caldav-daemon
ROOT="$WORK/root"
chmod 0755 "$WORK"  # the daemon's account reads its configuration below it
stop_daemon() { KIVO_ROOT="$ROOT" "$CTL" stop >/dev/null 2>&1 || true; stop_started; }
trap 'stop_daemon; [ "${KIVO_BENCH_KEEP:-0}" = 1 ] || rm -rf "$WORK"' EXIT

client() {
  "${CLIENT_CPU[@]}" "$PYTHON" "$HERE/caldav_propfind.py" "$@"
}

# ---- the CalDAV daemon over the registry ------------------------------------------
kivo_init_root "$ROOT"
"$PYTHON" - "$ROOT" "$N" <<'PY'
import json, os, sys
root, n = sys.argv[1], int(sys.argv[2])
registry = []
for i in range(n):
    name = "cal-%05d" % i
    os.makedirs("%s/volume1/public/%s/.DAV" % (root, name))
    open("%s/volume1/public/%s/.DAV/.state_for_dir.pag" % (root, name), "w").close()
    registry.append({"calendarname": name, "destination": "public", "share": "public"})
with open(root + "/usr/kivo/etc/calendar.info", "w") as f:
    json.dump(registry, f, indent=1)
PY
KIVO_ROOT="$ROOT" "$BUILD/kivo-webapi" call KIVO.Core.FileServ.WebDAV.CalDAV 1 set '{"enable":true}' \
  >/dev/null
KIVO_ROOT="$ROOT" "${SERVER_CPU[@]}" "$CTL" webdav-up || die "the CalDAV daemon did not start"
DAEMON_PORT="$(KIVO_ROOT="$ROOT" "$CTL" status | cut -d' ' -f3)"
export KIVO_DOOR_TOKEN_FILE="$ROOT/var/lib/kivo/caldav/door-token"
ours="$(client "$DAEMON_PORT" /admin/ admin "$KIVO_ADMIN_PASSWORD" "$RUNS")"
unset KIVO_DOOR_TOKEN_FILE
KIVO_ROOT="$ROOT" "$CTL" stop >/dev/null

# ---- Radicale's own storage, the same number of calendars ----------------------------
RADICALE_PORT="$(free_port)"
"$PYTHON" - "$WORK/radicale/collections/collection-root/bench" "$N" <<'PY'
import json, os, sys
base, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    name = "cal-%05d" % i
    os.makedirs("%s/%s" % (base, name))
    with open("%s/%s/.Radicale.props" % (base, name), "w") as f:
        json.dump({"tag": "VCALENDAR", "D:displayname": name}, f)
PY
radicale_peer_start "$WORK/radicale" "$RADICALE_PORT"
peer="$(client "$RADICALE_PORT" /bench/ bench x "$RUNS")"
stop_started

"$PYTHON" - "$N" "$peer" "$ours" <<'PY'
import json, sys
n = int(sys.argv[1])
peer, ours = json.loads(sys.argv[2]), json.loads(sys.argv[3])
print(f"principal PROPFIND Depth 1, {n} calendars")
print(f"{'':26} {'first':>11} {'warm median':>12} {'warm max':>11}")
for label, r in (("Radicale's own storage", peer), ("CalDAV daemon (registry)", ours)):
    if r["listed"] != n:
        print(f"warning: {label} listed {r['listed']} calendars, not {n}")
    print(f"{label:26} {r['first_s'] * 1e3:8.1f} ms {r['median_s'] * 1e3:9.1f} ms"
          f" {r['max_s'] * 1e3:8.1f} ms")
verdict = "met" if ours["median_s"] < 0.2 else "MISSED"
print(f"CalDAV daemon median {ours['median_s']:.3f} s   target < 0.2 s   {verdict}")
PY

#!/bin/bash
# Calendars of thousands of events, against Radicale on its own storage
# (auth none, its stock file storage), in interleaved rounds (the side going
# first alternating), on a calendar of LARGE events and one of SMALL:
#
#   put       a new event's PUT into each calendar (median of RUNS per round,
#             each event removed after, untimed): the cost of a PUT must not
#             grow with the calendar
#   propfind  the calendar's PROPFIND Depth 1 (resourcetype, getcontenttype,
#             getetag), as clients list a calendar
#   query     a calendar-query REPORT for March 2031 (getetag)
#   sync      a sync-collection REPORT after one changed event
#
#   bench/caldav-large.sh [BUILD_DIR]     (default build-bench in the checkout)
#
# Environment: LARGE (10000), SMALL (100), ROUNDS (3), RUNS (10), WARM_UP
# (untimed requests before the RUNS, 3), TIME_LIMIT (seconds per step, 900). Needs the targets kivo-webapi and the module.
# Loopback only; everything started here is stopped on exit.
#
# Radicale takes each calendar as one PUT of the whole (a new collection
# with every item, its cache made as it serves them). The CalDAV daemon's
# calendars get the same events as files written into their folders, one per
# event and the calendar owner's, as a WebDAV client or the daemon itself
# writes them (ten thousand PUTs would take the run's time).

set -euo pipefail

BUILD="$(cd "${1:-$(dirname "$0")/../build-bench}" && pwd)"
LARGE="${LARGE:-10000}"
SMALL="${SMALL:-100}"
ROUNDS="${ROUNDS:-3}"
RUNS="${RUNS:-10}"
TIME_LIMIT="${TIME_LIMIT:-900}"
export WARM_UP="${WARM_UP:-3}"
HERE="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=bench/lib.sh
. "$HERE/lib.sh"

PYTHON=/usr/bin/python3  # Debian's, which has Radicale
need_tools "$PYTHON" radicale curl
[ "$(id -u)" = 0 ] || die "run as root (the daemons switch identities)"

bench_setup caldav-large
chmod 0755 "$WORK"
ROOT="$WORK/root"
stop_all() {
  if [ -d "$ROOT" ]; then
    KIVO_ROOT="$ROOT" "$KIVO_WEBAPI" services --stop-all >/dev/null 2>&1 || true
  fi
  stop_started
}
trap 'stop_all; [ "${KIVO_BENCH_KEEP:-0}" = 1 ] || rm -rf "$WORK"' EXIT

step() {  # side step client arguments...
  local side="$1" what="$2" result
  shift 2
  result="$(timeout "$TIME_LIMIT" "${CLIENT_CPU[@]}" "$PYTHON" "$HERE/caldav_peer.py" "$@")" ||
    die "$what on $side failed"
  echo "$side $what $result" >>"$WORK/results"
}

# ---- Radicale ---------------------------------------------------------------------------
RADICALE_PORT="$(free_port)"
radicale_peer_start "$WORK/radicale" "$RADICALE_PORT"
RADICALE="http://127.0.0.1:$RADICALE_PORT/bench/"
curl -sf -o /dev/null -u bench:x -X PROPFIND -H 'Depth: 0' "$RADICALE" || die "PROPFIND on Radicale"
for size in "$LARGE" "$SMALL"; do
  timeout $((TIME_LIMIT * 6)) "$PYTHON" "$HERE/caldav_peer.py" fill "${RADICALE}cal-$size/" bench x \
    "$size" whole >/dev/null || die "filling Radicale's calendar of $size"
done

# ---- ours: Apache and the CalDAV daemon ---------------------------------------------------
kivo_init_root "$ROOT"
kivo_start_serve "$ROOT" "$WORK/serve.log" "${SERVER_CPU[@]}"
kivo_caldav_behind_apache
declare -A OURS_URL
for size in "$LARGE" "$SMALL"; do
  ours_call KIVO.Core.FileServ.WebDAV.CalDAV.Calendar 1 create \
    "{\"share\":\"public\",\"destination\":\"public\",\"fullpath\":\"$ROOT/volume1/public\",\"calendarname\":\"cal-$size\"}"
  folder="$ROOT/volume1/public/cal-$size"
  "$PYTHON" - "$HERE" "$folder" "$size" "$ADMIN_UID" <<'PY'
import os, sys
sys.path.insert(0, sys.argv[1])
import caldav_peer
folder, count, uid = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
for i in range(count):
    name = os.path.join(folder, caldav_peer.spread_name(i))
    with open(name, "w", encoding="utf-8") as f:
        f.write(caldav_peer.spread_calendar([caldav_peer.spread_event(i, count)]))
    os.chown(name, uid, -1)
PY
  chown "$ADMIN_UID" "$folder"
  OURS_URL[$size]="$("$PYTHON" "$HERE/caldav_peer.py" find "$OURS" admin "$KIVO_ADMIN_PASSWORD" "cal-$size" |
    "$PYTHON" -c 'import json, sys; print(json.load(sys.stdin)["url"])')"
done

# ---- the rounds ---------------------------------------------------------------------------
run_side() {  # side
  local url user password size
  for size in "$LARGE" "$SMALL"; do
    if [ "$1" = radicale ]; then
      url="${RADICALE}cal-$size/" user=bench password=x
    else
      url="${OURS_URL[$size]}" user=admin password="$KIVO_ADMIN_PASSWORD"
    fi
    step "$1" "put-$size" putinto "$url" "$user" "$password" "$size" "$RUNS"
    if [ "$size" = "$LARGE" ]; then
      step "$1" propfind propfind "$url" "$user" "$password" "$size" "$RUNS"
      step "$1" query query "$url" "$user" "$password" "$size" "$RUNS"
      step "$1" sync syncreport "$url" "$user" "$password" "$size" "$RUNS"
    fi
  done
}
for r in $(seq 1 "$ROUNDS"); do
  if [ $((r % 2)) = 1 ]; then order="radicale ours"; else order="ours radicale"; fi
  for side in $order; do run_side "$side"; done
done

uptime
"$PYTHON" - "$WORK/results" "$LARGE" "$SMALL" "$ROUNDS" <<'PY'
import collections, json, statistics, sys
path, large, small, rounds = sys.argv[1], *map(int, sys.argv[2:])
runs = collections.defaultdict(list)
for line in open(path):
    side, step, result = line.split(" ", 2)
    runs[side, step].append(json.loads(result)["median_s"])
median = {key: statistics.median(values) for key, values in runs.items()}
print("medians of %d rounds, seconds" % rounds)
print(f"{'':44} {'Radicale':>10} {'ours':>10}")
for step, label in (("put-%d" % small, "PUT into %d events" % small),
                    ("put-%d" % large, "PUT into %d events" % large)):
    print(f"{label:44} {median['radicale', step]:10.4f} {median['ours', step]:10.4f}")
for side in ("radicale", "ours"):
    print("%-8s PUT %d / PUT %d: %.2f (target for ours <= 1.5)" % (
        side, large, small, median[side, "put-%d" % large] / median[side, "put-%d" % small]))
print(f"{'':44} {'Radicale':>10} {'ours':>10} {'ratio':>7}  target")
for step, label in (("propfind", "PROPFIND Depth 1 of %d events" % large),
                    ("query", "calendar-query, March of %d events" % large),
                    ("sync", "sync-collection, 1 change in %d" % large)):
    peer, ours = median["radicale", step], median["ours", step]
    print(f"{label:44} {peer:10.4f} {ours:10.4f} {peer / ours:7.2f}  >= 1 "
          f"{'met' if peer >= ours else 'MISSED'}")
print("per round (s), Radicale / ours:")
for step in sorted({s for _, s in runs}):
    print("  %-10s %s" % (step, "  ".join("%.4f/%.4f" % pair for pair in
                                         zip(runs["radicale", step], runs["ours", step]))))
PY

#!/bin/bash
# CalDAV as clients use it, against Radicale on its own storage (auth none,
# its stock file storage), in interleaved rounds: each round runs every step
# on both sides, the side going first alternating, so that a change in the
# machine's load falls on both.
#
#   create  N calendars one at a time (ROUNDS parts): kivo-webapi serve's
#           calendar create into the public share, as admin, against
#           Radicale's MKCALENDAR
#   put     EVENTS events, one PUT each (ROUNDS parts): through the WebDAV
#           port (Apache's /caldav/ proxy, the CalDAV daemon), against
#           Radicale directly
#   upload  vdirsyncer uploading SYNC events into an empty calendar, every
#           round (the same path as put)
#   query   a calendar-query REPORT (Depth 1, getetag) for March 2031 on a
#           calendar of QUERY events spread over 2031, warm (median of RUNS per
#           round); both sides must answer exactly the events of March
#   sync    a sync-collection REPORT with the token of before one changed
#           event (the change itself not timed), on the same calendar (median
#           of RUNS per round); both sides must answer exactly that event
#   list    the principal's PROPFIND Depth 1 once the N calendars exist, warm
#           (median of RUNS per round)
#   cquery  an addressbook-query REPORT (getetag; a text-match on the work
#           emails of one organisation) on an address book of CONTACTS
#           contacts, vCard 3.0 and 4.0 (caldav_peer.py), warm (median of
#           RUNS per round); both sides must answer exactly that
#           organisation's contacts
#   csync   a sync-collection REPORT with the token of before one changed
#           contact, on the same address book; both sides must answer
#           exactly that contact
#   clist   the address book's PROPFIND Depth 1 (getetag, getcontenttype)
#
# The REPORTs and clist also give the CPU time a request cost each side's
# server processes (Radicale; Apache and the CalDAV daemon), median of RUNS.
#
#   bench/caldav-peer.sh [BUILD_DIR]     (default build-bench in the checkout)
#
# Environment: STEPS (the steps to run, comma-separated, default all of
# create,put,upload,query,sync,list; cquery,csync,clist when named), N
# (1000), EVENTS (1000), SYNC (200), QUERY (5000), CONTACTS (10000), ROUNDS
# (3), RUNS (10), TIME_LIMIT (seconds per step, 600).
# Needs the targets kivo-webapi and the module. Loopback only; everything
# started here is stopped on exit.
#
# The QUERY events are written once, before the rounds, each side through
# its own write path so that its storage holds them as it writes them:
# Radicale takes one PUT of the whole calendar (a new collection with every
# item, its own cache made as it serves them); the CalDAV daemon refuses a
# PUT of a calendar, so it gets one PUT per event through the WebDAV port
# (4 connections at once). The CONTACTS contacts get in the same ways: one
# PUT of the whole address book into Radicale, one PUT per contact into
# ours. The list step's principal holds only the calendars the steps before
# it made: N of them with create.

set -euo pipefail

BUILD="$(cd "${1:-$(dirname "$0")/../build-bench}" && pwd)"
N="${N:-1000}"
EVENTS="${EVENTS:-1000}"
SYNC="${SYNC:-200}"
QUERY="${QUERY:-5000}"
CONTACTS="${CONTACTS:-10000}"
STEPS=",${STEPS:-create,put,upload,query,sync,list},"
ROUNDS="${ROUNDS:-3}"
RUNS="${RUNS:-10}"
TIME_LIMIT="${TIME_LIMIT:-600}"
HERE="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=bench/lib.sh
. "$HERE/lib.sh"

PYTHON=/usr/bin/python3  # Debian's, which has Radicale
for s in ${STEPS//,/ }; do
  case "$s" in create | put | upload | query | sync | list | cquery | csync | clist) ;;
    *) die "unknown step $s" ;;
  esac
done
wants() { [[ "$STEPS" == *",$1,"* ]]; }
need_tools "$PYTHON" radicale curl
if wants upload; then need_tools vdirsyncer; fi
[ "$(id -u)" = 0 ] || die "run as root (the daemons switch identities)"

bench_setup caldav-peer
chmod 0755 "$WORK"  # the CalDAV daemon's account reads its configuration below it
ROOT="$WORK/root"
stop_all() {
  if [ -d "$ROOT" ]; then
    KIVO_ROOT="$ROOT" "$KIVO_WEBAPI" services --stop-all >/dev/null 2>&1 || true
  fi
  stop_started
}
trap 'stop_all; [ "${KIVO_BENCH_KEEP:-0}" = 1 ] || rm -rf "$WORK"' EXIT

step() {  # side step JSON-producing client arguments...
  local side="$1" what="$2" limit="$TIME_LIMIT"
  shift 2
  local result pids="${SIDE_PIDS[$side]:-}"
  # Our creates are the web API's: its CPU beside Radicale's.
  if [ "$what" = create ] && [ "$side" = ours ]; then pids="$SERVE_PID"; fi
  # Filling the collections of QUERY events and CONTACTS contacts is done
  # once and may take long.
  if [ "$what" = fill ] || [ "$what" = cfill ]; then limit=$((TIME_LIMIT * 6)); fi
  result="$(SERVER_PIDS="$pids" timeout "$limit" "${CLIENT_CPU[@]}" "$PYTHON" "$@")" ||
    die "$what on $side failed"
  echo "$side $what $result" >>"$WORK/results"
}

# ---- Radicale -----------------------------------------------------------------------
RADICALE_PORT="$(free_port)"
radicale_peer_start "$WORK/radicale" "$RADICALE_PORT"
RADICALE="http://127.0.0.1:$RADICALE_PORT/bench/"
declare -A SIDE_PIDS  # each side's server processes, once they all run
RADICALE_PID="${BENCH_PIDS[-1]}"
# The calendars the steps write into, made before the rounds on both sides.
CALENDARS=()
if wants put; then CALENDARS+=(put); fi
if wants upload; then mapfile -t -O "${#CALENDARS[@]}" CALENDARS < <(seq -f "sync-%g" 1 "$ROUNDS"); fi
QUERYING=0
if wants query || wants sync; then QUERYING=1; fi
CARDS=0
if wants cquery || wants csync || wants clist; then CARDS=1; fi
for name in "${CALENDARS[@]}"; do
  curl -sf -o /dev/null -u bench:x -X MKCALENDAR "${RADICALE}${name}/" || die "MKCALENDAR $name on Radicale"
done
if [ "$QUERYING" = 1 ] || [ "$CARDS" = 1 ]; then
  # The collection is made by the PUT; the principal's folder first, as a
  # client's first request would make it.
  curl -sf -o /dev/null -u bench:x -X PROPFIND -H 'Depth: 0' "$RADICALE" || die "PROPFIND on Radicale"
fi
if [ "$QUERYING" = 1 ]; then
  step radicale fill "$HERE/caldav_peer.py" fill "${RADICALE}query/" bench x "$QUERY" whole
fi
if [ "$CARDS" = 1 ]; then
  step radicale cfill "$HERE/caldav_peer.py" cfill "${RADICALE}contacts/" bench x "$CONTACTS" whole
fi

# ---- ours: serve for the creates; Apache and the CalDAV daemon for the rest -------------
kivo_init_root "$ROOT"
kivo_start_serve "$ROOT" "$WORK/serve.log" "${SERVER_CPU[@]}"
SERVE_PID="${BENCH_PIDS[-1]}"
kivo_caldav_behind_apache
declare -A OURS_URL
if [ "$QUERYING" = 1 ]; then CALENDARS+=(query); fi
for name in "${CALENDARS[@]}"; do
  ours_call KIVO.Core.FileServ.WebDAV.CalDAV.Calendar 1 create \
    "{\"share\":\"public\",\"destination\":\"public\",\"fullpath\":\"$ROOT/volume1/public\",\"calendarname\":\"$name\"}"
  chown "$ADMIN_UID" "$ROOT/volume1/public/$name"
  OURS_URL[$name]="$("$PYTHON" "$HERE/caldav_peer.py" find "$OURS" admin "$KIVO_ADMIN_PASSWORD" "$name" |
    "$PYTHON" -c 'import json, sys; print(json.load(sys.stdin)["url"])')"
done
if [ "$QUERYING" = 1 ]; then
  step ours fill "$HERE/caldav_peer.py" fill "${OURS_URL[query]}" admin "$KIVO_ADMIN_PASSWORD" \
    "$QUERY" items
fi
if [ "$CARDS" = 1 ]; then
  ours_call KIVO.Core.FileServ.WebDAV.CardDAV 1 set '{"enable":true}'
  ours_call KIVO.Core.FileServ.WebDAV.CardDAV.AddressBook 1 create \
    "{\"share\":\"public\",\"destination\":\"public\",\"fullpath\":\"$ROOT/volume1/public\",\"addressbookname\":\"contacts\"}"
  chown "$ADMIN_UID" "$ROOT/volume1/public/contacts"
  CONTACTS_URL="$("$PYTHON" "$HERE/caldav_peer.py" find \
    "http://127.0.0.1:$WEBDAV_PORT/carddav/admin/" admin "$KIVO_ADMIN_PASSWORD" contacts |
    "$PYTHON" -c 'import json, sys; print(json.load(sys.stdin)["url"])')"
  step ours cfill "$HERE/caldav_peer.py" cfill "$CONTACTS_URL" admin "$KIVO_ADMIN_PASSWORD" \
    "$CONTACTS" items
fi
SIDE_PIDS[radicale]="$RADICALE_PID"
SIDE_PIDS[ours]="$(pgrep -o -f "$ROOT/var/lib/kivo/webdav/httpd.conf")"
SIDE_PIDS[ours]+=",$(cat "$ROOT/var/run/kivo/caldav.pid")"

# ---- the rounds ------------------------------------------------------------------------
run_side() {  # side round
  local side="$1" r="$2"
  local first=$(((r - 1) * N / ROUNDS)) count=$((r * N / ROUNDS - (r - 1) * N / ROUNDS))
  local efirst=$(((r - 1) * EVENTS / ROUNDS)) ecount=$((r * EVENTS / ROUNDS - (r - 1) * EVENTS / ROUNDS))
  if [ "$side" = radicale ]; then
    if wants create; then
      step radicale create "$HERE/caldav_peer.py" mkcalendar "$RADICALE" "$first" "$count"
    fi
    if wants put; then
      step radicale put "$HERE/caldav_peer.py" put "${RADICALE}put/" bench x "$efirst" "$ecount"
    fi
    if wants upload; then
      mkdir -p "$WORK/sync-radicale-$r"
      step radicale upload "$HERE/caldav_peer.py" sync "${RADICALE}sync-$r/" bench x "$SYNC" \
        "$WORK/sync-radicale-$r"
    fi
  else
    if wants create; then
      step ours create "$HERE/caldav_peer.py" create "$KIVO_PORT" "$KIVO_ADMIN_PASSWORD" \
        "$ROOT/volume1/public" "$first" "$count"
    fi
    if wants put; then
      step ours put "$HERE/caldav_peer.py" put "${OURS_URL[put]}" admin "$KIVO_ADMIN_PASSWORD" \
        "$efirst" "$ecount"
    fi
    if wants upload; then
      mkdir -p "$WORK/sync-ours-$r"
      step ours upload "$HERE/caldav_peer.py" sync "${OURS_URL[sync-$r]}" admin \
        "$KIVO_ADMIN_PASSWORD" "$SYNC" "$WORK/sync-ours-$r"
    fi
  fi
}
# The REPORTs, warm, on the calendar of QUERY events and the address book.
run_reports() {  # side
  local url user password
  if [ "$1" = radicale ]; then
    url="${RADICALE}query/" user=bench password=x
  else
    url="${OURS_URL[query]:-}" user=admin password="$KIVO_ADMIN_PASSWORD"
  fi
  if wants query; then
    step "$1" query "$HERE/caldav_peer.py" query "$url" "$user" "$password" "$QUERY" "$RUNS"
  fi
  if wants sync; then
    step "$1" sync "$HERE/caldav_peer.py" syncreport "$url" "$user" "$password" "$QUERY" "$RUNS"
  fi
  if [ "$1" = radicale ]; then url="${RADICALE}contacts/"; else url="${CONTACTS_URL:-}"; fi
  local s
  for s in cquery csync clist; do
    if wants "$s"; then
      step "$1" "$s" "$HERE/caldav_peer.py" "${s/clist/cpropfind}" "$url" "$user" "$password" \
        "$CONTACTS" "$RUNS"
    fi
  done
}
for r in $(seq 1 "$ROUNDS"); do
  if [ $((r % 2)) = 1 ]; then order="radicale ours"; else order="ours radicale"; fi
  for side in $order; do run_side "$side" "$r"; done
done
for r in $(seq 1 "$ROUNDS"); do
  if [ $((r % 2)) = 1 ]; then order="radicale ours"; else order="ours radicale"; fi
  for side in $order; do
    if [ "$QUERYING" = 1 ] || [ "$CARDS" = 1 ]; then run_reports "$side"; fi
    if ! wants list; then
      continue
    elif [ "$side" = radicale ]; then
      step radicale list "$HERE/caldav_propfind.py" "$RADICALE_PORT" /bench/ bench x "$RUNS"
    else
      step ours list "$HERE/caldav_propfind.py" "$WEBDAV_PORT" /caldav/admin/ admin \
        "$KIVO_ADMIN_PASSWORD" "$RUNS"
    fi
  done
done

uptime
"$PYTHON" - "$WORK/results" "$N" "$EVENTS" "$SYNC" "$QUERY" "$ROUNDS" "$CONTACTS" <<'PY'
import collections, json, statistics, sys
path, n, events, sync, query, rounds, contacts = sys.argv[1], *map(int, sys.argv[2:])
runs = collections.defaultdict(list)
cpu = collections.defaultdict(list)
listed = {}
for line in open(path):
    side, step, result = line.split(" ", 2)
    result = json.loads(result)
    runs[side, step].append(result.get("s", result.get("median_s")))
    if "cpu_us" in result:
        cpu[side, step].append(result["cpu_us"])
    if "listed" in result:
        listed[side] = result["listed"]
    if "hrefs" in result:
        listed[side, step] = result["hrefs"]
rows = [("create", "%d calendar creates" % n, sum, 1, 1.0),
        ("put", "%d event PUTs" % events, sum, 1, 1.0),
        ("upload", "vdirsyncer upload of %d events (per round)" % sync, statistics.median, 1, 0.8),
        ("query", "calendar-query, %s of %d events (median)" % (listed.get(("ours", "query"), "?"),
                                                               query), statistics.median, 1, 1.0),
        ("sync", "sync-collection, 1 change in %d (median)" % query, statistics.median, 1, 1.0),
        ("list", "principal PROPFIND, %s calendars (median)" % listed.get("ours", "?"),
         statistics.median, 1, 5.0),
        ("cquery", "addressbook-query, %s of %d contacts" % (listed.get(("ours", "cquery"), "?"),
                                                             contacts), statistics.median, 1, 1.0),
        ("csync", "sync-collection, 1 change in %d contacts" % contacts, statistics.median, 1,
         1.0),
        ("clist", "address book PROPFIND, %d contacts" % contacts, statistics.median, 1, 1.0)]
print(f"{'':46} {'Radicale':>10} {'ours':>10} {'ratio':>7}  target")
rows = [row for row in rows if runs["radicale", row[0]] and runs["ours", row[0]]]
for step, label, combine, _, target in rows:
    peer, ours = combine(runs["radicale", step]), combine(runs["ours", step])
    ratio = peer / ours
    verdict = "met" if ratio >= target else "MISSED"
    print(f"{label:46} {peer:8.3f} s {ours:8.3f} s {ratio:7.2f}  >= {target:g}  {verdict}")
for step, *_ in rows:
    if cpu["radicale", step] and cpu["ours", step]:
        peer, ours = statistics.median(cpu["radicale", step]), statistics.median(cpu["ours", step])
        print("  CPU a request, %-7s Radicale %.2f ms, ours %.2f ms (%s): %.2f x" % (
            step, peer / 1e3, ours / 1e3,
            "the web API" if step == "create" else "Apache and the daemon", ours / peer))
for step, what, count in (("fill", "the calendar of %d events", query),
                          ("cfill", "the address book of %d contacts", contacts)):
    if runs["radicale", step] and runs["ours", step]:
        print("filling %s: Radicale %.1f s (one PUT), ours %.1f s (one PUT each)" % (
            what % count, runs["radicale", step][0], runs["ours", step][0]))
print("rounds: %d; per round (s), Radicale / ours:" % rounds)
for step, *_ in rows:
    print("  %-7s %s" % (step, "  ".join("%.3f/%.3f" % pair for pair in
                                          zip(runs["radicale", step], runs["ours", step]))))
if listed.get("ours") != listed.get("radicale") or any(
        listed.get(("ours", step)) != listed.get(("radicale", step))
        for step in ("query", "sync", "cquery", "csync", "clist")):
    print("warning: listed %s" % listed)
PY

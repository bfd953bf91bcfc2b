#!/bin/bash
# The WebDAV daemon against its peers on the same files, same machine:
# plain Apache mod_dav (event MPM, one identity, keep-alive; Basic logins
# through mod_authn_socache in front of a password file of {SHA} hashes, the
# cheapest check Apache takes; an access log, a lock database and no
# .htaccess files like the daemon's; mod_ssl on a second port) and nginx's
# dav module with dav-ext (no login). Rounds interleave the servers.
#
#   bench/webdav-peer.sh [BUILD_DIR]     (default build-bench in the checkout)
#
# Workloads: GET of 4 KiB (wrk, 8 connections), PROPFIND Depth 1 of N files
# (median of 5), `rclone copy` of N small files up and down, a 100 MB PUT and
# GET (median of 5 each, the servers taking turns transfer by transfer), and the daemon's memory (PSS of all its processes) after the load.
# Then USERS accounts at once (bench/many_users.py), each on its own
# kept-alive connection alternating a PROPFIND Depth 1 of its own folder of
# 50 files and GETs of them for USERS_SECONDS, from USERS loopback addresses
# and again from one, against plain Apache serving the same mix as one
# identity: requests per second, errors, and the sum of the RSS of every
# process of the server after the load. Each account logs in once (one
# request each, all at once, timed as its own line) before its mix.
# The busy line runs the USERS line again (many addresses) with two
# CPU-bound processes beside it, started and stopped here.
# The CPU lines (bench/webdav_cpu.py) take, per method, the server's CPU time
# a request over HTTP and over HTTPS (TLS 1.3), ours and plain Apache in
# turns on one kept-alive connection each: GET 4 KiB, PROPFIND Depth 1 of 300
# and of N files, PUT 4 KiB (new files), MOVE and DELETE of them, PUT 1 MiB
# (over one file); the big lines a GET and PUT of BIG_MB over both.
# Environment: N (default 1000), ROUNDS (default 2), WRK_SECONDS (default 5),
# USERS (default 100; 0 skips), USERS_SECONDS (default 15), REQUESTS (CPU
# lines, default 2000; a tenth of it for PROPFIND and PUT 1 MiB), BIG_MB
# (default 1024), RECORD (a file each figure is appended to), STEPS (default all of
# cpu,get4k,propfind,rclone,big,users,busy); HOLD=1 sets everything up and
# keeps the servers up for a profiler instead.
# Needs root, wrk, rclone, nginx and libnginx-mod-http-dav-ext. Loopback
# only; everything started here is stopped on exit.

set -euo pipefail

BUILD="$(cd "${1:-$(dirname "$0")/../build-bench}" && pwd)"
N="${N:-1000}"
ROUNDS="${ROUNDS:-2}"
WRK_SECONDS="${WRK_SECONDS:-5}"
USERS="${USERS:-100}"
USERS_SECONDS="${USERS_SECONDS:-15}"
REQUESTS="${REQUESTS:-2000}"
BIG_MB="${BIG_MB:-1024}"
STEPS="${STEPS:-cpu,get4k,propfind,rclone,big,users,busy}"
step() { [[ ",$STEPS," == *",$1,"* ]]; }
HERE="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=bench/lib.sh
. "$HERE/lib.sh"

need_tools wrk rclone nginx curl python3 htpasswd openssl
[ "$(id -u)" = 0 ] || die "run as root"
[ -e /usr/lib/nginx/modules/ngx_http_dav_ext_module.so ] || die "libnginx-mod-http-dav-ext is missing"
bench_setup webdav
chmod 0755 "$WORK"  # every account the servers run as walks through it
MODULES=/usr/lib/apache2/modules
USER_NAME=bench
PASSWORD=bench-secret

# ---- the files, one copy per server ----------------------------------------------
make_files() {
  local dir="$1"
  mkdir -p "$dir/many" "$dir/p300" "$dir/up"
  head -c 4096 /dev/urandom >"$dir/4k"
  head -c "$((BIG_MB * 1048576))" /dev/zero >"$dir/big"
  python3 - "$dir" "$N" <<'EOF'
import os, sys
for sub, n in (("many", int(sys.argv[2])), ("p300", 300)):
    for i in range(n):
        with open(os.path.join(sys.argv[1], sub, "f%04d.txt" % i), "wb") as f:
            f.write(os.urandom(1024))
EOF
}
mkdir -p "$WORK/local"
make_files "$WORK/local/src"

# ---- ours: the platform's daemon, through the module ------------------------------
ROOT="$WORK/root"
kivo_init_root "$ROOT"
KIVO_ROOT="$ROOT" "$KIVO_WEBAPI" useradd "$USER_NAME" >/dev/null
printf '%s\n' "$PASSWORD" | KIVO_ROOT="$ROOT" "$KIVO_WEBAPI" passwd "$USER_NAME" >/dev/null
OURS_DIR="$ROOT/volume1/homes/$USER_NAME/data"
cp -a "$WORK/local/src" "$OURS_DIR"
chown -R "$(sed -n "s/^$USER_NAME:x:\([0-9]*\):.*/\1/p" "$ROOT/etc/passwd")" "$OURS_DIR"
OURS_PORT="$(free_port)"
OURS_TLS_PORT="$(free_port)"
KIVO_ROOT="$ROOT" KIVO_DAEMONS=on KIVO_WEBDAV_ADDRESS=127.0.0.1 "${SERVER_CPU[@]}" "$KIVO_WEBAPI" \
  call --user admin KIVO.Core.FileServ.WebDAV 1 set \
  "{\"enable_http\": true, \"http_port_num\": $OURS_PORT, \"enable_https\": true, \"https_port_num\": $OURS_TLS_PORT}" >/dev/null ||
  die "the daemon did not start"
BURNERS=()
trap 'for pid in "${BURNERS[@]}"; do kill "$pid" 2>/dev/null; done; KIVO_ROOT="$ROOT" "$KIVO_WEBAPI" services --stop-all >/dev/null 2>&1; stop_started; [ "${KIVO_BENCH_KEEP:-0}" = 1 ] || rm -rf "$WORK"' EXIT

# ---- plain Apache, event MPM ------------------------------------------------------
APACHE_DIR="$WORK/apache"
mkdir -p "$APACHE_DIR/run" "$APACHE_DIR/lock"
cp -a "$WORK/local/src" "$APACHE_DIR/data"
chown -R nobody "$APACHE_DIR/data" "$APACHE_DIR/lock"
APACHE_PORT="$(free_port)"
APACHE_TLS_PORT="$(free_port)"
# The daemon's kind of certificate (a P-256 key), and every account the
# daemon has, {SHA}-hashed.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
  -subj /CN=localhost -keyout "$APACHE_DIR/server.key" -out "$APACHE_DIR/server.crt" 2>/dev/null
htpasswd -c -b -s "$APACHE_DIR/passwords" "$USER_NAME" "$PASSWORD" 2>/dev/null
cat >"$APACHE_DIR/httpd.conf" <<EOF
ServerRoot "$APACHE_DIR"
ServerName localhost
PidFile "$APACHE_DIR/run/pid"
DefaultRuntimeDir "$APACHE_DIR/run"
ErrorLog "$APACHE_DIR/error.log"
LoadModule mpm_event_module $MODULES/mod_mpm_event.so
LoadModule authz_core_module $MODULES/mod_authz_core.so
LoadModule alias_module $MODULES/mod_alias.so
LoadModule mime_module $MODULES/mod_mime.so
LoadModule dav_module $MODULES/mod_dav.so
LoadModule dav_fs_module $MODULES/mod_dav_fs.so
LoadModule auth_basic_module $MODULES/mod_auth_basic.so
LoadModule authn_core_module $MODULES/mod_authn_core.so
LoadModule authn_file_module $MODULES/mod_authn_file.so
LoadModule authn_socache_module $MODULES/mod_authn_socache.so
LoadModule socache_shmcb_module $MODULES/mod_socache_shmcb.so
LoadModule authz_user_module $MODULES/mod_authz_user.so
LoadModule ssl_module $MODULES/mod_ssl.so
TypesConfig /etc/mime.types
User nobody
Group nogroup
Listen 127.0.0.1:$APACHE_PORT
Listen 127.0.0.1:$APACHE_TLS_PORT https
<VirtualHost *:$APACHE_TLS_PORT>
  SSLEngine on
  SSLCertificateFile "$APACHE_DIR/server.crt"
  SSLCertificateKeyFile "$APACHE_DIR/server.key"
</VirtualHost>
KeepAlive On
DavLockDB "$APACHE_DIR/lock/DavLock"
AuthnCacheSOCache shmcb
LogFormat "%h %u %t \"%r\" %>s %b" kivo
CustomLog "$APACHE_DIR/access.log" kivo
DocumentRoot "$APACHE_DIR/empty"
Alias /data "$APACHE_DIR/data"
# As Debian's apache2.conf has it: no .htaccess looked for in every folder.
<Directory />
  AllowOverride None
</Directory>
<Directory "$APACHE_DIR/data">
  Dav On
  AuthType Basic
  AuthName bench
  AuthBasicProvider socache file
  AuthnCacheProvideFor file
  AuthUserFile "$APACHE_DIR/passwords"
  Require valid-user
</Directory>
EOF
mkdir -p "$APACHE_DIR/empty"
"${SERVER_CPU[@]}" /usr/sbin/apache2 -f "$APACHE_DIR/httpd.conf" -DFOREGROUND &
BENCH_PIDS+=("$!")

# ---- nginx with dav-ext -----------------------------------------------------------
NGINX_DIR="$WORK/nginx"
mkdir -p "$NGINX_DIR/tmp"
cp -a "$WORK/local/src" "$NGINX_DIR/data"
NGINX_PORT="$(free_port)"
cat >"$NGINX_DIR/nginx.conf" <<EOF
load_module /usr/lib/nginx/modules/ngx_http_dav_ext_module.so;
user root;
worker_processes 1;
daemon off;
pid $NGINX_DIR/pid;
error_log $NGINX_DIR/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $NGINX_DIR/tmp;
  client_max_body_size 0;
  server {
    listen 127.0.0.1:$NGINX_PORT;
    location /data/ {
      root $NGINX_DIR;
      dav_methods PUT DELETE MKCOL COPY MOVE;
      dav_ext_methods PROPFIND OPTIONS;
      create_full_put_path on;
    }
  }
}
EOF
"${SERVER_CPU[@]}" nginx -c "$NGINX_DIR/nginx.conf" &
BENCH_PIDS+=("$!")
for port in "$APACHE_PORT" "$APACHE_TLS_PORT" "$NGINX_PORT" "$OURS_PORT" "$OURS_TLS_PORT"; do
  wait_for_port "$port" || die "nothing listens on $port"
done
# Like the daemon, plain Apache writes an access line per request (above)
# and holds a lock database, which mod_dav_fs opens for every PROPFIND
# member once the file exists (the daemon makes its own at every start):
# one LOCK and UNLOCK makes plain Apache's.
token="$(curl -s -D - -o /dev/null -u "$USER_NAME:$PASSWORD" -X LOCK -H 'Content-Type: application/xml' \
  --data '<?xml version="1.0"?><D:lockinfo xmlns:D="DAV:"><D:lockscope><D:exclusive/></D:lockscope><D:locktype><D:write/></D:locktype></D:lockinfo>' \
  "http://127.0.0.1:$APACHE_PORT/data/4k" | sed -n 's/^Lock-Token: *\(<[^>]*>\).*/\1/ip')"
[ -n "$token" ] || die "plain Apache took no lock"
curl -s -o /dev/null -u "$USER_NAME:$PASSWORD" -X UNLOCK -H "Lock-Token: $token" "http://127.0.0.1:$APACHE_PORT/data/4k"
ls "$APACHE_DIR/lock/"DavLock* >/dev/null 2>&1 || die "plain Apache made no lock database"

# ---- workloads --------------------------------------------------------------------
# base URL (SERVER [http|https]) and credentials per server
url() {
  case "$1 ${2:-http}" in
    "ours http") echo "http://127.0.0.1:$OURS_PORT/homes/$USER_NAME/data" ;;
    "ours https") echo "https://127.0.0.1:$OURS_TLS_PORT/homes/$USER_NAME/data" ;;
    "apache http") echo "http://127.0.0.1:$APACHE_PORT/data" ;;
    "apache https") echo "https://127.0.0.1:$APACHE_TLS_PORT/data" ;;
    "nginx http") echo "http://127.0.0.1:$NGINX_PORT/data" ;;
  esac
}
auth() { [ "$1" != nginx ] && echo "-k -u $USER_NAME:$PASSWORD" || true; }
remote() {
  local extra=""
  [ "$1" != nginx ] && extra=",user=$USER_NAME,pass=$(rclone obscure "$PASSWORD")"
  echo ":webdav,url='$(url "$1")',vendor=other$extra:"
}
client() { "${CLIENT_CPU[@]}" "$@"; }
seconds() { python3 -c 'import time; print(time.monotonic())'; }

get4k() { # requests per second
  local header=()
  [ "$1" != nginx ] && header=(-H "Authorization: Basic $(printf '%s' "$USER_NAME:$PASSWORD" | base64)")
  client wrk -t1 -c8 -d"${WRK_SECONDS}s" "${header[@]}" "$(url "$1")/4k" |
    sed -n 's/^Requests\/sec: *//p'
}
propfind() { # seconds, median of 5
  # shellcheck disable=SC2046
  for _ in 1 2 3 4 5; do
    client curl -s -o /dev/null $(auth "$1") -X PROPFIND -H "Depth: 1" -w '%{time_total}\n' \
      "$(url "$1")/many/"
  done | sort -n | sed -n 3p
}
rclone_up() { # seconds
  local start
  start="$(seconds)"
  client rclone copy --transfers 4 --checkers 4 "$WORK/local/src/many" "$(remote "$1")up/r$2" 2>>"$WORK/rclone.log"
  python3 -c "import time; print(time.monotonic() - $start)"
}
rclone_down() { # seconds
  local start
  rm -rf "$WORK/local/down"
  start="$(seconds)"
  client rclone copy --transfers 4 --checkers 4 "$(remote "$1")many" "$WORK/local/down" 2>>"$WORK/rclone.log"
  python3 -c "import time; print(time.monotonic() - $start)"
}
put_once() { # SERVER ROUND [PROTO]: seconds (the first makes the file, the later ones replace it)
  # shellcheck disable=SC2046
  client curl -s -o /dev/null $(auth "$1") --tlsv1.3 -T "$WORK/local/src/big" \
    -w '%{time_total}\n' "$(url "$1" "${3:-http}")/up/big-$2"
}
get_once() { # SERVER ROUND [PROTO]: seconds
  # shellcheck disable=SC2046
  client curl -s -o /dev/null $(auth "$1") --tlsv1.3 -w '%{time_total}\n' "$(url "$1" "${3:-http}")/big"
}
server_pid() { # the server's first process
  case "$1" in
    ours) pgrep -o -f "$ROOT/var/lib/kivo/webdav/httpd.conf" ;;
    apache) pgrep -o -f "$APACHE_DIR/httpd.conf" ;;
  esac
}
cpu_line() { # SERVER PROTO OP COUNT [SIZE]: "<CPU us a request> <requests/s> <errors>"
  client python3 "$HERE/webdav_cpu.py" "$(server_pid "$1")" "$(url "$1" "$2")" \
    "$USER_NAME:$PASSWORD" "$3" "$4" "${5:-4096}"
}
pss_mb() { # proportional set size of all the server's processes: shared pages counted once
  local pids pid total=0 kb
  case "$1" in
    ours) pids="$(pgrep -f "$ROOT/var/lib/kivo/webdav/httpd.conf" || true)" ;;
    apache) pids="$(pgrep -f "$APACHE_DIR/httpd.conf" || true)" ;;
    nginx) pids="$(pgrep -f "$NGINX_DIR/nginx.conf" || true)" ;;
  esac
  for pid in $pids; do
    kb="$(sed -n 's/^Pss: *\([0-9]*\) kB/\1/p' "/proc/$pid/smaps_rollup" 2>/dev/null || true)"
    total=$((total + ${kb:-0}))
  done
  python3 -c "print($total / 1024)"
}

# ---- many users: one folder of 50 files each, per server -------------------------
make_users() {
  local i uid template="$WORK/local/m50"
  mkdir -p "$template"
  for i in $(seq 0 49); do head -c 1024 /dev/urandom >"$template/$(printf 'f%04d.txt' "$i")"; done
  : >"$WORK/users-ours"
  : >"$WORK/users-apache"
  for i in $(seq 1 "$USERS"); do
    KIVO_ROOT="$ROOT" "$KIVO_WEBAPI" useradd "m$i" >/dev/null
    printf '%s\n' "m$i-secret" | KIVO_ROOT="$ROOT" "$KIVO_WEBAPI" passwd "m$i" >/dev/null
    uid="$(sed -n "s/^m$i:x:\([0-9]*\):.*/\1/p" "$ROOT/etc/passwd")"
    cp -a "$template" "$ROOT/volume1/homes/m$i/m50"
    chown -R "$uid" "$ROOT/volume1/homes/m$i/m50"
    echo "/homes/m$i/m50/ 50 m$i:m$i-secret" >>"$WORK/users-ours"
    cp -a "$template" "$APACHE_DIR/data/m$i"
    echo "/data/m$i/ 50 m$i:m$i-secret" >>"$WORK/users-apache"
    htpasswd -b -s "$APACHE_DIR/passwords" "m$i" "m$i-secret" 2>/dev/null
  done
  chown -R nobody "$APACHE_DIR/data"
}
[ "$USERS" -gt 0 ] && make_users
# Two CPU-bound processes beside the load, for the busy line.
burners_start() {
  local _
  for _ in 1 2; do
    python3 -c 'while True: pass' &
    BURNERS+=("$!")
  done
}
burners_stop() {
  local pid
  for pid in "${BURNERS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${BURNERS[@]}"; do wait "$pid" 2>/dev/null || true; done
  BURNERS=()
}
rss_mb() { # resident set size of all the server's processes, summed
  local pids pid total=0 kb
  case "$1" in
    ours) pids="$(pgrep -f "$ROOT/var/lib/kivo/webdav/httpd.conf" || true)" ;;
    apache) pids="$(pgrep -f "$APACHE_DIR/httpd.conf" || true)" ;;
  esac
  for pid in $pids; do
    kb="$(sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status" 2>/dev/null || true)"
    total=$((total + ${kb:-0}))
  done
  python3 -c "print($total / 1024)"
}
many_users() { # SERVER SOURCES [SECONDS]: "<requests/s> <errors>" ("<s> <errors>" for 0)
  local port="$OURS_PORT"
  [ "$1" = apache ] && port="$APACHE_PORT"
  client python3 "$HERE/many_users.py" "$port" "${3:-$USERS_SECONDS}" "$2" "$WORK/users-$1"
}

# Every server warm (workers started, the login remembered) before the rounds.
for server in ours apache nginx; do
  WRK_SECONDS=1 get4k "$server" >/dev/null
done

# HOLD=1: no rounds; the servers stay up for a profiler until this script is
# interrupted. $WORK/servers.env says where each listens and its processes.
if [ "${HOLD:-0}" = 1 ]; then
  {
    echo "OURS_URL=$(url ours) OURS_AUTH='$USER_NAME:$PASSWORD'"
    echo "OURS_PIDS='$(pgrep -f "$ROOT/var/lib/kivo/webdav/httpd.conf" | tr '\n' ' ')'"
    echo "APACHE_URL=$(url apache)"
    echo "APACHE_PIDS='$(pgrep -f "$APACHE_DIR/httpd.conf" | tr '\n' ' ')'"
    echo "USERS_OURS=$WORK/users-ours USERS_APACHE=$WORK/users-apache"
    echo "OURS_PORT=$OURS_PORT APACHE_PORT=$APACHE_PORT"
  } >"$WORK/servers.env"
  echo "servers up: $WORK/servers.env"
  while :; do sleep 1; done
fi

declare -A results
# RECORD=FILE also appends each figure there as it is taken (a run cut
# short keeps them).
record() {
  results["$1 $2"]+="$3 "
  [ -z "${RECORD:-}" ] || echo "$1 $2 $3" >>"$RECORD"
}
# The CPU lines: per method, ours and plain Apache in turns (the one going
# first alternating by round), HTTP then HTTPS.
cpu_round() {
  local round="$1" proto op count size key server cpu rate errors order=(ours apache)
  [ $((round % 2)) = 0 ] && order=(apache ours)
  local small=$((REQUESTS / 10))
  for proto in http https; do
    for line in "get4k get:4k $REQUESTS" "pf300 propfind:p300 $small" "pf$N propfind:many $small" \
      "put4k put:c$round$proto- $REQUESTS" "move move:c$round$proto- $REQUESTS" \
      "delete delete:c$round$proto- $REQUESTS" "put1m replace:up/m1 $small 1048576"; do
      read -r key op count size <<<"$line"
      for server in "${order[@]}"; do
        read -r cpu rate errors <<<"$(cpu_line "$server" "$proto" "$op" "$count" "${size:-4096}")"
        record "cpu-$proto-$key" "$server" "$cpu"
        record "rate-$proto-$key" "$server" "$rate"
        record "errors-$proto-$key" "$server" "$errors"
      done
    done
  done
}
for round in $(seq "$ROUNDS"); do
  step cpu && cpu_round "$round"
  for server in ours apache nginx; do
    if step get4k; then record get4k "$server" "$(get4k "$server")"; fi
    if step propfind; then record propfind "$server" "$(propfind "$server")"; fi
    if step rclone; then
      record up "$server" "$(rclone_up "$server" "$round")"
      record down "$server" "$(rclone_down "$server")"
    fi
    record rss "$server" "$(pss_mb "$server")"
  done
  # One big transfer swings by a third with the machine's state: the
  # servers take turns transfer by transfer, median of 5 each.
  if step big; then
    for proto in http https; do
      for kind in put get; do
        declare -A samples=()
        for _ in 1 2 3 4 5; do
          for server in ours apache; do
            samples[$server]+="$("${kind}_once" "$server" "$round" "$proto") "
          done
        done
        for server in ours apache; do
          # shellcheck disable=SC2086
          record "$kind-$proto" "$server" "$(printf '%s\n' ${samples[$server]} | sort -n | sed -n 3p)"
        done
        unset samples
      done
    done
  fi
  [ "$USERS" -gt 0 ] || continue
  if step users; then
    for server in ours apache; do
      # Each account's first login (a password hash) before the timed mix, as
      # the single-user lines start logged in; how long they took is a line.
      read -r took errors <<<"$(many_users "$server" many 0)"
      record logins "$server" "$took"
      record errors-logins "$server" "$errors"
      for sources in many one; do
        read -r rate errors <<<"$(many_users "$server" "$sources")"
        record "users-$sources" "$server" "$rate"
        record "errors-$sources" "$server" "$errors"
        record "users-rss-$sources" "$server" "$(rss_mb "$server")"
      done
    done
  fi
  if step busy; then
    burners_start
    for server in ours apache; do
      read -r rate errors <<<"$(many_users "$server" many)"
      record "users-busy" "$server" "$rate"
      record "errors-busy" "$server" "$errors"
      record "users-rss-busy" "$server" "$(rss_mb "$server")"
    done
    burners_stop
  fi
done

python3 - "$N" "$ROUNDS" <<EOF
import statistics, sys
raw = """$(for k in "${!results[@]}"; do echo "$k ${results[$k]}"; done)"""
r = {}
for line in raw.strip().splitlines():
    w, s, *v = line.split()
    r[(w, s)] = statistics.median(float(x) for x in v)
n, rounds = sys.argv[1], sys.argv[2]
print("medians of %s interleaved rounds" % rounds)
if ("cpu-http-get4k", "ours") in r:
    print("CPU a request (us, all the server's threads) and requests/s on one kept connection; "
          "ratio = ours' CPU / Apache's (<1 is better)")
    for proto in ("http", "https"):
        for key, label in (("get4k", "GET 4 KiB"), ("pf300", "PROPFIND Depth 1, 300"),
                           ("pf" + n, "PROPFIND Depth 1, " + n), ("put4k", "PUT 4 KiB (new)"),
                           ("move", "MOVE"), ("delete", "DELETE"), ("put1m", "PUT 1 MiB")):
            o, a = r[("cpu-%s-%s" % (proto, key), "ours")], r[("cpu-%s-%s" % (proto, key), "apache")]
            print("%-5s %-24s ours %9.1f us %8.1f/s  apache %9.1f us %8.1f/s  ratio %.2f  errors %d / %d"
                  % (proto, label, o, r[("rate-%s-%s" % (proto, key), "ours")], a,
                     r[("rate-%s-%s" % (proto, key), "apache")], o / a if a else 0,
                     r[("errors-%s-%s" % (proto, key), "ours")], r[("errors-%s-%s" % (proto, key), "apache")]))
rows = [("get4k", "GET 4 KiB (wrk, 8 conn)", "req/s", True),
        ("propfind", "PROPFIND Depth 1, %s files" % n, "s", False),
        ("up", "rclone copy up, %s files" % n, "s", False),
        ("down", "rclone copy down, %s files" % n, "s", False),
        ("put-http", "PUT %s MiB, HTTP" % "$BIG_MB", "s", False),
        ("get-http", "GET %s MiB, HTTP" % "$BIG_MB", "s", False),
        ("put-https", "PUT %s MiB, HTTPS" % "$BIG_MB", "s", False),
        ("get-https", "GET %s MiB, HTTPS" % "$BIG_MB", "s", False),
        ("rss", "memory after the load (PSS)", "MB", False)]
print("ratio = ours against plain Apache (speed; >1 is better; memory: ours/Apache)")
for key, label, unit, higher_better in rows:
    if (key, "ours") not in r:
        continue
    o, a, x = (r.get((key, s), 0) for s in ("ours", "apache", "nginx"))
    if key == "rss":
        ratio = o / a if a else 0
    else:
        ratio = (o / a if higher_better else a / o) if o and a else 0
    print("%-30s ours %10.3f  apache %10.3f  nginx %10.3f %-5s  ratio %.2f"
          % (label, o, a, x, unit, ratio))
users = int("$USERS")
if ("logins", "ours") in r:
    print("%-30s ours %10.3f  apache %10.3f  %-18s errors %d / %d"
          % ("%d first logins at once" % users, r[("logins", "ours")], r[("logins", "apache")],
             "s", r[("errors-logins", "ours")], r[("errors-logins", "apache")]))
for sources, where in (("many", "%d addresses" % users), ("one", "one address"),
                       ("busy", "%d addresses, 2 CPU burners" % users)):
    if ("users-" + sources, "ours") not in r:
        continue
    o, a = r[("users-" + sources, "ours")], r[("users-" + sources, "apache")]
    print("%-30s ours %10.1f  apache %10.1f  %-18s ratio %.2f  errors %d / %d"
          % ("%d users, %s" % (users, where), o, a, "req/s", o / a if a else 0,
             r[("errors-" + sources, "ours")], r[("errors-" + sources, "apache")]))
    o, a = r[("users-rss-" + sources, "ours")], r[("users-rss-" + sources, "apache")]
    print("%-30s ours %10.1f  apache %10.1f  %-18s ratio %.2f"
          % ("  memory after (sum of RSS)", o, a, "MB", o / a if a else 0))
EOF

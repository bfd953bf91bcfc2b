#!/bin/bash
# HTTP throughput of a logged-in WebDAV get through `kivo-webapi serve`,
# against nginx serving the same JSON answer from a static file: the figure
# is the host's requests per second as a share of nginx's.
#
#   bench/http.sh [BUILD_DIR]     (default build-bench in the checkout)
#
# Environment: DURATION (wrk seconds per server, default 5), CONNECTIONS
# (default 4).
# When taskset is there each server gets CPU 1 and wrk CPU 0, so on a
# two-core machine neither steals the other's core.
# Loopback only; everything started here is stopped on exit.

set -euo pipefail

BUILD="$(cd "${1:-$(dirname "$0")/../build-bench}" && pwd)"
DURATION="${DURATION:-5}"
CONNECTIONS="${CONNECTIONS:-4}"
HERE="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=bench/lib.sh
. "$HERE/lib.sh"

need_tools wrk nginx curl python3
[ "$(id -u)" = 0 ] || die "run as root (nginx runs with a config of its own as root)"

bench_setup http

BODY='{"api":"KIVO.Core.FileServ.WebDAV","version":1,"method":"get","params":{}}'

# ---- the host -------------------------------------------------------------------
ROOT="$WORK/root"
kivo_init_root "$ROOT"
kivo_start_serve "$ROOT" "$WORK/serve.log" "${SERVER_CPU[@]}"
HOST_PID="${BENCH_PIDS[-1]}"
kivo_login

mkdir -p "$WORK/www/webapi"
curl -sS -o "$WORK/www/webapi/entry" -H 'Content-Type: application/json' \
  -b "kivo_session=$KIVO_SESSION" -d "$BODY" "http://127.0.0.1:${KIVO_PORT}/webapi/entry"
grep -q '"success":true' "$WORK/www/webapi/entry" ||
  die "WebDAV get through the host failed: $(cat "$WORK/www/webapi/entry")"

# ---- nginx, with the same answer as a static file --------------------------------
NGINX_PORT="$(free_port)"
mkdir -p "$WORK/nginx"
cat >"$WORK/nginx/nginx.conf" <<EOF
daemon off;
user root;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log warn;
events { worker_connections 256; }
http {
  access_log $WORK/nginx/access.log;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  keepalive_requests 100000;
  server {
    listen 127.0.0.1:$NGINX_PORT;
    root $WORK/www;
    default_type application/json;
    # The static module refuses POST; answering the refusal with the file
    # serves it to the POSTs the host gets.
    error_page 405 =200 \$uri;
  }
}
EOF
"${SERVER_CPU[@]}" nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" -e "$WORK/nginx/error.log" \
  2>"$WORK/nginx/stderr.log" &
BENCH_PIDS+=("$!")
NGINX_MASTER="$!"
wait_for_port "$NGINX_PORT" || die "nginx did not come up: $(cat "$WORK/nginx/error.log" "$WORK/nginx/stderr.log")"
cmp -s <(curl -sS -H 'Content-Type: application/json' -d "$BODY" \
  "http://127.0.0.1:${NGINX_PORT}/webapi/entry") "$WORK/www/webapi/entry" ||
  die "nginx does not answer the same JSON"

# ---- load ----------------------------------------------------------------------------
# The settings files init just wrote are read anew on every call until they
# are two seconds old (an edit within the same tick could otherwise go
# unseen); a server that has been running a while reads them from the kept
# copy, which is what is measured here.
sleep 2
cat >"$WORK/post.lua" <<EOF
wrk.method = "POST"
wrk.body = '$BODY'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Cookie"] = "kivo_session=$KIVO_SESSION"
EOF

# CPU time (user + system, all threads) process $1 has used, in ms.
cpu_ms() {
  awk -v tck="$(getconf CLK_TCK)" '{print ($14 + $15) * 1000 / tck}' "/proc/$1/stat"
}

# Runs wrk against port $1 while measuring process $3's CPU time; prints its
# report into $2 and "REQUESTS_PER_SECOND CPU_US_PER_REQUEST" on stdout. The
# CPU time per request hardly moves when other work shares the machine.
load() {
  local port="$1" report="$2" pid="$3" before after
  before="$(cpu_ms "$pid")"
  "${CLIENT_CPU[@]}" wrk -t 1 -c "$CONNECTIONS" -d "${DURATION}s" -s "$WORK/post.lua" \
    "http://127.0.0.1:${port}/webapi/entry" >"$report"
  after="$(cpu_ms "$pid")"
  if grep -q 'Non-2xx' "$report"; then
    echo "warning: $(grep 'Non-2xx' "$report") from port $port" >&2
  fi
  awk -v ms="$(echo "$after - $before" | bc -l)" \
    '/requests in/ {n = $1} /^Requests\/sec:/ {rps = $2} END {printf "%s %.1f\n", rps, ms * 1000 / n}' \
    "$report"
}

read -r host_rps host_cpu <<<"$(load "$KIVO_PORT" "$WORK/wrk-host.txt" "$HOST_PID")"
NGINX_WORKER="$(pgrep -P "$NGINX_MASTER" | head -n1)"
read -r nginx_rps nginx_cpu <<<"$(load "$NGINX_PORT" "$WORK/wrk-nginx.txt" "$NGINX_WORKER")"

echo "WebDAV get over HTTP, logged in, ${CONNECTIONS} connections, ${DURATION}s each" \
  "${SERVER_CPU:+(server on CPU 1, wrk on CPU 0)}"
echo "--- kivo-webapi serve"
sed -n '/Latency/,/Transfer/p' "$WORK/wrk-host.txt"
echo "--- nginx, static file"
sed -n '/Latency/,/Transfer/p' "$WORK/wrk-nginx.txt"
python3 - "$host_rps" "$nginx_rps" "$host_cpu" "$nginx_cpu" <<'EOF'
import sys
host, nginx, host_cpu, nginx_cpu = map(float, sys.argv[1:5])
ratio = host / nginx
verdict = "met" if ratio >= 0.5 else "MISSED"
print(f"kivo-webapi serve {host:10.0f} req/s {host_cpu:8.1f} us CPU/request")
print(f"nginx static file {nginx:10.0f} req/s {nginx_cpu:8.1f} us CPU/request")
print(f"host / nginx      {ratio:10.3f}   target >= 0.5    {verdict}")
print(f"nginx / host CPU  {nginx_cpu / host_cpu:10.3f}   (the same share, from CPU time per request)")
EOF

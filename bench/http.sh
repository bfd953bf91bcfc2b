#!/bin/bash
# HTTP throughput of a logged-in WebDAV get through `kivo-webapi serve`,
# against nginx serving the same JSON answer from a static file: the figure
# is the host's requests per second as a share of nginx's.
#
#   bench/http.sh [BUILD_DIR]     (default /work/build-bench)
#
# Environment: DURATION (wrk seconds per server, default 5), CONNECTIONS
# (default 4).
# When taskset is there each server gets CPU 1 and wrk CPU 0, so on a
# two-core machine neither steals the other's core.
# Loopback only; everything started here is stopped on exit.

set -euo pipefail

BUILD="$(cd "${1:-/work/build-bench}" && pwd)"
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
wait_for_port "$NGINX_PORT" || die "nginx did not come up: $(cat "$WORK/nginx/error.log" "$WORK/nginx/stderr.log")"
cmp -s <(curl -sS -H 'Content-Type: application/json' -d "$BODY" \
  "http://127.0.0.1:${NGINX_PORT}/webapi/entry") "$WORK/www/webapi/entry" ||
  die "nginx does not answer the same JSON"

# ---- load ----------------------------------------------------------------------------
cat >"$WORK/post.lua" <<EOF
wrk.method = "POST"
wrk.body = '$BODY'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Cookie"] = "kivo_session=$KIVO_SESSION"
EOF

# Runs wrk against port $1; prints its report into $2 and the requests
# per second on stdout.
load() {
  local port="$1" report="$2"
  "${CLIENT_CPU[@]}" wrk -t 1 -c "$CONNECTIONS" -d "${DURATION}s" -s "$WORK/post.lua" \
    "http://127.0.0.1:${port}/webapi/entry" >"$report"
  if grep -q 'Non-2xx' "$report"; then
    echo "warning: $(grep 'Non-2xx' "$report") from port $port" >&2
  fi
  awk '/^Requests\/sec:/ {print $2}' "$report"
}

host_rps="$(load "$KIVO_PORT" "$WORK/wrk-host.txt")"
nginx_rps="$(load "$NGINX_PORT" "$WORK/wrk-nginx.txt")"

echo "WebDAV get over HTTP, logged in, ${CONNECTIONS} connections, ${DURATION}s each" \
  "${SERVER_CPU:+(server on CPU 1, wrk on CPU 0)}"
echo "--- kivo-webapi serve"
sed -n '/Latency/,/Transfer/p' "$WORK/wrk-host.txt"
echo "--- nginx, static file"
sed -n '/Latency/,/Transfer/p' "$WORK/wrk-nginx.txt"
python3 - "$host_rps" "$nginx_rps" <<'EOF'
import sys
host, nginx = float(sys.argv[1]), float(sys.argv[2])
ratio = host / nginx
verdict = "met" if ratio >= 0.5 else "MISSED"
print(f"kivo-webapi serve {host:10.0f} req/s")
print(f"nginx static file {nginx:10.0f} req/s")
print(f"host / nginx      {ratio:10.3f}   target >= 0.5    {verdict}")
EOF

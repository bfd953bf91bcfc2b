# shellcheck shell=bash
# Shell helpers of the HTTP benchmarks: a temporary root with
# `kivo-webapi serve` on a loopback port, and the admin's session.
# Sourced by http.sh and caldav-peer.sh; they set BUILD before sourcing.

KIVO_WEBAPI="${BUILD}/kivo-webapi"
KIVO_ADMIN_PASSWORD="bench-secret"
BENCH_PIDS=()

die() {
  echo "$(basename "$0"): $*" >&2
  exit 1
}

# Dies unless every tool named is on the PATH and the build has kivo-webapi.
need_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || die "$tool is missing (bench/run.sh installs it)"
  done
  [ -x "$KIVO_WEBAPI" ] || die "no $KIVO_WEBAPI: build first"
}

# The processes this script started, stopped by pid (children first).
stop_started() {
  local pid
  for pid in "${BENCH_PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${BENCH_PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  BENCH_PIDS=()
}

# A temporary folder for the run in WORK, removed (with everything started
# stopped) on exit unless KIVO_BENCH_KEEP=1; and, with two CPUs or more,
# SERVER_CPU and CLIENT_CPU to pin the servers and the load on CPUs 1 and 0.
# shellcheck disable=SC2034  # used by the scripts that source this file
bench_setup() {
  WORK="$(mktemp -d "${TMPDIR:-/tmp}/kivo-$1-bench-XXXXXX")"
  trap 'stop_started; [ "${KIVO_BENCH_KEEP:-0}" = 1 ] || rm -rf "$WORK"' EXIT
  trap 'exit 130' INT TERM
  SERVER_CPU=()
  CLIENT_CPU=()
  if command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ]; then
    SERVER_CPU=(taskset -c 1)
    CLIENT_CPU=(taskset -c 0)
  fi
}

# A loopback port nobody listens on now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits up to 10 s until `file` holds a line matching `pattern`.
wait_for_line() {
  local file="$1" pattern="$2" _
  for _ in $(seq 100); do
    grep -q -- "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# Waits up to 10 s until something accepts connections on 127.0.0.1:port.
wait_for_port() {
  local port="$1" _
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/${port}") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# Lays out a root in $1 with the admin password KIVO_ADMIN_PASSWORD.
kivo_init_root() {
  local root="$1"
  mkdir -p "$root"
  chmod 0755 "$root"
  printf '%s\n' "$KIVO_ADMIN_PASSWORD" >"$root/.admin-password"
  KIVO_ROOT="$root" "$KIVO_WEBAPI" init --admin-password-file "$root/.admin-password" >/dev/null ||
    die "kivo-webapi init failed in $root"
  rm -f "$root/.admin-password"
}

# Starts `kivo-webapi serve` in root $1 on a free loopback port, with the
# access log in $2; sets KIVO_PORT. Extra arguments go before the command
# (for example "taskset -c 1").
kivo_start_serve() {
  local root="$1" log="$2"
  shift 2
  local out="${log}.stdout"
  KIVO_ROOT="$root" "$@" "$KIVO_WEBAPI" serve --listen 127.0.0.1:0 >"$out" 2>"$log" &
  BENCH_PIDS+=("$!")
  wait_for_line "$out" "^listening on " || die "kivo-webapi serve did not come up (see $log)"
  KIVO_PORT="$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$out" | head -n1)"
}

# ours_call ARGS...: a web API call as admin against $ROOT, with the daemons.
ours_call() {
  KIVO_ROOT="$ROOT" KIVO_DAEMONS=on KIVO_WEBDAV_ADDRESS=127.0.0.1 "${SERVER_CPU[@]}" \
    "$KIVO_WEBAPI" call --user admin "$@" >/dev/null || die "kivo-webapi call $* failed"
}

# kivo_caldav_behind_apache: WebDAV over HTTP on a free loopback port with
# CalDAV behind it, in the root $ROOT that kivo_start_serve serves. Sets
# WEBDAV_PORT, ADMIN_UID and OURS (admin's CalDAV home).
kivo_caldav_behind_apache() {
  WEBDAV_PORT="$(free_port)"
  ours_call KIVO.Core.FileServ.WebDAV 1 set \
    "{\"enable_http\":true,\"http_port_num\":$WEBDAV_PORT,\"enable_https\":false}"
  ours_call KIVO.Core.FileServ.WebDAV.CalDAV 1 set '{"enable":true}'
  ADMIN_UID="$(awk -F: '$1 == "admin" {print $3}' "$ROOT/etc/passwd")"
  OURS="http://127.0.0.1:$WEBDAV_PORT/caldav/admin/"
}

# Logs the admin in on KIVO_PORT; sets KIVO_SESSION (the cookie's value).
kivo_login() {
  local jar
  jar="$(mktemp)"
  curl -sS -o /dev/null -c "$jar" -H 'Content-Type: application/json' \
    -d "{\"account\":\"admin\",\"password\":\"${KIVO_ADMIN_PASSWORD}\"}" \
    "http://127.0.0.1:${KIVO_PORT}/webapi/auth" || die "login request failed"
  KIVO_SESSION="$(awk -F'\t' '$6 == "kivo_session" {print $7}' "$jar")"
  rm -f "$jar"
  [ -n "$KIVO_SESSION" ] || die "login as admin gave no session cookie"
}

# Writes Radicale's own configuration for a peer run: loopback port $2, no
# authentication, its stock file storage under $1/collections; the file is
# $1/config.
radicale_peer_config() {
  mkdir -p "$1/collections"
  cat >"$1/config" <<EOC
[server]
hosts = 127.0.0.1:$2
[auth]
type = none
[rights]
type = owner_only
[storage]
filesystem_folder = $1/collections
[web]
type = none
[logging]
level = warning
EOC
}

# Starts Radicale on its own storage as the peer (radicale_peer_config's
# configuration in $1, loopback port $2), on the servers' CPU.
radicale_peer_start() {
  radicale_peer_config "$1" "$2"
  "${SERVER_CPU[@]}" "$PYTHON" -m radicale --config "$1/config" 2>"$1/log" &
  BENCH_PIDS+=("$!")
  wait_for_port "$2" || die "radicale did not come up: $(cat "$1/log")"
}

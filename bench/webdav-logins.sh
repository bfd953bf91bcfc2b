#!/bin/bash
# What a login to the WebDAV daemon costs with 10 accounts in the root's
# account files and with ACCOUNTS (10,000) of them: two roots, each with its
# own daemon set up through the module as bench/webdav-peer.sh does, the
# same accounts to log in with in both, and in the large one ACCOUNTS - 10
# more (passwd lines, yescrypt-length shadow lines, a thousand groups of ten
# members each) ahead of them in every file, the worst place for a reader
# that scans.
#
#   bench/webdav-logins.sh [BUILD_DIR]     (default build-bench in the checkout)
#
# A login here is a new connection and its first request (a GET of a small
# file with Basic credentials, "Connection: close"), timed by the client
# from connect to the server's close; the client takes turns between the
# two daemons login by login. Two kinds, in rounds:
#   remembered  the same credentials again (the daemon remembers a checked
#               login for a minute: no password hash), LOGINS per round;
#   cold        an account's first login (a yescrypt hash), COLD per round,
#               each account used once.
# Prints the median per root and the ratio large/small, then the daemon's
# memory (sum of RSS of its processes) in each root after the logins.
# Environment: ACCOUNTS (default 10000), ROUNDS (default 6), LOGINS
# (default 500), COLD (default 1). Needs root; loopback only; everything
# started here is stopped on exit. ACCOUNTS=10 runs two equal roots: the
# ratio's spread on the machine as it is.

set -euo pipefail

BUILD="$(cd "${1:-$(dirname "$0")/../build-bench}" && pwd)"
ACCOUNTS="${ACCOUNTS:-10000}"
ROUNDS="${ROUNDS:-6}"
LOGINS="${LOGINS:-500}"
COLD="${COLD:-1}"
HERE="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=bench/lib.sh
. "$HERE/lib.sh"

need_tools curl python3
[ "$(id -u)" = 0 ] || die "run as root"
bench_setup logins
chmod 0755 "$WORK"
USER_NAME=bench
PASSWORD=bench-secret
# root, admin and guest come with every root; bench and the cold accounts
# make the small root's 10 when ROUNDS * COLD is 6.
COLD_ACCOUNTS=$((ROUNDS * COLD))

# Lays out root $1 with bench and the cold accounts c1...; sets PORT_$2.
make_root() {
  local root="$1" i uid
  kivo_init_root "$root"
  for i in $USER_NAME $(seq -f 'c%g' 1 "$COLD_ACCOUNTS"); do
    KIVO_ROOT="$root" "$KIVO_WEBAPI" useradd "$i" >/dev/null
    printf '%s\n' "$i-secret" | KIVO_ROOT="$root" "$KIVO_WEBAPI" passwd "$i" >/dev/null
  done
  printf '%s\n' "$PASSWORD" | KIVO_ROOT="$root" "$KIVO_WEBAPI" passwd "$USER_NAME" >/dev/null
  uid="$(sed -n "s/^$USER_NAME:x:\([0-9]*\):.*/\1/p" "$root/etc/passwd")"
  head -c 512 /dev/urandom >"$root/volume1/homes/$USER_NAME/small"
  for i in $(seq 1 "$COLD_ACCOUNTS"); do
    head -c 512 /dev/urandom >"$root/volume1/homes/c$i/small"
    chown "$(sed -n "s/^c$i:x:\([0-9]*\):.*/\1/p" "$root/etc/passwd")" "$root/volume1/homes/c$i/small"
  done
  chown "$uid" "$root/volume1/homes/$USER_NAME/small"
}

# Puts $2 more accounts into root $1's files, ahead of its own users (after
# root's lines), replacing each file by rename as the system's tools do.
add_accounts() {
  python3 - "$1/etc" "$2" <<'EOF'
import base64, os, sys
etc, extra = sys.argv[1], int(sys.argv[2])
b64 = lambda n: base64.b64encode(os.urandom(n), b"./").decode()[:n]
names = ["u%05d" % i for i in range(extra)]
lines = {
    "passwd": ["%s:x:%d:100:%s:/volume1/homes/%s:/usr/sbin/nologin" % (n, 20000 + i, n, n)
               for i, n in enumerate(names)],
    "shadow": ["%s:$y$j9T$%s$%s:19800:0:99999:7:::" % (n, b64(22), b64(43)) for n in names],
    "group": ["team%04d:x:%d:%s" % (t, 30000 + t, ",".join(names[t * 10:t * 10 + 10]))
              for t in range(extra // 10)],
}
for name, more in lines.items():
    path = os.path.join(etc, name)
    with open(path) as f:
        old = f.read().splitlines()
    # root's and the system's lines first, then the new accounts, then the
    # root's users (bench among them); groups simply go first.
    at = 0 if name == "group" else sum(1 for l in old if l.split(":")[0] in ("root", "admin", "guest"))
    st = os.stat(path)
    with open(path + ".new", "w") as f:
        f.write("\n".join(old[:at] + more + old[at:]) + "\n")
    os.chown(path + ".new", st.st_uid, st.st_gid)
    os.chmod(path + ".new", st.st_mode & 0o7777)
    os.rename(path + ".new", path)
EOF
}

# Starts root $1's daemon on a free port and prints the port (three tries:
# on a busy machine another program may take the port first).
start_daemon() {
  local port try
  for try in 1 2 3; do
    port="$(free_port)"
    if KIVO_ROOT="$1" KIVO_DAEMONS=on KIVO_WEBDAV_ADDRESS=127.0.0.1 "${SERVER_CPU[@]}" \
      "$KIVO_WEBAPI" call --user admin KIVO.Core.FileServ.WebDAV 1 set \
      "{\"enable_http\": true, \"http_port_num\": $port, \"enable_https\": false}" >/dev/null; then
      wait_for_port "$port" || die "nothing listens on $port"
      echo "$port"
      return
    fi
  done
  die "the daemon of $1 did not start"
}

SMALL="$WORK/small"
LARGE="$WORK/large"
make_root "$SMALL"
make_root "$LARGE"
add_accounts "$LARGE" $((ACCOUNTS - 10))
trap 'for r in "$SMALL" "$LARGE"; do KIVO_ROOT="$r" "$KIVO_WEBAPI" services --stop-all >/dev/null 2>&1; done; stop_started; [ "${KIVO_BENCH_KEEP:-0}" = 1 ] || rm -rf "$WORK"' EXIT
PORT_small="$(start_daemon "$SMALL")"
PORT_large="$(start_daemon "$LARGE")"
echo "accounts: small $(wc -l <"$SMALL/etc/passwd"), large $(wc -l <"$LARGE/etc/passwd");" \
  "account files of the large root: $(du -cb "$LARGE"/etc/{passwd,group,shadow} | tail -n1 | cut -f1) bytes"

# logins COUNT LABEL PORT USER PASSWORD [LABEL PORT USER PASSWORD...]:
# COUNT logins to each, taking turns login by login (the order turned
# every time), so that the machine's load meets both alike; prints
# "LABEL seconds" a line.
logins() {
  "${CLIENT_CPU[@]}" python3 - "$@" <<'EOF'
import base64, socket, sys, time
count, args = int(sys.argv[1]), sys.argv[2:]
targets = []
for i in range(0, len(args), 4):
    label, port, user, password = args[i:i + 4]
    token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
    request = ("GET /homes/%s/small HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic %s\r\n"
               "Connection: close\r\n\r\n" % (user, token)).encode()
    targets.append((label, int(port), user, request))
def login(port, user, request):
    start = time.perf_counter()
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(request)
    answer = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        answer += chunk
    s.close()
    took = time.perf_counter() - start
    if not answer.startswith(b"HTTP/1.1 200"):
        sys.exit("login of %s answered %r" % (user, answer[:40]))
    return took
for n in range(count):
    for label, port, user, request in (targets if n % 2 == 0 else targets[::-1]):
        print(label, login(port, user, request))
EOF
}

# Warm: workers up, bench's login remembered, the account files read.
logins 20 small "$PORT_small" "$USER_NAME" "$PASSWORD" large "$PORT_large" "$USER_NAME" \
  "$PASSWORD" >/dev/null
sleep 2

: >"$WORK/results"
for round in $(seq "$ROUNDS"); do
  logins "$LOGINS" small "$PORT_small" "$USER_NAME" "$PASSWORD" \
    large "$PORT_large" "$USER_NAME" "$PASSWORD" | sed "s/^/remembered /" >>"$WORK/results"
  for k in $(seq 1 "$COLD"); do
    i=$(((round - 1) * COLD + k))
    logins 1 small "$PORT_small" "c$i" "c$i-secret" large "$PORT_large" "c$i" "c$i-secret" |
      sed "s/^/cold /" >>"$WORK/results"
  done
done

rss_mb() { # resident set size of all the daemon's processes of root $1, summed
  local pid total=0 kb
  for pid in $(pgrep -f "$1/var/lib/kivo/webdav/httpd.conf" || true); do
    kb="$(sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status" 2>/dev/null || true)"
    total=$((total + ${kb:-0}))
  done
  python3 -c "print($total / 1024)"
}

python3 - "$WORK/results" "$ROUNDS" "$(rss_mb "$SMALL")" "$(rss_mb "$LARGE")" "$ACCOUNTS" <<'EOF'
import statistics, sys
samples = {}
for line in open(sys.argv[1]):
    kind, size, took = line.split()
    samples.setdefault((kind, size), []).append(float(took) * 1000)
print("medians over %s rounds, logins taking turns, ms per login (new connection, first request)"
      % sys.argv[2])
for kind in ("remembered", "cold"):
    s, l = (statistics.median(samples[(kind, z)]) for z in ("small", "large"))
    print("%-11s 10 accounts %8.3f ms   %s accounts %8.3f ms   ratio %.2f  (%d samples each)"
          % (kind, s, sys.argv[5], l, l / s, len(samples[(kind, "small")])))
print("daemon memory (sum of RSS): 10 accounts %.1f MB, %s accounts %.1f MB"
      % (float(sys.argv[3]), sys.argv[5], float(sys.argv[4])))
EOF

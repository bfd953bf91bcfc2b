#!/usr/bin/env bash
# Sets everything up and runs the main job: builds, lays out a development
# root under ./devroot, makes a first web API call, starts the daemons its
# settings ask for, then serves the web API and the administration page
# until interrupted (Ctrl-C); on the way out it stops the daemons it ran.
#
# Environment (all optional):
#   KIVO_HTTP_PORT     (5000)       the web API and page over HTTP
#   KIVO_HTTPS_PORT    (5001)       the same over HTTPS
#   KIVO_LISTEN        (127.0.0.1)  the address the web API listens on
#   KIVO_WEBDAV_ADDRESS (127.0.0.1) the address the WebDAV daemon listens
#                                   on; empty for every address
# The WebDAV daemon's own ports (5005, 5006) are its settings: the page, or
# `./build/kivo-webapi call KIVO.Core.FileServ.WebDAV 1 set ...`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
root="$PWD/devroot"
http_port=${KIVO_HTTP_PORT:-5000}
https_port=${KIVO_HTTPS_PORT:-5001}
listen=${KIVO_LISTEN:-127.0.0.1}
# A build whose root is ./devroot and whose daemons run only when asked
# (KIVO_DAEMONS), on the address KIVO_WEBDAV_ADDRESS names.
export KIVO_ROOT="$root" KIVO_DAEMONS=on
export KIVO_WEBDAV_ADDRESS="${KIVO_WEBDAV_ADDRESS-127.0.0.1}"
cmake -S . -B build -DKIVO_ROOT="$root" -DKIVO_ROOT_FROM_ENV=ON -DKIVO_BUILD_TESTS=OFF >/dev/null
cmake --build build -j2
mkdir -p "$root" && chmod 0755 "$root"

# The administrator's password: made on the first run and kept, readable by
# root only, in devroot/admin-password.
password_file="$root/admin-password"
if [ ! -e "$root/etc/shadow" ] && [ ! -e "$password_file" ]; then
  (umask 077 && head -c 18 /dev/urandom | base64 | tr '+/' '-_' >"$password_file")
fi
if [ -e "$password_file" ]; then
  ./build/kivo-webapi init --admin-password-file "$password_file"
else
  ./build/kivo-webapi init
fi
echo "--- a first call: the CalDAV switch"
./build/kivo-webapi call --user admin KIVO.Core.FileServ.WebDAV.CalDAV 1 get

stop_daemons() {
  echo "--- stopping the daemons under $root"
  ./build/kivo-webapi services --stop-all || true
}
trap stop_daemons EXIT
echo "--- the daemons the settings ask for"
./build/kivo-webapi services --start || true

if [ -e "$password_file" ]; then
  password_note="with the password in devroot/admin-password:
  cat devroot/admin-password   (as root)
(set another: ./build/kivo-webapi passwd admin <<<'NEW' ; the file keeps the first one)"
else
  password_note="(this root predates devroot/admin-password; set a password with:
  ./build/kivo-webapi passwd admin <<<'NEW')"
fi
scheme_host="$listen"
case "$listen" in *:*) scheme_host="[$listen]" ;; esac
cat <<EOF
--- serving http://$scheme_host:$http_port/ and https://$scheme_host:$https_port/ (Ctrl-C stops,
    and stops the WebDAV and CalDAV daemons with it)
Log in as admin $password_note
WebDAV daemon address: ${KIVO_WEBDAV_ADDRESS:-every address} (KIVO_WEBDAV_ADDRESS);
web API ports: KIVO_HTTP_PORT=$http_port KIVO_HTTPS_PORT=$https_port; address KIVO_LISTEN=$listen.
What runs: ./build/kivo-webapi services. Over HTTPS, curl needs
--cacert devroot/etc/kivo/tls/server.crt. Calls by hand:
  curl -c cookies -H 'Content-Type: application/json' \\
       -d '{"account":"admin","password":"PASSWORD"}' http://$scheme_host:$http_port/webapi/auth
  curl -b cookies -H 'Content-Type: application/json' \\
       -d '{"api":"KIVO.Core.FileServ.WebDAV","version":1,"method":"get","params":{}}' \\
       http://$scheme_host:$http_port/webapi/entry
EOF
# serve in the background, so that a signal to this script reaches it too;
# Ctrl-C's SIGINT is ignored by background jobs and forwarded as SIGTERM.
./build/kivo-webapi serve --listen "$listen:$http_port" --listen-tls "$listen:$https_port" &
serve=$!
trap 'kill -TERM "$serve" 2>/dev/null || true' INT TERM
status=0
wait "$serve" || status=$?
# A signal ends the first wait early; the second waits for serve's own end.
if kill -0 "$serve" 2>/dev/null; then wait "$serve" || status=$?; fi
exit "$status"

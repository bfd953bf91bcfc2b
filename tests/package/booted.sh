#!/bin/sh
# Runs inside the installed system booted with systemd (scripts/package-test.sh,
# systemd-nspawn): the platform starts, reloads and stops the daemons through
# their units, and systemd restarts a daemon that crashed. Leaves WebDAV and
# CalDAV switched off and no calendar behind, for inside.sh.
set -eu

fail() {
    echo "package test (systemd): $*" >&2
    systemctl --no-pager status kivo-webapi kivo-webdav kivo-caldav >&2 || true
    exit 1
}
main_pid() { systemctl show --property=MainPID --value "$1" 2>/dev/null || echo 0; }
# Waits until the unit runs with a main process other than $2 (at first
# until the system has booted that far).
wait_running() {
    tries=0
    until [ "$(systemctl is-active "$1" 2>/dev/null)" = active ] && [ "$(main_pid "$1")" != 0 ] &&
        [ "$(main_pid "$1")" != "${2:-}" ]; do
        tries=$((tries + 1))
        [ $tries -le 600 ] || fail "$1 does not run"
        sleep 0.1
    done
}

wait_running kivo-webapi.service
password=$(cat /etc/kivo/initial-admin-password)
cookies=/tmp/booted-cookies
post() {
    curl -sS --max-time 60 --retry 20 --retry-connrefused --retry-delay 1 \
        --cacert /etc/kivo/tls/server.crt -b $cookies -c $cookies \
        -H 'Content-Type: application/json' -d "$2" "https://localhost:5001$1"
}
entry() {
    answer=$(post /webapi/entry "{\"api\":\"$1\",\"version\":1,\"method\":\"$2\",\"params\":$3}")
    case "$answer" in *'"success":true'*) ;; *) fail "$1 $2: $answer" ;; esac
}
propfind() {
    curl -sS --max-time 60 -o /dev/null -w '%{http_code}' -u "admin:$password" \
        -X PROPFIND -H 'Depth: 1' http://127.0.0.1:5005/caldav/admin/ || true
}

answer=$(post /webapi/auth "{\"account\":\"admin\",\"password\":\"$password\"}")
case "$answer" in *'"is_admin":true'*) ;; *) fail "login: $answer" ;; esac
entry KIVO.Core.FileServ.WebDAV set '{"enable_http":true,"enable_https":false}'
entry KIVO.Core.FileServ.WebDAV.CalDAV set '{"enable":true}'
for unit in kivo-webdav.service kivo-caldav.service; do
    [ "$(systemctl is-enabled $unit)" = enabled ] || fail "$unit is not enabled"
    wait_running $unit
done
[ "$(propfind)" = 207 ] || fail "PROPFIND /caldav/admin/: $(propfind)"

# A crash of each daemon: systemd starts it again, and CalDAV answers.
webdav=$(main_pid kivo-webdav.service)
caldav=$(main_pid kivo-caldav.service)
kill -SEGV "$webdav" "$caldav"
wait_running kivo-webdav.service "$webdav"
wait_running kivo-caldav.service "$caldav"
tries=0
until [ "$(propfind)" = 207 ]; do
    tries=$((tries + 1))
    [ $tries -le 100 ] || fail "no CalDAV after the crash: $(propfind)"
    sleep 0.1
done

# A new port reaches the running daemon as a reload, not a restart.
webdav=$(main_pid kivo-webdav.service)
entry KIVO.Core.FileServ.WebDAV set '{"enable_http":true,"enable_https":false,"http_port_num":5015}'
[ "$(main_pid kivo-webdav.service)" = "$webdav" ] || fail "the port change restarted the daemon"
journalctl --no-pager -u kivo-webdav.service | grep -q "Reloaded" || fail "no reload of kivo-webdav"
entry KIVO.Core.FileServ.WebDAV set '{"enable_http":true,"enable_https":false,"http_port_num":5005}'

entry KIVO.Core.FileServ.WebDAV.CalDAV set '{"enable":false}'
entry KIVO.Core.FileServ.WebDAV set '{"enable_http":false,"enable_https":false}'
for unit in kivo-webdav.service kivo-caldav.service; do
    [ "$(systemctl is-active $unit)" != active ] || fail "$unit still runs"
    [ "$(systemctl is-enabled $unit)" = disabled ] || fail "$unit is still enabled"
done
echo "package test (systemd): the units start, restart after a crash, reload and stop"

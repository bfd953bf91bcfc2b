#!/bin/sh
# Runs inside the installed system booted with systemd (scripts/package-test.sh,
# systemd-nspawn): the platform starts, reloads and stops the daemons through
# their units, and systemd restarts a daemon that crashed; the sandboxed
# host still takes a user's identity to make that user's calendar; a
# reinstall, an upgrade to a newer build (/root/kivo-webdav-upgrade.deb) and
# a removal followed by an install each leave the daemons running as the
# settings say. Leaves WebDAV and CalDAV switched off, for inside.sh.
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
post() {  # PATH BODY, in the session of $cookies
    curl -sS --max-time 60 --retry 20 --retry-connrefused --retry-delay 1 \
        --cacert /etc/kivo/tls/server.crt -b $cookies -c $cookies \
        -H 'Content-Type: application/json' -d "$2" "https://localhost:5001$1"
}
entry() {
    answer=$(post /webapi/entry "{\"api\":\"$1\",\"version\":1,\"method\":\"$2\",\"params\":$3}")
    case "$answer" in *'"success":true'*) ;; *) fail "$1 $2: $answer" ;; esac
}
propfind() {  # [USER PASSWORD]: the status; the answer in /tmp/booted-propfind.xml
    curl -sS --max-time 60 -o /tmp/booted-propfind.xml -w '%{http_code}' \
        -u "${1:-admin}:${2:-$password}" -X PROPFIND -H 'Depth: 1' \
        "http://127.0.0.1:5005/caldav/${1:-admin}/" || true
}

login() {
    answer=$(post /webapi/auth "{\"account\":\"admin\",\"password\":\"$password\"}")
    case "$answer" in *'"is_admin":true'*) ;; *) fail "login: $answer" ;; esac
}
login
# The page answers on the loopback names (an SSH tunnel to it), whatever
# names the installation found for the machine.
for host in 127.0.0.1 '[::1]' localhost; do
    code=$(curl -sS --max-time 60 -k -o /dev/null -w '%{http_code}' -H "Host: $host:5001" \
        https://127.0.0.1:5001/ || true)
    [ "$code" = 200 ] || fail "the page answers $code to the Host $host"
done
entry KIVO.Core.FileServ.WebDAV set '{"enable_http":true,"enable_https":false}'
entry KIVO.Core.FileServ.WebDAV.CalDAV set '{"enable":true}'
for unit in kivo-webdav.service kivo-caldav.service; do
    [ "$(systemctl is-enabled $unit)" = enabled ] || fail "$unit is not enabled"
    wait_running $unit
done
# An operator finds the host program by its name and sees both daemons run.
status=$(kivo-webapi services) || fail "kivo-webapi services: $status"
for service in webdav-httpd-pure caldav; do
    echo "$status" | grep -Eq "^$service +1 +yes " || fail "kivo-webapi services: $status"
done
[ "$(propfind)" = 207 ] || fail "PROPFIND /caldav/admin/: $(propfind)"

# A user's calendar in a folder everybody may write: the sandboxed host makes
# it as the user, and the CalDAV daemon shows it to that user.
useradd --gid users --home-dir /volume1/homes/alice --shell /usr/sbin/nologin alice
echo 'alice:Alice-Password-1' | chpasswd
chmod 1777 /volume1/public
admin_cookies=$cookies
cookies=/tmp/booted-alice-cookies
answer=$(post /webapi/auth '{"account":"alice","password":"Alice-Password-1"}')
case "$answer" in *'"success":true'*) ;; *) fail "alice's login: $answer" ;; esac
entry KIVO.Core.FileServ.WebDAV.CalDAV.Calendar create \
    '{"share":"public","destination":"public","fullpath":"/volume1/public","calendarname":"Alices"}'
[ "$(stat -c %U /volume1/public/Alices)" = alice ] || fail "alice's calendar folder is not hers"
[ "$(propfind alice Alice-Password-1)" = 207 ] && grep -q Alices /tmp/booted-propfind.xml ||
    fail "alice's calendar over CalDAV: $(cat /tmp/booted-propfind.xml)"
cookies=$admin_cookies

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

# Upgrades keep the service. As on an administrator's machine, no
# policy-rc.d holds services back (the one that kept them down while the
# system was made goes).
rm -f /usr/sbin/policy-rc.d
apt_get() {
    DEBIAN_FRONTEND=noninteractive apt-get -y -q -o Dpkg::Use-Pty=0 "$@" >/tmp/booted-apt.log 2>&1 ||
        fail "apt-get $*: $(tail -20 /tmp/booted-apt.log)"
}
# Both units enabled and running within seconds of apt's return, with their
# settings: CalDAV on the WebDAV port, alice's calendar listed.
serving() {  # AFTER-WHAT
    tries=0
    until [ "$(propfind alice Alice-Password-1)" = 207 ] && grep -q Alices /tmp/booted-propfind.xml; do
        tries=$((tries + 1))
        [ $tries -le 100 ] || fail "no CalDAV $1: $(propfind alice Alice-Password-1)"
        sleep 0.1
    done
    for unit in kivo-webdav.service kivo-caldav.service; do
        [ "$(systemctl is-enabled $unit)" = enabled ] || fail "$unit is not enabled $1"
        [ "$(systemctl is-active $unit)" = active ] || fail "$unit does not run $1"
    done
}
webdav=$(main_pid kivo-webdav.service)
caldav=$(main_pid kivo-caldav.service)
apt_get install --reinstall /root/kivo-webdav.deb
serving "after a reinstall"
# The daemons run the build just installed, not the one it replaced.
[ "$(main_pid kivo-webdav.service)" != "$webdav" ] || fail "the reinstall kept the old WebDAV daemon"
[ "$(main_pid kivo-caldav.service)" != "$caldav" ] || fail "the reinstall kept the old CalDAV daemon"
apt_get install /root/kivo-webdav-upgrade.deb
[ "$(dpkg-query -W -f '${Version}' kivo-webdav)" = "$(dpkg-deb -f /root/kivo-webdav-upgrade.deb Version)" ] ||
    fail "the newer build is not installed: $(dpkg-query -W kivo-webdav)"
serving "after an upgrade"
apt_get remove kivo-webdav
for unit in kivo-webdav.service kivo-caldav.service; do
    [ "$(systemctl is-active $unit)" != active ] || fail "$unit still runs after the removal"
done
apt_get install /root/kivo-webdav-upgrade.deb
serving "after a removal and an install"
login  # the host restarted with each installation

entry KIVO.Core.FileServ.WebDAV.CalDAV set '{"enable":false}'
entry KIVO.Core.FileServ.WebDAV set '{"enable_http":false,"enable_https":false}'
for unit in kivo-webdav.service kivo-caldav.service; do
    [ "$(systemctl is-active $unit)" != active ] || fail "$unit still runs"
    [ "$(systemctl is-enabled $unit)" = disabled ] || fail "$unit is still enabled"
done
echo "package test (systemd): a user's calendar made as the user; the units start, restart after a crash, reload, come back after a reinstall, an upgrade and a removal with an install, and stop"

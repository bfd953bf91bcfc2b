#!/bin/sh
# Runs inside the freshly installed system (scripts/package-test.sh): what an
# administrator does first, then the package's removal. Uses what the
# package's postinst left (the first password, the certificate,
# /etc/default/kivo-webapi), starts serve with the unit's own command line,
# logs in over HTTPS, switches WebDAV and CalDAV on, creates a calendar and
# reads it with a CalDAV request; reinstalls the package, which restarts
# the daemons; then removes and purges the package and checks that the
# daemons and the configuration are gone and the calendar folder is not.
set -eu

fail() { echo "package test: $*" >&2; [ -s /tmp/serve.err ] && tail -20 /tmp/serve.err >&2; exit 1; }

password=$(cat /etc/kivo/initial-admin-password) || fail "no first admin password"
[ "$(stat -c '%a %U' /etc/kivo/initial-admin-password)" = "600 root" ] ||
    fail "the password file is not root's alone"

# The unit's ExecStart, its options from the environment file.
KIVO_WEBAPI_OPTIONS=""
. /etc/default/kivo-webapi
command=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/kivo-webapi.service)
# shellcheck disable=SC2086
set -- $(eval "echo $command")
"$@" >/tmp/serve.out 2>/tmp/serve.err &
serve=$!
trap 'kill $serve 2>/dev/null || true' EXIT
tries=0
until grep -q "(https)" /tmp/serve.out 2>/dev/null; do
    tries=$((tries + 1))
    [ $tries -le 100 ] && kill -0 $serve 2>/dev/null || fail "serve did not start"
    sleep 0.1
done

cookies=/tmp/cookies
post() {  # PATH BODY: the answer's body
    curl -sS --max-time 60 --cacert /etc/kivo/tls/server.crt -b $cookies -c $cookies \
        -H 'Content-Type: application/json' -d "$2" "https://localhost:5001$1"
}
entry() {  # API METHOD PARAMS
    answer=$(post /webapi/entry "{\"api\":\"$1\",\"version\":1,\"method\":\"$2\",\"params\":$3}")
    case "$answer" in *'"success":true'*) ;; *) fail "$1 $2: $answer" ;; esac
}

answer=$(post /webapi/auth "{\"account\":\"admin\",\"password\":\"$password\"}")
case "$answer" in *'"is_admin":true'*) ;; *) fail "login: $answer" ;; esac
entry KIVO.Core.FileServ.WebDAV set '{"enable_http":true,"enable_https":false}'
entry KIVO.Core.FileServ.WebDAV.CalDAV set '{"enable":true}'
entry KIVO.Core.FileServ.WebDAV.CalDAV.Calendar create \
    '{"share":"public","destination":"public","fullpath":"/volume1/public","calendarname":"Team"}'
[ -d /volume1/public/Team ] || fail "no calendar folder"

# A calendar client's first question: which calendars the account has.
propfind() {
    curl -sS --max-time 60 -o /tmp/propfind.xml -w '%{http_code}' -u "admin:$password" \
        -X PROPFIND -H 'Depth: 1' http://127.0.0.1:5005/caldav/admin/ || true
}
status=$(propfind)
[ "$status" = 207 ] || fail "PROPFIND /caldav/admin/: $status $(cat /tmp/propfind.xml)"
grep -q "Team" /tmp/propfind.xml || fail "the calendar is not listed: $(cat /tmp/propfind.xml)"
# The second module, installed beside the first, answers through the same host.
entry KIVO.Core.FileServ.WebDAV.Share set '{"share":"public","read":["admin"],"write":[]}'
grep -q '"admin"' /etc/kivo/share-access.json || fail "no share access lists"
echo "package test: logged in, WebDAV and CalDAV on, calendar Team reached over CalDAV"

# The platform's daemons, found by the configuration they run with (the
# brackets keep grep from finding itself).
daemons() {
    for cmdline in /proc/[0-9]*/cmdline; do
        tr '\0' ' ' <"$cmdline" 2>/dev/null | grep -q -e 'kivo/webdav/[h]ttpd.conf' -e 'kivo/caldav/[r]adicale.conf' &&
            echo "$cmdline"
    done
    return 0
}
# Reinstalled without systemd, the postinst restarts the daemons itself, as
# the settings say; dpkg returns (no daemon holds its output open).
before=$(daemons)
timeout 120 dpkg -i /root/kivo-webdav-upgrade.deb >/tmp/reinstall.log 2>&1 ||
    fail "reinstall: $(cat /tmp/reinstall.log)"
[ -n "$(daemons)" ] && [ "$(daemons)" != "$before" ] ||
    fail "the reinstall did not restart the daemons: $(cat /tmp/reinstall.log)"
tries=0
until [ "$(propfind)" = 207 ] && grep -q "Team" /tmp/propfind.xml; do
    tries=$((tries + 1))
    [ $tries -le 100 ] || fail "no CalDAV after the reinstall: $(propfind)"
    sleep 0.1
done
echo "package test: reinstalled; the daemons came back from the new files"

kill $serve
wait $serve || true
[ -n "$(daemons)" ] || fail "the WebDAV and CalDAV daemons do not run"
dpkg --remove kivo-webdav >/tmp/remove.log 2>&1 || fail "remove: $(cat /tmp/remove.log)"
[ -z "$(daemons)" ] || fail "daemons left after the removal: $(daemons)"
[ -f /etc/kivoinfo.conf ] || fail "removal took the configuration"
dpkg --purge kivo-webdav >/tmp/purge.log 2>&1 || fail "purge: $(cat /tmp/purge.log)"
for gone in /etc/kivo /etc/kivoinfo.conf /var/lib/kivo /usr/kivo /usr/lib/kivo; do
    [ ! -e $gone ] || fail "$gone is left after the purge"
done
[ -d /volume1/public/Team ] || fail "the purge took the calendar folder"
getent passwd admin >/dev/null || fail "the purge took the account admin"
echo "package test: removed and purged; the calendar folder stays"

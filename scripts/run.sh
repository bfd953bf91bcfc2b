#!/usr/bin/env bash
# Sets everything up and runs the main job: builds, lays out a development
# root under ./devroot, makes a first web API call, then serves the web API
# on http://127.0.0.1:5000 and https://127.0.0.1:5001 (the certificate init
# made under the root) until interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
root="$PWD/devroot"
cmake -S . -B build -DKIVO_ROOT="$root" -DKIVO_BUILD_TESTS=OFF >/dev/null
cmake --build build -j2
mkdir -p "$root" && chmod 0755 "$root"
./build/kivo-webapi init
echo "--- a first call: the CalDAV switch"
./build/kivo-webapi call --user admin KIVO.Core.FileServ.WebDAV.CalDAV 1 get
cat <<'EOF'
--- serving on http://127.0.0.1:5000 and https://127.0.0.1:5001 (Ctrl-C stops)
(curl over HTTPS: add --cacert devroot/etc/kivo/tls/server.crt)
Log in as admin (the password was printed by the first init; set another
with: ./build/kivo-webapi passwd admin), then call any method:

  curl -c cookies -H 'Content-Type: application/json' \
       -d '{"account":"admin","password":"PASSWORD"}' http://127.0.0.1:5000/webapi/auth
  curl -b cookies -H 'Content-Type: application/json' \
       -d '{"api":"KIVO.Core.FileServ.WebDAV","version":1,"method":"get","params":{}}' \
       http://127.0.0.1:5000/webapi/entry
EOF
exec ./build/kivo-webapi serve --listen 127.0.0.1:5000 --listen-tls 127.0.0.1:5001

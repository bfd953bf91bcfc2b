#!/usr/bin/env bash
# Sets everything up and runs every test: the unit, platform and end-to-end
# suites in a test build whose root lies inside the build directory (the
# first pass), the large transfers once, the same suites again under the
# sanitizers, the page in a browser, then the fuzzer.
#   --quick  set-up and the first pass only (no large transfers, sanitizer
#            build, browser or fuzzer), for a fast loop
# Run as root: the suites switch identities and open namespaces.
#
# Every suite runs in a network namespace of its own that holds loopback
# only, so nothing listening on the machine (a ./scripts/run.sh beside it,
# for one) changes an outcome. To show it, the script itself holds the
# default ports 5000, 5001, 5005 and 5006 on every address for the run.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=""
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac
if [ "$(id -u)" -ne 0 ]; then
  echo "$0: run as root (the suites switch identities and open namespaces)" >&2
  exit 2
fi
bash scripts/deps.sh

# isolated COMMAND...: COMMAND in a fresh network namespace, loopback up.
isolated() {
  unshare --net -- sh -c 'ip link set lo up && exec "$@"' isolated "$@"
}

held=$(mktemp)
/usr/bin/python3 tests/support/hold_ports.py 5000 5001 5005 5006 >"$held" 2>&1 &
holder=$!
trap 'kill "$holder" 2>/dev/null || true; rm -f "$held"' EXIT
for _ in $(seq 300); do
  grep -q '^holding$' "$held" && break
  kill -0 "$holder" 2>/dev/null || { cat "$held" >&2; exit 1; }
  sleep 0.1
done
grep -q '^holding$' "$held" || { echo "the port holder did not start" >&2; exit 1; }
sed 's/^/--- /' "$held"
# Fails the run when the ports were not held all along.
ports_still_held() {
  kill -0 "$holder" 2>/dev/null && return 0
  echo "the port holder ended early: the run does not show the ports were busy" >&2
  return 1
}

build=$(realpath -m "${BUILD_DIR:-build-test}")
cmake -S . -B "$build" -DKIVO_ROOT="$build/root" -DKIVO_ROOT_FROM_ENV=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2
isolated ctest --test-dir "$build" -j2 --output-on-failure --timeout 120 -LE large
ports_still_held
[ -z "$quick" ] || exit 0

# Files past every 32-bit boundary up and back (label "large"): minutes of
# disk and loopback, once, never under the sanitizers.
isolated ctest --test-dir "$build" --output-on-failure -L large
ports_still_held

# The same suite again under AddressSanitizer and UndefinedBehaviorSanitizer
# (-O1, tests only). Address and leak reports go to files, so that a report
# in a program a test starts is not missed when the test expected it to
# fail; every report also aborts its process.
asan=$(realpath -m "${ASAN_BUILD_DIR:-build-asan}")
cmake -S . -B "$asan" -DKIVO_ROOT="$asan/root" -DKIVO_ROOT_FROM_ENV=ON -DKIVO_SANITIZE=ON \
      -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
cmake --build "$asan" -j2
reports="$asan/sanitizer-reports"
rm -rf "$reports" && mkdir -p "$reports"
ASAN_OPTIONS="log_path=$reports/asan:log_exe_name=1:detect_leaks=1:abort_on_error=1" \
UBSAN_OPTIONS="log_path=$reports/ubsan:log_exe_name=1:print_stacktrace=1:halt_on_error=1:abort_on_error=1" \
  isolated ctest --test-dir "$asan" -j2 --output-on-failure --timeout 120 -LE large || asan_failed=1
# A log file holds either findings ("ERROR:", "runtime error") or notices
# that are none, such as LeakSanitizer now and then failing to read a
# thread's registers while a server stops (it then scans that thread's whole
# stack instead). Notices are shown; findings fail the run.
if [ -n "$(ls -A "$reports")" ]; then
  for f in "$reports"/*; do echo "--- $f" >&2; cat "$f" >&2; done
  if grep -l -E "ERROR: |runtime error" "$reports"/* >&2; then
    echo "sanitizer findings above" >&2
    exit 1
  fi
  echo "sanitizer notices above; no findings" >&2
fi
[ -z "${asan_failed:-}" ] || exit 1

# The administration page in Chromium, against the first build's host:
# Playwright and axe-core from npm, pinned in tests/browser/package-lock.json
# and fetched out here (the namespace has no network).
# nodejs comes with its own npm on some machines, and Debian's npm package
# would conflict with it: npm is installed only when the command is missing.
if ! command -v npm >/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nodejs npm
fi
(cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)
(cd tests/browser && KIVO_BUILD_DIR="$build" isolated node --test page.test.mjs)

# The entry fuzzer, for a bounded time from its seed corpus.
FUZZ_SECONDS=${FUZZ_SECONDS:-60} isolated bash tests/hardening/fuzz.sh
ports_still_held
bash scripts/package-test.sh

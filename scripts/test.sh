#!/usr/bin/env bash
# Sets everything up and runs every test: the unit, platform and end-to-end
# suites in a test build whose root lies inside the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=$(realpath -m "${BUILD_DIR:-build-test}")
cmake -S . -B "$build" -DKIVO_ROOT="$build/root" -DKIVO_ROOT_FROM_ENV=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" -j2 --output-on-failure --timeout 120

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
  ctest --test-dir "$asan" -j2 --output-on-failure --timeout 120 || asan_failed=1
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
# Playwright and axe-core from npm, pinned in tests/browser/package-lock.json.
# nodejs comes with its own npm on some machines, and Debian's npm package
# would conflict with it: npm is installed only when the command is missing.
if ! command -v npm >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq nodejs npm
fi
(cd tests/browser && npm ci --no-audit --no-fund --loglevel=error &&
  KIVO_BUILD_DIR="$build" node --test page.test.mjs)

# The entry fuzzer, for a bounded time from its seed corpus.
FUZZ_SECONDS=${FUZZ_SECONDS:-60} bash tests/hardening/fuzz.sh
bash scripts/package-test.sh

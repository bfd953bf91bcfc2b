#!/usr/bin/env bash
# Builds the entry fuzzer with clang and runs it for a bounded time from the
# seed corpus in fuzz/corpus. The fuzzer shuts itself into a read-only mount
# namespace (needs root); new inputs and crash files stay in the run
# directory, and any crash input is shown and fails the run.
#   FUZZ_BUILD_DIR (build-fuzz)  FUZZ_SECONDS (60)
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
build=$(realpath -m "${FUZZ_BUILD_DIR:-build-fuzz}")
seconds=${FUZZ_SECONDS:-60}

if ! command -v clang++-14 >/dev/null || [ ! -e /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
fi

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DKIVO_BUILD_FUZZ=ON -DKIVO_SANITIZE=ON \
  -DKIVO_BUILD_TESTS=OFF -DKIVO_ROOT_FROM_ENV=ON -DKIVO_ROOT=/nonexistent-kivo-root \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
cmake --build "$build" -j2 --target entry_fuzzer

run="$build/fuzz-run"
rm -rf "$run"
mkdir -p "$run/corpus"
cp "$repo"/fuzz/corpus/* "$run/corpus/"
# The fuzzer hides /tmp behind a tmpfs of its own, except its working
# directory: what it reads must be there.
cp "$repo/fuzz/entry_fuzzer.dict" "$run/"
cd "$run"
status=0
KIVO_FUZZ_CHECK_OUTSIDE=1 "$build/entry_fuzzer" -max_total_time="$seconds" -timeout=20 \
  -rss_limit_mb=4096 -dict=entry_fuzzer.dict -artifact_prefix=./ \
  -print_final_stats=1 corpus >fuzz.log 2>&1 || status=$?
grep -E '^(#[0-9]+ +DONE|Done|stat::number_of_executed_units|INFO: seed corpus)' fuzz.log || true
if [ "$status" -ne 0 ]; then
  tail -n 60 fuzz.log
  for crash in crash-* leak-* timeout-* oom-*; do
    [ -e "$crash" ] || continue
    echo "--- $crash (keep it in fuzz/corpus once fixed):"
    od -c "$crash" | head -n 40
  done
  exit "$status"
fi

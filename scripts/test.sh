#!/usr/bin/env bash
# Sets everything up and runs every test: the unit, platform and end-to-end
# suites in a test build whose root lies inside the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${BUILD_DIR:-build-test}
cmake -S . -B "$build" -DKIVO_ROOT="$PWD/$build/root" -DKIVO_ROOT_FROM_ENV=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" -j2 --output-on-failure --timeout 120

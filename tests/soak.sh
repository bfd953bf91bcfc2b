#!/usr/bin/env bash
# Runs the whole test command again and again with two CPU-bound processes
# beside it, the way a busy CI machine runs it, and stops at the first
# failure: a test that passes alone but fails here depends on the scheduler
# or the clock.
#
#   tests/soak.sh [-n ROUNDS] [--quick] [--command CMD]
#                                         (as root; ROUNDS 10 by default)
#
# --quick passes on to scripts/test.sh (set-up and the first pass only);
# --command runs CMD (with sh -c, from the source top) instead of the
# README's whole test command, to try the soak itself or one suite. Each
# round prints one line as it ends, its output goes to soak-logs/round-N.log
# beside the build; the summary names the rounds run, the failed one (its
# log kept) and the time each took.
set -uo pipefail
cd "$(dirname "$0")/.."
rounds=10
quick=()
command=""
while [ $# -gt 0 ]; do
  case $1 in
    -n) rounds=${2:?}; shift 2 ;;
    --quick) quick=(--quick); shift ;;
    --command) command=${2:?}; shift 2 ;;
    *) echo "usage: $0 [-n ROUNDS] [--quick] [--command CMD]" >&2; exit 2 ;;
  esac
done
case $rounds in ''|*[!0-9]*|0) echo "$0: ROUNDS must be a positive number" >&2; exit 2 ;; esac

logs=$(realpath -m "${BUILD_DIR:-build-test}")/soak-logs
mkdir -p "$logs"
rm -f "$logs"/round-*.log  # a failed round's log is never one of an earlier soak
burners=()
stop_burners() {
  for pid in "${burners[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${burners[@]}"; do wait "$pid" 2>/dev/null; done
  burners=()
}
trap stop_burners EXIT
trap "exit 130" INT TERM
for _ in 1 2; do
  nice -n 5 sh -c 'while :; do :; done' &
  burners+=($!)
done

passed=0
failed=""
times=()
for round in $(seq "$rounds"); do
  start=$(date +%s)
  log="$logs/round-$round.log"
  if [ -n "$command" ]; then
    sh -c "$command" >"$log" 2>&1
  else
    scripts/test.sh "${quick[@]}" >"$log" 2>&1
  fi
  status=$?
  seconds=$(( $(date +%s) - start ))
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    times+=("$round:${seconds}s")
    echo "soak: round $round of $rounds passed in ${seconds}s"
  else
    failed=$round
    times+=("$round:${seconds}s(failed)")
    echo "soak: round $round of $rounds FAILED (status $status) in ${seconds}s: $log"
    break
  fi
done
stop_burners

echo "soak: $passed of $rounds rounds passed (${command:-${quick[*]:-full}}), two CPU burners beside"
echo "soak: seconds per round: ${times[*]}"
if [ -n "$failed" ]; then
  echo "soak: round $failed failed; its log: $logs/round-$failed.log"
  grep -E '^[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*|The following tests FAILED' -A20 "$logs/round-$failed.log" |
    grep -E 'Failed|\*\*\*|Timeout' | head -20
  exit 1
fi

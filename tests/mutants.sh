#!/bin/bash
# Mutation runs: plants each plausible fault of tests/mutants/ in turn in a
# scratch copy of the source, builds, runs the tests that should catch it and
# says whether they did. Slow (a build per fault), so not part of CI: run it
# after adding a defence or a test, and add the fault the defence is against.
#
#   tests/mutants.sh [-k | -s SCRATCH] [-j N] [MUTANT.patch...]   (as root)
#
#   tests/mutants.sh -c BUILD [MUTANT.patch...]   (the list only, seconds)
#
# Each tests/mutants/*.patch is a unified diff (paths a/ and b/ from the top
# of the source) preceded by a header: its first line says what it breaks;
# a line "Tests: REGEX" names the ctest tests to run, and "Exclude: REGEX"
# tests to leave out. A fault is
#   killed     when a test run fails,
#   survived   when every test passes,
#   stale      when the patch no longer applies (refresh it),
#   untested   when its Tests: line is missing or names no test of the
#              build (the tests it named were renamed or removed),
#   unbuilt    when the source does not build with it.
# The kill rate counts killed and survived only; anything but killed fails
# the run, so that a list that went out of date says so instead of
# "surviving" for the wrong reason. -c checks only that each patch applies
# and names tests of the build BUILD (a configured build of this source),
# without building anything. -k keeps the scratch copy; -s reuses one kept
# before (its source as it was then, its build). Each fault's line gives
# the seconds it took (build and tests), for the run time of the list.
# Tests run in a private network namespace, as the daemon tests need.

set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
jobs=2
keep=0
scratch=""
check_only=""
while getopts "kj:s:c:" opt; do
  case $opt in
    k) keep=1 ;;
    j) jobs=$OPTARG ;;
    s) scratch=$(cd "$OPTARG" && pwd) && keep=1 || exit 2 ;;
    c) check_only=$(cd "$OPTARG" && pwd) || exit 2 ;;
    *) echo "usage: $0 [-k | -s SCRATCH | -c BUILD] [-j N] [MUTANT.patch...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -gt 0 ]; then
  mutants=("$@")
else
  mutants=("$here"/mutants/*.patch)
fi

tests_of() { sed -n 's/^Tests: *//p;/^---/q' "$1"; }
exclude_of() { sed -n 's/^Exclude: *//p;/^---/q' "$1"; }

# How many tests of build $1 the regexes $2 (and not $3) pick; 0 for none.
count_tests() {
  [ -n "$2" ] || { echo 0; return; }
  local args=(--test-dir "$1" -N -R "$2")
  [ -n "$3" ] && args+=(-E "$3")
  ctest "${args[@]}" 2>/dev/null | sed -n 's/^Total Tests: *//p'
}

# Whether the list is alive: each patch applies to $1 and names tests of
# the build $2. Prints one line per patch that is not; fails if any.
check_list() {
  local bad=0 mutant name n
  for mutant in "${mutants[@]}"; do
    name=$(basename "$mutant" .patch)
    if ! patch -d "$1" -p1 --dry-run -s -f <"$mutant" >/dev/null 2>&1; then
      printf '%-9s %s: %s\n' stale "$name" "$(head -n 1 "$mutant")"
      bad=1
      continue
    fi
    n=$(count_tests "$2" "$(tests_of "$mutant")" "$(exclude_of "$mutant")")
    if [ "${n:-0}" -eq 0 ]; then
      printf '%-9s %s: Tests: "%s" names no test\n' untested "$name" "$(tests_of "$mutant")"
      bad=1
    fi
  done
  return $bad
}

if [ -n "$check_only" ]; then
  check_list "$source_dir" "$check_only" && echo "all ${#mutants[@]} patches apply and name tests"
  exit
fi

reuse=0
if [ -n "$scratch" ]; then
  reuse=1
else
  scratch=$(mktemp -d /tmp/kivo-mutants-XXXXXX)
  chmod 755 "$scratch"  # the tests act as other users below it
fi
cleanup() {
  if [ "$keep" = 1 ]; then echo "scratch copy kept in $scratch"; else rm -rf "$scratch"; fi
}
trap cleanup EXIT

src="$scratch/src"
build="$src/build-mutants"
log="$scratch/log"
if [ "$reuse" = 0 ]; then
  # The source as it stands, uncommitted changes included, without builds.
  mkdir "$src"
  (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
    grep -zv '^build' | xargs -0 cp -a --parents -t "$src") || exit 1
fi

build_it() {
  cmake --build "$build" -j"$jobs" >>"$log" 2>&1
}

run_tests() {  # REGEX EXCLUDE
  local args=(--test-dir "$build" --output-on-failure --stop-on-failure)
  [ -n "$1" ] && args+=(-R "$1")
  [ -n "$2" ] && args+=(-E "$2")
  if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    unshare --net sh -c 'ip link set lo up && exec "$@"' sh ctest "${args[@]}" >>"$log" 2>&1
  else
    ctest "${args[@]}" >>"$log" 2>&1
  fi
}

echo "building the unchanged source in $scratch"
launcher=()
command -v ccache >/dev/null &&
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$src" -B "$build" -DKIVO_ROOT="$build/root" -DKIVO_ROOT_FROM_ENV=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >>"$log" 2>&1 && build_it || {
  tail -40 "$log"
  echo "the unchanged source does not build" >&2
  exit 1
}

killed=0 survived=0 stale=0 untested=0 unbuilt=0
survivors=()
started=$SECONDS
for mutant in "${mutants[@]}"; do
  name=$(basename "$mutant" .patch)
  what=$(head -n 1 "$mutant")
  tests=$(tests_of "$mutant")
  exclude=$(exclude_of "$mutant")
  echo "== $name: $what" >>"$log"
  since=$SECONDS
  if ! patch -d "$src" -p1 --dry-run -s -f <"$mutant" >>"$log" 2>&1; then
    verdict=stale
  elif n=$(count_tests "$build" "$tests" "$exclude") && [ "${n:-0}" -eq 0 ]; then
    verdict=untested
  else
    patch -d "$src" -p1 -s -f --no-backup-if-mismatch <"$mutant" >>"$log" 2>&1
    if ! build_it; then
      verdict=unbuilt
    elif run_tests "$tests" "$exclude"; then
      verdict=survived
    else
      verdict=killed
    fi
    patch -d "$src" -p1 -R -s -f --no-backup-if-mismatch <"$mutant" >>"$log" 2>&1
  fi
  case $verdict in
    killed) killed=$((killed + 1)) ;;
    survived) survived=$((survived + 1)); survivors+=("$name: $what") ;;
    stale) stale=$((stale + 1)) ;;
    untested) untested=$((untested + 1)) ;;
    unbuilt) unbuilt=$((unbuilt + 1)) ;;
  esac
  printf '%-9s %4ds %s: %s\n' "$verdict" $((SECONDS - since)) "$name" "$what"
done

# Back to the unchanged source, so that a kept copy builds as it was.
build_it || true

judged=$((killed + survived))
echo
echo "killed $killed of $judged ($(( judged > 0 ? 100 * killed / judged : 0 ))%)," \
  "stale $stale, untested $untested, unbuilt $unbuilt in $((SECONDS - started)) s;" \
  "the log: $log"
if [ ${#survivors[@]} -gt 0 ]; then
  echo "survivors:"
  printf '  %s\n' "${survivors[@]}"
  [ "$keep" = 1 ] || echo "(run with -k to keep the log)"
fi
[ "$survived" -eq 0 ] && [ "$stale" -eq 0 ] && [ "$untested" -eq 0 ] && [ "$unbuilt" -eq 0 ]

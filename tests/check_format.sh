#!/usr/bin/env bash
# Every C and C++ file of the tree is laid out as .clang-format says, the
# Apache module's C files included. Names each file that differs, and fails
# when one does; `clang-format-14 -i FILE` lays it out.
set -euo pipefail
source_dir=${1:?usage: check_format.sh SOURCE_DIR}
cd "$source_dir"
format=${CLANG_FORMAT:-clang-format-14}
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.c' '*.cc' '*.h')
else
  # An unpacked source tree: the same files, the build trees left out.
  mapfile -t files < <(find . -path './build*' -prune -o -type f \
    \( -name '*.c' -o -name '*.cc' -o -name '*.h' \) -print | sed 's|^\./||' | sort)
fi
# One run over all files; each file that differs is named in its warnings.
if report=$("$format" --dry-run --Werror "${files[@]}" 2>&1); then
  echo "${#files[@]} files checked, none differs"
  exit 0
fi
differing=$(printf '%s\n' "$report" | sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error: .*/\1/p' | sort -u)
if [ -z "$differing" ]; then
  printf '%s\n' "$report"  # the tool itself failed
  exit 1
fi
printf 'differs from .clang-format: %s\n' $differing
echo "${#files[@]} files checked, $(printf '%s\n' "$differing" | wc -l) differ"
exit 1

#!/usr/bin/env bash
# The host program links none of the module's handler code: it reaches the
# module only through the API table of the library it loads.
set -euo pipefail
program=$1
found=$(nm -C --defined-only "$program" |
  grep -E '(^|[^:[:alnum:]_])caldav::|CalDAVServiceHandler|WebDAVServiceHandler|CalDAVConfServiceHandler' || true)
if [ -n "$found" ]; then
  echo "$program links module code:"
  echo "$found" | head -20
  exit 1
fi
echo "no module code linked"

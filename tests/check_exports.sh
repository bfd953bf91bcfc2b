#!/usr/bin/env bash
# The module exports its API table, GetAPITable and the eight entry functions,
# under their plain names, and nothing else of its own.
set -euo pipefail
module=$1
expected="CalDAVCalendarCreate CalDAVCalendarDelete CalDAVCalendarList CalDAVCalendarSet CalDAVConfGet CalDAVConfSet GetAPITable WebDAVGet WebDAVSet gTable"
actual=$(nm -D --defined-only "$module" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exported: $actual"
  echo "expected: $expected"
  exit 1
fi
echo "exports ok"

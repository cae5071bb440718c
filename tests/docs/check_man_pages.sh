#!/usr/bin/env bash
# The man pages render, and man has nothing to warn about in them.
set -euo pipefail
status=0
for page in "$@"; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "$page:"; echo "$warnings"; status=1
  fi
  MANWIDTH=80 man -l "$page" | grep -q . || { echo "$page renders empty"; status=1; }
done
exit $status

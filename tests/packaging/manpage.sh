#!/usr/bin/env bash
# The manual page must say what --help says: every option, device spec form, fault, setting and
# exit status of --help is in the rendered page, with the sections --help has no room for.
#   manpage.sh PROGRAM MANPAGE
set -euo pipefail
help=$("$1" --help)
command -v man >/dev/null || { echo "FAIL: man is missing (man-db; scripts/setup.sh installs it)"; exit 1; }
page=$(MANWIDTH=250 man -l "$2" 2>/dev/null | col -b | tr -s ' ')
missing=0
while IFS= read -r token; do
  grep -qF -- "$token" <<<"$page" || { echo "missing from the manual page: $token"; missing=1; }
done < <(grep -oE -- '--[a-z-]+|[a-z-]+:[A-Z/a-z]+|[a-z-]+=[A-Z|,]+|^  [0-9]+' <<<"$help" | sed 's/^ *//' | sort -u)
for section in SYNOPSIS OPTIONS EXAMPLES "THE RUN LOG" "REAL HARDWARE" FILES; do
  grep -q "^$section" <<<"$page" || { echo "no section $section"; missing=1; }
done
[ "$missing" = 0 ] || exit 1
echo "the manual page covers --help"

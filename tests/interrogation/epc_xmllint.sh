#!/usr/bin/env bash
# The epcData documents that the configuration route builds (a real configuration and one of hostile
# literal text) are well formed for xmllint.
#   epc_xmllint.sh WINE_RUN INTERROGATION_TESTS_EXE
set -euo pipefail
wine_run=$1 exe=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# Wine maps the Unix root to Z:.
KESI_EPC_OUT="Z:${out//\//\\}" "$wine_run" "$exe" --gtest_filter='ConfigurationRouteTest.DocumentsStayWellFormed'
count=0
for f in "$out"/*.xml; do
  [ -f "$f" ] || continue
  xmllint --noout "$f"
  echo "well formed: $(basename "$f") ($(wc -c < "$f") bytes)"
  count=$((count + 1))
done
if [ "$count" -lt 2 ]; then
  echo "expected 2 documents, found $count" >&2
  exit 1
fi

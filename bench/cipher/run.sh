#!/usr/bin/env bash
# Line cipher throughput on 100-byte lines, natively (build/native) and under Wine (build/win64), against
# `openssl enc -aes-256-cbc` on the same data with the same key in the same run. OpenSSL is held to its
# software AES: OPENSSL_ia32cap masks out AES-NI (and PCLMULQDQ). Goal: a ratio of at least 0.5.
#   bench/cipher/run.sh            KESI_BENCH_LINES (default 200000) lines, best of 3 runs each
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
lines=${KESI_BENCH_LINES:-200000}
repeat=3
native="$top/build/native/bench/cipher/cipher_bench"
win="$top/build/win64/bench/cipher/cipher_bench.exe"
wine_run="$top/build/win64/wine-run"
[ -x "$native" ] || { echo "missing $native: build the native preset" >&2; exit 1; }
export OPENSSL_ia32cap="~0x200000200000000"

key=$(awk '/#define KESI_LINE_CIPHER_KEY_BYTES/ {f = 1; next} f {print; if ($0 !~ /\\$/) exit}' \
        "$top/src/core/portable/BuiltInKeys.inc" | grep -o '0x[0-9a-fA-F][0-9a-fA-F]' | sed 's/^0x//' | tr -d '\n')
iv=00000000000000000000000000000000

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$native" --write-data "$tmp/plain" --lines "$lines"
openssl enc -aes-256-cbc -K "$key" -iv "$iv" -in "$tmp/plain" -out "$tmp/cipher"
: > "$tmp/empty"
openssl enc -aes-256-cbc -K "$key" -iv "$iv" -in "$tmp/empty" -out "$tmp/empty.cipher"

# best_seconds CMD...: the shortest wall time of $repeat runs.
best_seconds() {
  local best="" t0 t1 i
  for ((i = 0; i < repeat; i++)); do
    t0=$(date +%s%N); "$@" > /dev/null; t1=$(date +%s%N)
    if [ -z "$best" ] || [ $((t1 - t0)) -lt "$best" ]; then best=$((t1 - t0)); fi
  done
  awk -v ns="$best" 'BEGIN { printf "%.6f", ns / 1e9 }'
}
# OpenSSL's own time: the run on the data less a run on empty input (process start and key setup).
enc_s=$(best_seconds openssl enc -aes-256-cbc -K "$key" -iv "$iv" -in "$tmp/plain" -out /dev/null)
dec_s=$(best_seconds openssl enc -d -aes-256-cbc -K "$key" -iv "$iv" -in "$tmp/cipher" -out /dev/null)
start_s=$(best_seconds openssl enc -aes-256-cbc -K "$key" -iv "$iv" -in "$tmp/empty" -out /dev/null)
bytes=$(stat -c %s "$tmp/plain")
ossl_enc=$(awk -v b="$bytes" -v t="$enc_s" -v s="$start_s" 'BEGIN { printf "%.1f", b / 1e6 / (t - s) }')
ossl_dec=$(awk -v b="$bytes" -v t="$dec_s" -v s="$start_s" 'BEGIN { printf "%.1f", b / 1e6 / (t - s) }')

field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<< "$2"; }
row() { # label figures
  local enc_l enc_mb dec_l dec_mb
  enc_l=$(field encrypt_lines_per_s "$2"); enc_mb=$(field encrypt_mb_per_s "$2")
  dec_l=$(field decrypt_lines_per_s "$2"); dec_mb=$(field decrypt_mb_per_s "$2")
  printf '  %-18s encrypt %9s lines/s %7s MB/s  ratio %s   decrypt %9s lines/s %7s MB/s  ratio %s\n' "$1" \
    "$enc_l" "$enc_mb" "$(awk -v a="$enc_mb" -v b="$ossl_enc" 'BEGIN { printf "%.2f", a / b }')" \
    "$dec_l" "$dec_mb" "$(awk -v a="$dec_mb" -v b="$ossl_dec" 'BEGIN { printf "%.2f", a / b }')"
}

echo "Line cipher: $lines lines of 100 bytes ($((bytes / 1000000)) MB), AES-256-CBC + PKCS #7 + Base64 per line, best of $repeat"
printf '  %-18s encrypt %23s MB/s                decrypt %23s MB/s\n' "openssl enc" "$ossl_enc" "$ossl_dec"
echo "  (reference: $(openssl version | cut -d' ' -f1-2), one CBC stream over the whole file, software AES:"
echo "   OPENSSL_ia32cap=$OPENSSL_ia32cap masks AES-NI; its process start, ${start_s}s, is subtracted)"
row "kesi native" "$("$native" --lines "$lines" --repeat "$repeat")"
if [ -f "$win" ] && [ -x "$wine_run" ]; then
  row "kesi win64 (Wine)" "$("$wine_run" "$win" --lines "$lines" --repeat "$repeat")"
else
  echo "  kesi win64 (Wine): not built ($win)"
fi
echo "  ratio = kesi MB/s / openssl MB/s; goal >= 0.5"

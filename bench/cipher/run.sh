#!/usr/bin/env bash
# Line cipher throughput on 100-byte lines, natively (build/native) and under Wine (build/win64), against
# `openssl enc -aes-256-cbc` on the same data with the same key in the same run. OpenSSL is held to its
# software AES: OPENSSL_ia32cap masks out AES-NI (and PCLMULQDQ). Goal: a ratio of at least 0.5.
#   bench/cipher/run.sh            KESI_BENCH_LINES (default 200000) lines, best of 5 rounds
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
lines=${KESI_BENCH_LINES:-200000}
repeat=5
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

# The runs take turns, one of each per round, so that a burst of load on this shared machine slows the
# reference and the line cipher alike instead of one of them; every figure is the best of its rounds.
have_win=0
[ -f "$win" ] && [ -x "$wine_run" ] && have_win=1
# nanoseconds CMD...: the wall time of one run.
nanoseconds() {
  local t0 t1
  t0=$(date +%s%N); "$@" > /dev/null; t1=$(date +%s%N)
  echo $((t1 - t0))
}
lower() { if [ -z "$1" ] || [ "$2" -lt "$1" ]; then echo "$2"; else echo "$1"; fi; }
higher() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 > a + 0) ? b : a }'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<< "$2"; }
declare -A best=()
# keep PREFIX FIGURES: the best lines/s and MB/s of each direction so far.
keep() {
  local f
  for f in encrypt_lines_per_s encrypt_mb_per_s decrypt_lines_per_s decrypt_mb_per_s; do
    best[$1.$f]=$(higher "${best[$1.$f]:-}" "$(field "$f" "$2")")
  done
}
enc_ns="" dec_ns="" start_ns=""
for ((r = 0; r < repeat; r++)); do
  # OpenSSL's own time: the run on the data less a run on empty input (process start and key setup).
  enc_ns=$(lower "$enc_ns" "$(nanoseconds openssl enc -aes-256-cbc -K "$key" -iv "$iv" -in "$tmp/plain" -out /dev/null)")
  dec_ns=$(lower "$dec_ns" "$(nanoseconds openssl enc -d -aes-256-cbc -K "$key" -iv "$iv" -in "$tmp/cipher" -out /dev/null)")
  start_ns=$(lower "$start_ns" "$(nanoseconds openssl enc -aes-256-cbc -K "$key" -iv "$iv" -in "$tmp/empty" -out /dev/null)")
  keep native "$("$native" --lines "$lines" --repeat 1)"
  [ $have_win -eq 1 ] && keep win "$("$wine_run" "$win" --lines "$lines" --repeat 1 | tr -d '\r')"
done
start_s=$(awk -v ns="$start_ns" 'BEGIN { printf "%.6f", ns / 1e9 }')
bytes=$(stat -c %s "$tmp/plain")
ossl_enc=$(awk -v b="$bytes" -v t="$enc_ns" -v s="$start_ns" 'BEGIN { printf "%.1f", b * 1e3 / (t - s) }')
ossl_dec=$(awk -v b="$bytes" -v t="$dec_ns" -v s="$start_ns" 'BEGIN { printf "%.1f", b * 1e3 / (t - s) }')

row() { # label prefix
  local enc_l=${best[$2.encrypt_lines_per_s]} enc_mb=${best[$2.encrypt_mb_per_s]}
  local dec_l=${best[$2.decrypt_lines_per_s]} dec_mb=${best[$2.decrypt_mb_per_s]}
  printf '  %-18s encrypt %9s lines/s %7s MB/s  ratio %s   decrypt %9s lines/s %7s MB/s  ratio %s\n' "$1" \
    "$enc_l" "$enc_mb" "$(awk -v a="$enc_mb" -v b="$ossl_enc" 'BEGIN { printf "%.2f", a / b }')" \
    "$dec_l" "$dec_mb" "$(awk -v a="$dec_mb" -v b="$ossl_dec" 'BEGIN { printf "%.2f", a / b }')"
}

echo "Line cipher: $lines lines of 100 bytes ($((bytes / 1000000)) MB), AES-256-CBC + PKCS #7 + Base64 per line, best of $repeat rounds"
printf '  %-18s encrypt %23s MB/s                decrypt %23s MB/s\n' "openssl enc" "$ossl_enc" "$ossl_dec"
echo "  (reference: $(openssl version | cut -d' ' -f1-2), one CBC stream over the whole file, software AES:"
echo "   OPENSSL_ia32cap=$OPENSSL_ia32cap masks AES-NI; its process start, ${start_s}s, is subtracted)"
row "kesi native" native
if [ $have_win -eq 1 ]; then
  row "kesi win64 (Wine)" win
else
  echo "  kesi win64 (Wine): not built ($win)"
fi
echo "  ratio = kesi MB/s / openssl MB/s; goal >= 0.5"

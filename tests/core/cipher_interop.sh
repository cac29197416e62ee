#!/usr/bin/env bash
# cipher_interop.sh WINE_RUN KESILOG KEYS_INC
# The line cipher against an independent peer: lines enciphered by kesilog are deciphered by
# `openssl enc -d -aes-256-cbc` with the built-in key and a zero vector, and lines that openssl enciphered
# (and base64 encoded) are deciphered by kesilog among plain lines that must pass through unchanged.
set -euo pipefail
run=$(realpath "$1") kesilog=$(realpath "$2") inc=$(realpath "$3")
command -v openssl >/dev/null || { echo "openssl is missing"; exit 1; }

key=$(awk '/#define KESI_LINE_CIPHER_KEY_BYTES/ {f = 1; next} f {print; if ($0 !~ /\\$/) exit}' "$inc" |
      grep -o '0x[0-9a-fA-F][0-9a-fA-F]' | sed 's/^0x//' | tr -d '\n')
[ ${#key} -eq 64 ] || { echo "could not read the 32-byte line cipher key from $inc"; exit 1; }
iv=00000000000000000000000000000000
ossl() { openssl enc -aes-256-cbc -K "$key" -iv "$iv" "$@"; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

# Plaintext lines, each with its own line ending as the log writes them; lengths around the block size.
printf '\r\n'                                   > p0   # empty line: one block of padding
printf '0123456789abcd\r\n'                     > p1   # 16 bytes with CR LF: two blocks
printf '%s\r\n' "$(printf 'x%.0s' {1..98})"     > p2   # 100 bytes
printf 'caf\351 \342\202\254 \001\t tail\n'     > p3   # ANSI and UTF-8 bytes, control characters, LF only
printf '01/02/2024 10:11:12.013 INFO  CInstall::Install: %s\r\n' "$(printf 'y%.0s' {1..300})" > p4
cases=(p0 p1 p2 p3 p4)
fail=0

# 1. kesilog enciphers, openssl deciphers.
cat "${cases[@]}" > plain.txt
"$run" "$kesilog" --encrypt plain.txt > ours.enc
[ "$(wc -l < ours.enc)" -eq ${#cases[@]} ] || { echo "kesilog --encrypt wrote $(wc -l < ours.enc) lines for ${#cases[@]}"; fail=1; }
grep -q $'\r' ours.enc && { echo "a ciphered line ends in CR LF"; fail=1; }
i=0
for c in "${cases[@]}"; do
  i=$((i + 1))
  sed -n "${i}p" ours.enc | base64 -d > "$c.bin" 2>/dev/null || true
  if ! ossl -d -in "$c.bin" -out "$c.openssl" 2>/dev/null || ! cmp -s "$c" "$c.openssl"; then
    echo "openssl did not decipher kesilog's line $i ($c) to the original"; fail=1
  fi
done

# 2. openssl enciphers, kesilog deciphers; plain lines in between, and a line of zero bytes.
: > empty
: > peer.enc
: > expected
for c in "${cases[@]}" empty; do
  ossl -in "$c" | base64 -w0 >> peer.enc
  printf '\n' >> peer.enc
  cat "$c" >> expected
  printf 'a plain line after %s\r\n' "$c" | tee -a peer.enc >> expected
done
printf 'QUJDREVGR0hJSktMTU5PUA==\n' | tee -a peer.enc >> expected  # Base64 of one block that is no cipher
"$run" "$kesilog" -o ours.txt peer.enc 2> kesilog.err
if ! cmp -s expected ours.txt; then
  echo "kesilog's reading of openssl's lines differs:"; diff <(od -c expected) <(od -c ours.txt) | head -20; fail=1
fi

# 3. Both ways through kesilog alone, by standard input and output.
"$run" "$kesilog" --encrypt < plain.txt | "$run" "$kesilog" > back.txt
cmp -s plain.txt back.txt || { echo "kesilog --encrypt | kesilog does not restore the text"; fail=1; }

[ $fail -eq 0 ] && echo "line cipher and openssl agree both ways (${#cases[@]} lines)"
exit $fail

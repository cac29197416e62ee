#!/usr/bin/env bash
# make_packages.sh OUT ARCH SIGN CERTDIR: the client package stand-ins of the bootstrapper's cases, one
# product at version 10.72.607: kesi-signed.msi (signed with CERTDIR's key) and kesi-unsigned.msi.
set -euo pipefail
out=$1 arch=$2 sign=$3 certs=$4
wxs=$(cd "$(dirname "$0")/../fixtures/msi" && pwd)/package.wxs
mkdir -p "$out/raw"
printf 'KESI bootstrapper fixture payload\n' > "$out/raw/payload.txt"
if [ "$arch" = x64 ]; then pf=ProgramFiles64Folder win64=yes; else pf=ProgramFilesFolder win64=no; fi
(cd "$out/raw" && wixl -a "$arch" -D ProductCode="{7C3E2B1A-5D4F-4E6A-9B8C-1A2B3C4D5E61}" -D Name=kesiclient \
  -D Version=10.72.607 -D UpgradeCode="{7C3E2B1A-5D4F-4E6A-9B8C-1A2B3C4D5E62}" -D Folder="KesiTest kesiclient" \
  -D ComponentGuid="{7C3E2B1A-5D4F-4E6A-9B8C-1A2B3C4D5E63}" -D Payload=payload.txt -D ProgramFiles=$pf \
  -D Win64=$win64 -o kesi.msi "$wxs" 2>/dev/null)
cp "$out/raw/kesi.msi" "$out/kesi-unsigned.msi"
bash "$sign" signed "$out/raw/kesi.msi" "$out/kesi-signed.msi" "$certs"

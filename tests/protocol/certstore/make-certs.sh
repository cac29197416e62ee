#!/usr/bin/env bash
# Makes the certificates of the client-certificate search tests with the openssl command line:
#   make-certs.sh OUTDIR
# OUTDIR receives NAME.der for each certificate below and self.pvk, the private key of "self" as a
# Microsoft key blob file. Made afresh on every run (under a lock; the old set is replaced at once).
#
#   root      KESI Test Root, self-signed authority
#   inter     KESI Test Intermediate, authority issued by root
#   client    issued by inter, client authentication, digital signature; valid now
#   noeku     issued by inter, no enhanced key usage at all; valid now
#   server    issued by inter, server authentication only; valid now
#   nosig     issued by inter, client authentication, key encipherment only; valid now
#   expired   issued by inter, client authentication; valid 2001 to 2002
#   future    issued by inter, client authentication; valid 2090 to 2091
#   self      KESI Self Client, self-signed, client authentication; its key is in self.pvk
#   keyless   KESI Keyless Client, self-signed, client authentication; no key is kept
#   cycle-a   KESI Cycle A issued by KESI Cycle B, an authority
#   cycle-b   KESI Cycle B issued by KESI Cycle A, an authority
set -euo pipefail
out=${1:?usage: make-certs.sh OUTDIR}
mkdir -p "$(dirname "$out")"
exec 9>"$out.lock"
flock 9
work=$(mktemp -d "$out.new.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

cat > ca.cnf <<'CNF'
[ca]
default_ca = tests
[tests]
dir = .
database = ./index.txt
serial = ./serial
new_certs_dir = ./issued
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
[any]
organizationName = optional
commonName = supplied
[authority]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
[client]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = clientAuth
[noeku]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
[nosig]
basicConstraints = critical,CA:FALSE
keyUsage = critical,keyEncipherment
extendedKeyUsage = clientAuth
CNF
mkdir issued
: > index.txt
echo 1000 > serial

yesterday=$(date -u -d '-1 day' +%Y%m%d%H%M%SZ)
nextyear=$(date -u -d '+1 year' +%Y%m%d%H%M%SZ)

# issue NAME "CN" ISSUER(-for self-signed) EXTENSIONS START END
issue() {
  local name=$1 cn=$2 issuer=$3 ext=$4 start=$5 end=$6
  openssl req -new -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" \
    -subj "/O=KESI Tests/CN=$cn" 2>/dev/null
  if [ "$issuer" = - ]; then
    openssl ca -batch -config ca.cnf -selfsign -keyfile "$name.key" -in "$name.csr" -extensions "$ext" \
      -startdate "$start" -enddate "$end" -notext -out "$name.pem" 2>/dev/null
  else
    openssl ca -batch -config ca.cnf -cert "$issuer.pem" -keyfile "$issuer.key" -in "$name.csr" \
      -extensions "$ext" -startdate "$start" -enddate "$end" -notext -out "$name.pem" 2>/dev/null
  fi
  openssl x509 -in "$name.pem" -outform DER -out "$name.der"
}

issue root "KESI Test Root" - authority "$yesterday" "$nextyear"
issue inter "KESI Test Intermediate" root authority "$yesterday" "$nextyear"
issue client "KESI Client" inter client "$yesterday" "$nextyear"
issue noeku "KESI No Usage Client" inter noeku "$yesterday" "$nextyear"
issue server "KESI Server Only" inter server "$yesterday" "$nextyear"
issue nosig "KESI No Signature Client" inter nosig "$yesterday" "$nextyear"
issue expired "KESI Expired Client" inter client 20010101000000Z 20020101000000Z
issue future "KESI Future Client" inter client 20900101000000Z 20910101000000Z
issue self "KESI Self Client" - client "$yesterday" "$nextyear"
issue keyless "KESI Keyless Client" - client "$yesterday" "$nextyear"
openssl rsa -in self.key -outform PVK -pvk-none -out self.pvk 2>/dev/null

# Two authorities that certify each other: a request for B signed with A's key, and the reverse.
openssl req -new -newkey rsa:2048 -nodes -keyout cycle-a.key -out cycle-a.csr -subj "/O=KESI Tests/CN=KESI Cycle A" 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout cycle-b.key -out cycle-b.csr -subj "/O=KESI Tests/CN=KESI Cycle B" 2>/dev/null
openssl ca -batch -config ca.cnf -selfsign -keyfile cycle-a.key -in cycle-a.csr -extensions authority \
  -startdate "$yesterday" -enddate "$nextyear" -notext -out cycle-a-self.pem 2>/dev/null
openssl ca -batch -config ca.cnf -selfsign -keyfile cycle-b.key -in cycle-b.csr -extensions authority \
  -startdate "$yesterday" -enddate "$nextyear" -notext -out cycle-b-self.pem 2>/dev/null
openssl ca -batch -config ca.cnf -cert cycle-b-self.pem -keyfile cycle-b.key -in cycle-a.csr -extensions authority \
  -startdate "$yesterday" -enddate "$nextyear" -notext -out cycle-a.pem 2>/dev/null
openssl ca -batch -config ca.cnf -cert cycle-a-self.pem -keyfile cycle-a.key -in cycle-b.csr -extensions authority \
  -startdate "$yesterday" -enddate "$nextyear" -notext -out cycle-b.pem 2>/dev/null
openssl x509 -in cycle-a.pem -outform DER -out cycle-a.der
openssl x509 -in cycle-b.pem -outform DER -out cycle-b.der

mkdir result
mv ./*.der self.pvk result/
rm -rf "$out"
mv result "$out"

#!/usr/bin/env bash
# credential_cipher.exe under Wine gives the stored forms the Linux tool gives
# (below), for a credential with letters that Windows-1252, the ANSI code page
# here, cannot hold (Ł, ł, ź), and reads them back.
#   credential_cipher_test.sh <credential_cipher.exe> <wine-run.sh>
set -euo pipefail
tool=$1
wine_run=$2
# Wine reads the arguments of a Linux command line in the locale's character set.
export LC_ALL=C.UTF-8

expected=$'Lf8CoNuRwa9sQgE9Ikmz/Q==\ntByzKcbrq72Ztgi/pQh0YJcO+Xn2/22c4QXEdcrge9Y='
stored=$("$wine_run" "$tool" DCUSER 'Hasło Łódź €' | tr -d '\r')
if [ "$stored" != "$expected" ]; then
  printf 'FAILED: the stored forms differ from the Linux tool'"'"'s:\n%s\nexpected:\n%s\n' "$stored" "$expected"
  exit 1
fi
clear=$("$wine_run" "$tool" --decipher 'tByzKcbrq72Ztgi/pQh0YJcO+Xn2/22c4QXEdcrge9Y=' | tr -d '\r')
if [ "$clear" != 'Hasło Łódź €' ]; then
  echo "FAILED: deciphered as \"$clear\""
  exit 1
fi
echo "credential_cipher.exe enciphers and deciphers as the Linux tool does."

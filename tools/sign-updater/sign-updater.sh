#!/bin/sh
# Signs updaters for the Data Collector's self-update with an Ed25519 key.
#
#   sign-updater.sh keygen KEY.pem          new private key (mode 0600), then
#                                           prints its UpdatePublicKey value
#   sign-updater.sh public-key KEY.pem      prints the UpdatePublicKey value
#   sign-updater.sh sign KEY.pem UPDATER    writes UPDATER.sig, the detached
#                                           signature to publish beside it
#
# The collector fetches the updater's URL + ".sig" and starts the updater only
# when those 64 bytes are an Ed25519 signature of the whole file by a key in
# "UpdatePublicKey" (or the one built in with -DDC_UPDATE_PUBLIC_KEY=...).
# Keep KEY.pem off the statistics server: whoever holds it can run programs
# as root on every collector that trusts it.
set -eu

usage() {
  sed -n '4,9p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

public_key() {
  # The DER form of an Ed25519 public key ends with the key's 32 bytes.
  openssl pkey -in "$1" -pubout -outform DER | tail -c 32 | base64 | tr -d '\n'
  echo
}

[ $# -ge 2 ] || usage
command=$1
key=$2
case $command in
  keygen)
    [ $# -eq 2 ] || usage
    if [ -e "$key" ]; then
      echo "sign-updater: $key exists already; not overwritten" >&2
      exit 1
    fi
    (umask 077 && openssl genpkey -algorithm ed25519 -out "$key")
    public_key "$key"
    ;;
  public-key)
    [ $# -eq 2 ] || usage
    public_key "$key"
    ;;
  sign)
    [ $# -eq 3 ] || usage
    updater=$3
    openssl pkeyutl -sign -rawin -inkey "$key" -in "$updater" -out "$updater.sig.tmp"
    mv "$updater.sig.tmp" "$updater.sig"
    echo "sign-updater: wrote $updater.sig" >&2
    ;;
  *)
    usage
    ;;
esac

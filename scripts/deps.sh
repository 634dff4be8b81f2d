#!/bin/sh
# Installs the Debian packages a step needs, only those that are missing.
# Usage: scripts/deps.sh run|test
set -eu

run_pkgs="g++ cmake make qt6-base-dev qt6-translations-l10n fonts-dejavu-core libssl-dev
  libgsasl-dev qt6-networkauth-dev qtkeychain-qt6-dev libsecret-1-0"
test_pkgs="$run_pkgs googletest libgtest-dev libgmock-dev dovecot-core dovecot-pop3d media-types iproute2 openssl
  desktop-file-utils appstream groff-base dpkg-dev file
  gnome-keyring dbus-daemon dbus-bin libsecret-tools"

case "${1:-}" in
  run) pkgs=$run_pkgs ;;
  test) pkgs=$test_pkgs ;;
  *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
# shellcheck disable=SC2086
$sudo apt-get install -y -q --no-install-recommends $missing

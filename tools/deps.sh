#!/bin/sh
# Installs the Debian packages of tools/packages.txt that are missing.
# As root it runs apt-get; otherwise it prints the exact command and stops.
set -eu
here=$(dirname "$0")
list=$(grep -v '^#' "$here/packages.txt" | grep -v '^$' | tr '\n' ' ')
extra="${LUMORA_EXTRA_PACKAGES:-}"
missing=""
for pkg in $list $extra; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  case "$status" in *"install ok installed"*) ;; *) missing="$missing $pkg" ;; esac
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends $missing
else
  echo "Lumora needs these Debian packages. Install them with:" >&2
  echo "  sudo apt-get install$missing" >&2
  exit 1
fi

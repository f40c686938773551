#!/usr/bin/env bash
# Installs the Debian packages of scripts/packages.txt that are missing (plus any given as
# arguments), with sudo when not root.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
wanted=$(grep -v -E '^\s*(#|$)' "$here/packages.txt")
wanted="$wanted $*"
missing=()
for pkg in $wanted; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

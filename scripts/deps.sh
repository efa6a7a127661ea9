#!/usr/bin/env bash
# Installs the Debian packages of scripts/packages.txt that are missing, and the npm
# packages of tests/browser when that folder has a package.json. Idempotent and quiet
# when everything is there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

mapfile -t wanted < <(grep -vE '^\s*(#|$)' "$root/scripts/packages.txt")
missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${#missing[@]} missing package(s): ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

if [ -f "$root/tests/browser/package.json" ] && [ ! -d "$root/tests/browser/node_modules" ]; then
  echo "deps: installing browser test packages (npm)"
  (cd "$root/tests/browser" && npm install --no-audit --no-fund --silent)
fi

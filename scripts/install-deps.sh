#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/deps.d/*.txt (one a line, # comments).
# Run as root, or through sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t packages < <(cat scripts/deps.d/*.txt | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y "${packages[@]}"

#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Fast when all are present.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    libpng-dev zlib1g-dev libpugixml-dev libzip-dev libcurl4-openssl-dev libcli11-dev
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libaravis-dev  # benchmark baseline only: an independent GigE Vision receiver
    python3 python3-pyftpdlib
    iproute2 util-linux tcpdump procps
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "setup-deps: installing ${missing[*]}"
sudo_prefix=()
if [ "$(id -u)" -ne 0 ]; then sudo_prefix=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_prefix[@]}" apt-get update -qq
"${sudo_prefix[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

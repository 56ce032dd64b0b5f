#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the checks of scripts/test.sh (clang-format,
# clang-tidy, the clang sanitizer build) and the demo need. Fast when all are present.
#   scripts/setup-deps.sh                    what the build, tests and demo need
#   scripts/setup-deps.sh --with-baselines   also the optional benchmark baselines and file readers
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    clang clang-format clang-tidy libclang-rt-14-dev pycodestyle
    libpng-dev zlib1g-dev libpugixml-dev libzip-dev libcurl4-openssl-dev libcli11-dev
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    python3 python3-numpy python3-pyftpdlib python3-pil python3-gi gir1.2-aravis-0.8 aravis-tools-cli
    iproute2 util-linux tcpdump procps
)
# Optional: Aravis as the stream benchmark's baseline; PCL as the point-cloud benchmark's baseline and
# for the check that PCD/PLY files load in a real reader (scripts/check-cloud-files.sh); OpenCV as the
# image benchmark's baseline. Nothing else needs them. aravis-0.8.pc needs libusb-1.0.pc.
baseline_packages=(libpcl-dev libaravis-dev libusb-1.0-0-dev libopencv-dev)
if [ "${1:-}" = "--with-baselines" ]; then
    packages+=("${baseline_packages[@]}")
fi

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

#!/usr/bin/env bash
# The demo: builds everything, starts three virtual cameras behind two adapters in an isolated
# network namespace (one of them on a foreign subnet), and walks through the tavi tool: discovery,
# the doctor and its fixes, features by name, live statistics, and a capture into every file kind
# with a preview picture (written to demo-output/).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
cmake -S . -B build -G Ninja -DTAVI_BUILD_BENCH=OFF > build.configure.log 2>&1 || { cat build.configure.log; exit 1; }
cmake --build build -j "$(nproc)"

exec scripts/netns-run.sh \
    --adapter tv0,169.254.1.1/16,mtu=1500,gw=169.254.1.254 \
    --adapter tv1,192.168.50.1/24,mtu=9000 \
    --camera "tv0,169.254.1.10/16,--serial TV3D0001 --mac 02:54:56:00:00:01" \
    --camera "tv1,192.168.50.20/24,--serial TV3D0002 --mac 02:54:56:00:00:02" \
    --camera "tv1,10.9.0.5/24,--serial TV3D0003 --mac 02:54:56:00:00:03" \
    -- scripts/demo-steps.sh

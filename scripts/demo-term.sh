#!/usr/bin/env bash
# Demo: the Linux program on the built-in default, the simulated device and the local update
# server, in this terminal: tolvarin-sim-signed, which verifies the server's files against the
# build's test key (build/native/test-key), on a tree signed with it. The device (version 5120,
# 0.4 ms a request) is plugged in 3 s after the start; `rm build/demo-term/device.state` unplugs it.
#
#   scripts/demo-term.sh [tolvarin-sim options, e.g. --force, --select 2, --yes]
set -euo pipefail
cd "$(dirname "$0")/.."
demo=$(pwd)/build/demo-term
bin=$(pwd)/build/native/bin

scripts/install-deps.sh
echo "== building what is missing"
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target tolvarin-sim-signed tolvarin-tool >/dev/null

rm -rf "$demo" && mkdir -p "$demo"
"$bin/tolvarin-tool" publish samples/manifest.json --out "$demo/server" \
  --key build/native/test-key/private.pem >/dev/null
echo "== published and signed with build/native/test-key/private.pem"
"$bin/tolvarin-tool" sim create --model-id 4D9C --version 5120 --state "$demo/device.unplugged" >/dev/null
"$bin/tolvarin-tool" sim fault --state "$demo/device.unplugged" --delay-us 400 >/dev/null

# The server on a free port, which the simulated program is told of.
coproc SERVER { exec python3 tests/server/update_server.py --root "$demo/server" --port 0; }
server_pid=$SERVER_PID
trap 'kill "$server_pid" 2>/dev/null || true' EXIT
read -r -t 10 ready port <&"${SERVER[0]}"
[ "$ready" = READY ] || { echo "the update server did not start"; exit 1; }
(sleep 3 && mv "$demo/device.unplugged" "$demo/device.state") &

status=0
TOLVARIN_SIM_STATE="$demo/device.state" TOLVARIN_SIM_SERVER="127.0.0.1:$port" \
  "$bin/tolvarin-sim-signed" "$@" || status=$?
echo "== tolvarin-sim-signed ended with exit status $status"
[ -f "$demo/device.state" ] && "$bin/tolvarin-tool" sim show --state "$demo/device.state" | head -3
exit "$status"

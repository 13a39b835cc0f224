#!/usr/bin/env bash
# Shows Larkpost's main job: builds it, starts a throw-away Postfix on a loopback port
# (nothing leaves the machine), sends a message with a program-written header and an
# attachment through it, and prints what the server delivered.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --native-only
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target larkpost >/dev/null
exec /usr/bin/python3 scripts/demo.py build/larkpost

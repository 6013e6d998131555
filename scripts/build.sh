#!/usr/bin/env bash
# Configures and builds one build tree: every target, or only those named in
# QX_TARGETS (space-separated).
#   [QX_TARGETS="a b"] scripts/build.sh [DIR] [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-"$root/build"}
shift || true
werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=$werror "$@" >/dev/null
targets=()
for t in ${QX_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"

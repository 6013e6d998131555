#!/usr/bin/env bash
# The main job on an embedded default: build, then run the capture helper
# against the current X display, or a virtual one started for the purpose.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/build.sh" "$root/build"
helper="$root/build/capture/quorvex-screencap"

xvfb_pid=""
cleanup() { if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  exec 3< <(Xvfb -displayfd 1 -screen 0 1920x1080x24 -nolisten tcp 2>/dev/null & echo "pid $!")
  read -r _ xvfb_pid <&3
  read -r number <&3
  export DISPLAY=":$number"
  echo "run: started a virtual display $DISPLAY (1920x1080)" >&2
fi

echo "run: displays:" >&2
"$helper" --list-displays
echo >&2
echo "run: helper diagnostics:" >&2
set +e
timeout 5 "$helper" --fps 30 --bitrate 8M </dev/null >/dev/null
echo "run: helper exited with status $?" >&2

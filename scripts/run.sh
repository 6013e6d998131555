#!/usr/bin/env bash
# The main job on an embedded default: build, then run the capture helper
# against the current X display, or a virtual one started for the purpose.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/build.sh" "$root/build"
helper="$root/build/Quorvex Host.app/Contents/MacOS/quorvex-screencap"

xvfb_pid=""
cleanup() {
  if [ -n "${player_pid:-}" ]; then kill "$player_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
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
# A started virtual display is black and still: play a moving test pattern on it.
player_pid=""
if [ -n "$xvfb_pid" ]; then
  SDL_AUDIODRIVER=dummy ffplay -v error -an -noborder -left 0 -top 0 -x 1920 -y 1080 \
    -f lavfi -i testsrc2=size=1920x1080:rate=30 >/dev/null 2>&1 &
  player_pid=$!
  sleep 1
fi

out="$root/build/run"
mkdir -p "$out"
echo "run: streaming for 5 s; helper diagnostics:" >&2
set +e
# Standard input stays open (sleep) so the helper runs until the time-out.
sleep 6 | timeout 5 "$helper" --fps 30 --bitrate 8M >"$out/capture.h264"
echo "run: helper exited with status $? (124: stopped by the time-out)" >&2
set -e
echo "run: $(stat -c %s "$out/capture.h264") bytes of H.264 in $out/capture.h264" >&2
# The last frame: the first may show the display before the pattern came up.
if ffmpeg -v fatal -y -f h264 -i "$out/capture.h264" -update 1 "$out/frame.png" && [ -s "$out/frame.png" ]; then
  echo "run: last decoded frame written to $out/frame.png" >&2
else
  echo "run: the stream did not decode" >&2
  exit 1
fi

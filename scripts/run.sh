#!/usr/bin/env bash
# The main job: build, then run QuorvexHost with a default setup. The host
# starts the stand-in media server, which streams the capture helper's picture
# of the display. Without a display it makes a virtual one with a tray and a
# moving test pattern. Settings, token, log, caches and the runtime folder are
# temporary and the session bus is its own, so the user's real settings, token
# and running copy are never touched.
#   scripts/run.sh [SECONDS]    stops after SECONDS (default 15) or on Ctrl-C
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-15}
started=$(date +%s.%N)
"$root/scripts/deps.sh"
packaged=$(date +%s.%N)
# Only what runs below: the host, the helper and the server it starts (tests
# and benchmarks wait for scripts/test.sh). A tree of its own, so that it never
# reconfigures the one scripts/test.sh and the lint use, without debug
# information: that is 28 % less compiling, with the same optimisation as the
# tested tree (Release alone would mean -O3, and GCC 12 warns falsely there).
run_build="$root/build-run"
QX_TARGETS="QuorvexHost quorvex-screencap quorvex-webrtc-server" "$root/scripts/build.sh" "$run_build" \
  -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG"
built=$(date +%s.%N)
awk -v s="$started" -v p="$packaged" -v b="$built" \
  'BEGIN { printf "run: packages %.1f s, build %.1f s\n", p - s, b - p }' >&2
host="$run_build/Quorvex Host.app/Contents/MacOS/QuorvexHost"

work=$(mktemp -d)
pids=()
host_pid=""
session_pid=""
server_pid=""
# The host quits on SIGTERM as on its menu's Quit: it stops the server first.
cleanup() {
  if [ -n "$host_pid" ]; then
    local server=$server_pid status=0
    kill -TERM "$host_pid" 2>/dev/null || true
    wait "$session_pid" || status=$?
    echo "run: QuorvexHost stopped with status $status" >&2
    if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
      echo "run: its server (pid $server) is still running" >&2
    elif [ -n "$server" ]; then
      echo "run: its server (pid $server) stopped with it" >&2
    fi
  fi
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  # A helper that ignores SIGTERM (a busy ffplay, say) must not hold the exit.
  for _ in $(seq 50); do
    local alive=0
    for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && alive=1; done
    [ "$alive" = 0 ] && break
    sleep 0.1
  done
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo >&2; exit 130' INT TERM

# The helpers below must not start a session bus of their own on the display.
export DBUS_SESSION_BUS_ADDRESS=disabled:
if [ -z "${DISPLAY:-}" ]; then
  exec 3< <(exec Xvfb -displayfd 1 -screen 0 1280x720x24 -nolisten tcp 2>/dev/null)
  pids+=($!)
  read -r number <&3
  export DISPLAY=":$number"
  # Our own virtual display is X11: a Wayland session's variables would send the helper elsewhere.
  unset WAYLAND_DISPLAY XDG_SESSION_TYPE
  trayer --edge top --align right --widthtype request --height 28 >/dev/null 2>&1 &
  pids+=($!)
  # A still black screen would make a dull stream.
  SDL_AUDIODRIVER=dummy ffplay -v error -an -noborder -left 0 -top 0 -x 1280 -y 720 \
    -f lavfi -i testsrc2=size=1280x720:rate=30 >/dev/null 2>&1 &
  pids+=($!)
  echo "run: virtual display $DISPLAY (1280x720) with a tray and a test pattern" >&2
fi

# The display's X authority and the desktop's sound server stay reachable once
# HOME and XDG_RUNTIME_DIR move.
if [ -z "${XAUTHORITY:-}" ] && [ -f "$HOME/.Xauthority" ]; then export XAUTHORITY="$HOME/.Xauthority"; fi
user_runtime=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}
if [ -z "${PULSE_SERVER:-}" ] && [ -S "$user_runtime/pulse/native" ]; then
  export PULSE_SERVER="unix:$user_runtime/pulse/native"
fi
if [ -z "${PULSE_COOKIE:-}" ] && [ -f "${XDG_CONFIG_HOME:-$HOME/.config}/pulse/cookie" ]; then
  export PULSE_COOKIE="${XDG_CONFIG_HOME:-$HOME/.config}/pulse/cookie"
fi
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" \
  XDG_CACHE_HOME="$work/cache" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$HOME" "$XDG_CONFIG_HOME/Quorvex" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# Without a sound server the helper cannot send the system audio the default
# setup asks for: a private one with a silent output stands in.
if [ -z "${PULSE_SERVER:-}" ]; then
  mkdir -m 700 "$work/pulse"
  PULSE_RUNTIME_PATH="$work/pulse" pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=false \
    --log-target=stderr -L "module-null-sink sink_name=run" \
    -L "module-native-protocol-unix auth-anonymous=1 socket=$work/pulse/native" 2>/dev/null &
  pids+=($!)
  export PULSE_SERVER="unix:$work/pulse/native"
  for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  echo "run: a private sound server with a silent output" >&2
fi

# The default setup, saved as the settings window would save it, on another
# port only when something already listens on 8771.
listen=":8771"
if (exec 3<>/dev/tcp/127.0.0.1/8771) 2>/dev/null; then listen=":0"; fi
token=$(head -c 4096 /dev/urandom | LC_ALL=C tr -dc 'abcdefghijkmnpqrstuvwxyz23456789')
token=${token:0:16}
cat >"$XDG_CONFIG_HOME/Quorvex/QuorvexHost.conf" <<EOF
[General]
configured=true
hostSettings="{\"listen\":\"$listen\",\"audio\":true,\"fps\":30,\"bitrate\":\"24M\",\"maxWidth\":1920,\"rateControl\":\"vbr\"}"
EOF
# The bus below offers no keyring, so the token lives in the file the host
# falls back to.
(umask 077 && printf '%s' "$token" >"$XDG_CONFIG_HOME/Quorvex/token")

# A session bus that starts no services: nothing is activated on the user's
# behalf (no keyring daemon, no portal).
cat >"$work/session.conf" <<EOF
<busconfig>
  <type>session</type>
  <listen>unix:dir=$XDG_RUNTIME_DIR</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF

log="$XDG_STATE_HOME/Quorvex/host.log"
# As root, dbus-daemon says that it may not raise its file limit: that line is
# dropped by a filter that outlives Ctrl-C, so nothing writes into a closed pipe.
dbus-run-session --config-file="$work/session.conf" -- \
  sh -c 'echo $$ >"$1"; exec "$0"' "$host" "$work/host.pid" \
  2> >(trap '' INT; exec grep -v 'Failed to set fd limit' >&2) &
session_pid=$!
for _ in $(seq 100); do
  [ -s "$work/host.pid" ] && break
  sleep 0.1
done
host_pid=$(cat "$work/host.pid")
echo "run: QuorvexHost running (pid $host_pid); its log is $log" >&2

port=""
for _ in $(seq 200); do
  if [ -f "$log" ] && grep -q capturing "$log"; then
    port=$(sed -n 's/.*listening on [^ ]*:\([0-9][0-9]*\) .*/\1/p' "$log" | tail -n 1)
    [ -n "$port" ] && break
  fi
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "run: the server did not start streaming; its log:" >&2
  cat "$log" >&2 2>/dev/null || true
  exit 1
fi
server_pid=$(pgrep -P "$host_pid" -f quorvex-webrtc-server || true)
url="http://127.0.0.1:$port/stream.h264?token=$token"
echo "run: the server streams the display; watch it with" >&2
echo "       ffplay -fflags nobuffer -f h264 '$url'" >&2
echo "     or open the viewer in a browser (a phone on this network: this computer's address instead of 127.0.0.1)" >&2
echo "       http://127.0.0.1:$port/   (token: $token)" >&2

# One client of our own, so the run shows a decoded picture.
out="$run_build/run"
mkdir -p "$out"
rm -f "$out/frame.png"
# Long waits run in the background: `wait` gives way to Ctrl-C at once, where a
# foreground command would have to end first.
timeout 15 ffmpeg -v error -y -probesize 200000 -f h264 -i "$url" -frames:v 60 -update 1 "$out/frame.png" \
  2>"$work/ffmpeg.err" &
pids+=($!)
wait $! || cat "$work/ffmpeg.err" >&2
if [ -s "$out/frame.png" ]; then
  echo "run: a client received the stream; its last frame is $out/frame.png" >&2
else
  echo "run: a client could not decode the stream" >&2
  exit 1
fi
if grep -q 'connected clients: 1' "$log"; then echo "run: the server counted it: 'connected clients: 1'" >&2; fi

echo "run: stopping in $seconds s (Ctrl-C stops now)" >&2
sleep "$seconds" &
pids+=($!)
wait $!

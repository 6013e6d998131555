#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the main job need.
# Idempotent: apt-get runs only when something is missing.
set -euo pipefail

packages=(
  # toolchain and test frameworks
  build-essential cmake ninja-build pkg-config git libgtest-dev libgmock-dev
  # the include checker (scripts/check_includes.py)
  python3
  # X11 capture, display power, input
  libxcb1-dev libxcb-randr0-dev libxcb-shm0-dev libxcb-damage0-dev libxcb-screensaver0-dev
  libxcb-dpms0-dev libxcb-xfixes0-dev libxcb-xtest0-dev
  # video, audio
  libx264-dev libopenh264-dev libswscale-dev libswresample-dev libavutil-dev libopus-dev libpulse-dev
  # shared libraries of the logic
  libboost-dev nlohmann-json3-dev libicu-dev libsodium-dev
  # host application (libqt6svg6: the bundle's SVG icons render empty without it)
  qt6-base-dev qtkeychain-qt6-dev libqt6svg6
  # desktop integration: entry checks, GLib's launcher, a tray under Xvfb
  desktop-file-utils libglib2.0-bin trayer openbox
  # UI tests: real clicks, a second clipboard client, a CJK font for the Chinese screenshots
  xdotool xclip fonts-droid-fallback
  # the end-to-end host test reads the tray menu over the accessibility bus
  at-spi2-core
  # test services and tools: X servers, sound server, session bus, decoders
  xvfb xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils x11-utils xauth
  ffmpeg libavcodec-dev pulseaudio pulseaudio-utils dbus dbus-x11 gnome-keyring procps
  # bench/pipeline's GStreamer peer: gst-launch-1.0, ximagesrc (good), x264enc (ugly), pipewiresrc
  gstreamer1.0-tools gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly gstreamer1.0-pipewire
  # Wayland capture (outputs, the screen-cast portal, PipeWire) and its headless test desktop
  libwayland-dev wayland-protocols libportal-dev libpipewire-0.3-dev
  sway swaybg xdg-desktop-portal xdg-desktop-portal-wlr pipewire pipewire-bin wireplumber weston
  # ... and GNOME's compositor with its portal, software-rendered; its dialog accepted over the
  # accessibility bus
  mutter xdg-desktop-portal-gnome libgl1-mesa-dri libegl-mesa0 python3-gi gir1.2-atspi-2.0
  # the server's WebRTC viewers: webrtcbin (bad), ICE through libnice, appsrc and the RTP payloaders
  gstreamer1.0-plugins-bad gstreamer1.0-nice libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  libgstreamer-plugins-bad1.0-dev
  # bundle signatures must verify with the stock minisign
  minisign
  # the viewer page's end-to-end tests drive headless Chromium
  chromium
  # libFuzzer harnesses (fuzz/run.sh)
  clang-14 libclang-rt-14-dev
)

# One query for all of them: one per package took most of 20 s.
declare -A installed=()
while read -r name status; do
  [ "$status" = "installed" ] && installed[${name%%:*}]=1
done < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for p in "${packages[@]}"; do
  [ -n "${installed[$p]:-}" ] || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "deps: installing ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

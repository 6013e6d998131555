#!/usr/bin/env bash
# Runs a command inside a throwaway headless Wayland desktop: sway (pixman, headless backend), PipeWire,
# WirePlumber and the screen-cast portal, in a D-Bus session of their own, as an unprivileged user
# (sway refuses to run as root). Everything started here is ended by its pid when the command ends.
#   session.sh [--desktop sway|gnome] [--size WxH] [--background RRGGBB] [--preload LIB] [--copy FILE]... -- COMMAND...
# --desktop gnome runs GNOME's compositor (mutter, headless, one virtual monitor, software rendering)
# with its portal backend instead of sway; it draws its own background, so --background does nothing.
# --preload loads LIB into the screen-cast portal backend (started on demand by D-Bus, so a backend
# that was stopped comes back the same way). --copy puts FILE into a folder the session user can read
# (the checkout may not be), named in QX_WAYLAND_BIN. The command also sees WAYLAND_DISPLAY,
# XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS, XDG_SESSION_TYPE=wayland, QX_WAYLAND_HOME (the session
# user's home, writable) and QX_SESSION_LOG (the desktop's log). Its exit status is the command's.
set -euo pipefail
desktop=sway
size=1280x720
background=204080
preload=""
copies=()
while [ $# -gt 0 ]; do
  case "$1" in
    --desktop) desktop=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --background) background=$2; shift 2 ;;
    --preload) preload=$2; shift 2 ;;
    --copy) copies+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: session.sh [--desktop sway|gnome] [--size WxH] [--background RRGGBB] [--preload LIB] -- COMMAND..." >&2; exit 64; }

if [ "${QX_WAYLAND_INNER:-}" != 1 ]; then
  user=qxwayland
  id -u "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
  base=$(mktemp -d /tmp/qx-wayland.XXXXXX)
  chmod 0755 "$base"
  mkdir -m 0700 "$base/run" && mkdir -m 0755 "$base/home"
  chown "$user:" "$base/run" "$base/home"
  self=$(readlink -f "$0")
  cp "$self" "$base/session.sh" && chmod 0755 "$base/session.sh"
  if [ -n "$preload" ]; then cp "$preload" "$base/preload.so" && chmod 0644 "$base/preload.so"; fi
  mkdir -m 0755 "$base/bin"
  for f in ${copies[@]+"${copies[@]}"}; do cp "$f" "$base/bin/" && chmod a+rX "$base/bin/$(basename "$f")"; done
  # The portal backend, started by D-Bus on first use, with the shim when one is given. Written before
  # the bus starts, so it is found.
  backend=/usr/libexec/xdg-desktop-portal-wlr
  if [ -n "$preload" ]; then backend="/usr/bin/env LD_PRELOAD=$base/preload.so $backend"; fi
  mkdir -p "$base/home/.local/share/dbus-1/services"
  printf '[D-BUS Service]\nName=org.freedesktop.impl.portal.desktop.wlr\nExec=%s\n' "$backend" \
    >"$base/home/.local/share/dbus-1/services/org.freedesktop.impl.portal.desktop.wlr.service"
  chown -R "$user:" "$base/home"
  status=0
  runuser -u "$user" -- env -i HOME="$base/home" XDG_RUNTIME_DIR="$base/run" XDG_DATA_HOME="$base/home/.local/share" PATH=/usr/local/bin:/usr/bin:/bin \
    QX_WAYLAND_INNER=1 QX_WAYLAND_BASE="$base" LANG=C.UTF-8 \
    dbus-run-session -- "$base/session.sh" --desktop "$desktop" --size "$size" --background "$background" -- "$@" || status=$?
  rm -rf "$base"
  exit $status
fi

# Inside the session, as the session user.
log="$QX_WAYLAND_BASE/home/desktop.log"
: >"$log"
pids=()
cleanup() {
  for (( i=${#pids[@]}-1; i>=0; i-- )); do kill "${pids[$i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  # The document portal, started on demand, leaves its mount behind, which the removal then trips on.
  fusermount3 -u "$XDG_RUNTIME_DIR/doc" 2>/dev/null || true
}
trap cleanup EXIT

pipewire >>"$log" 2>&1 &
pids+=($!)
sleep 0.2
wireplumber >>"$log" 2>&1 &
pids+=($!)

if [ "$desktop" = gnome ]; then
  mutter --headless --no-x11 --virtual-monitor "$size" --wayland >>"$log" 2>&1 &
  pids+=($!)
  current=GNOME
else
  mkdir -p "$HOME/.config/xdg-desktop-portal-wlr"
  cat >"$HOME/sway.conf" <<CONF
output HEADLESS-1 resolution $size position 0 0 bg #$background solid_color
default_border none
for_window [title="qx-test-.*"] floating enable, move position 40 40
CONF
  cat >"$HOME/.config/xdg-desktop-portal-wlr/config" <<CONF
[screencast]
chooser_type=none
output_name=HEADLESS-1
CONF
  WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c "$HOME/sway.conf" >>"$log" 2>&1 &
  pids+=($!)
  current=sway
fi
for _ in $(seq 100); do
  sock=$(cd "$XDG_RUNTIME_DIR" && ls wayland-[0-9] 2>/dev/null | head -1 || true)
  [ -n "$sock" ] && break
  sleep 0.05
done
[ -n "${sock:-}" ] || { echo "session: $desktop did not start" >&2; cat "$log" >&2; exit 70; }
export WAYLAND_DISPLAY=$sock XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=$current
# Portal backends started on demand by D-Bus need the display too.
dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE >/dev/null 2>&1 || true

/usr/libexec/xdg-desktop-portal >>"$log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  busctl --user status org.freedesktop.portal.Desktop >/dev/null 2>&1 && break
  sleep 0.05
done
export QX_WAYLAND_HOME=$HOME QX_SESSION_LOG=$log QX_WAYLAND_BIN=$QX_WAYLAND_BASE/bin
case "$1" in @*) set -- "$QX_WAYLAND_BIN/${1#@}" "${@:2}" ;; esac
status=0
"$@" || status=$?
exit $status

#!/usr/bin/env bash
# Installs Quorvex Host for the current user, where it can update itself: the
# bundle into ${XDG_DATA_HOME:-~/.local/share}/quorvex/, its entry and icon into
# the desktop's application menu. The application uninstalls itself (tray menu).
#   scripts/install.sh [--test-key] [--no-build] [BUILD_DIR]
#     BUILD_DIR    the build tree to install (default: build/)
#     --no-build   install BUILD_DIR as it is; by default dependencies are
#                  installed and BUILD_DIR is built first
#     --test-key   accept a build that pins the TEST-ONLY update key
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

die() {
  echo "install: $*" >&2
  exit 1
}

test_key=false
build=true
dir="$root/build"
while [ $# -gt 0 ]; do
  case $1 in
    --test-key) test_key=true ;;
    --no-build) build=false ;;
    -*) die "unknown option $1 (usage: scripts/install.sh [--test-key] [--no-build] [BUILD_DIR])" ;;
    *) dir=$1 ;;
  esac
  shift
done

if $build; then
  "$root/scripts/deps.sh"
  "$root/scripts/build.sh" "$dir"
fi

# Anyone holding the committed test key could sign updates for a build that
# pins it.
tool="$dir/tools/quorvex-bundle"
[ -x "$tool" ] || die "$tool is missing: build $dir first"
if pinned=$("$tool" pinned-key-id 2>/dev/null); then
  test_id=$("$tool" key-id "$root/tests/keys/TEST-ONLY-update-key.pub")
  if [ "$pinned" = "$test_id" ] && ! $test_key; then
    die "this build pins the TEST-ONLY update key $pinned; configure it with -DQX_UPDATE_PUBLIC_KEY=<your key>, or pass --test-key"
  fi
else
  echo "install: this build pins no update key, so it will refuse every update" >&2
fi

data=${XDG_DATA_HOME:-$HOME/.local/share}
dest="$data/quorvex"
bundle="$dest/Quorvex Host.app"
program="$bundle/Contents/MacOS/QuorvexHost"
case $program in
  *[[:cntrl:]]*) die "the install folder $dest holds a control character" ;;
esac

# CMake mangles backslashes in an install prefix, so it installs into a plain
# temporary folder; the copy is staged beside the destination, so the finished
# bundle moves into place with one rename and is never seen half copied.
prefix=$(mktemp -d)
mkdir -p "$dest"
stage=$(mktemp -d "$dest/.install-XXXXXX")
trap 'rm -rf "$prefix" "$stage"' EXIT
cmake --install "$dir" --prefix "$prefix" >/dev/null
[ -x "$prefix/Quorvex Host.app/Contents/MacOS/QuorvexHost" ] || die "$dir holds no QuorvexHost to install"
cp -a "$prefix/Quorvex Host.app" "$stage/"
if [ -e "$bundle" ]; then mv "$bundle" "$stage/previous.app"; fi
mv "$stage/Quorvex Host.app" "$bundle"

# One Exec word: the desktop entry quoting, then the string escapes (a
# backslash ends up as four).
exec_word() {
  local s=$1
  s=${s//\\/\\\\}
  s=${s//\"/\\\"}
  s=${s//\`/\\\`}
  s=${s//\$/\\\$}
  s=${s//%/%%}
  s="\"$s\""
  printf '%s' "${s//\\/\\\\}"
}
# The same Exec words as the login item's: /bin/sh starts the bundle, first
# putting back a copy that a crash during an update left moved aside. The path
# is an argument to /bin/sh, so GLib accepts it whatever it holds (even %).
launch_script='[ -e "$0" ] || mv "${0%/*}/.Quorvex Host.app.old" "$0"; exec "$0/Contents/MacOS/QuorvexHost" "$@"'
exec_line="/bin/sh -c $(exec_word "$launch_script") $(exec_word "$bundle")"

apps="$data/applications"
icons="$data/icons/hicolor/scalable/apps"
mkdir -p "$apps" "$icons"
entry="$apps/com.quorvex.host.desktop"
while IFS= read -r line; do
  case $line in
    Exec=*) printf 'Exec=%s\n' "$exec_line" ;;
    *) printf '%s\n' "$line" ;;
  esac
done <"$bundle/Contents/Resources/com.quorvex.host.desktop" >"$entry.new"
mv "$entry.new" "$entry"
cp "$bundle/Contents/Resources/com.quorvex.host.svg" "$icons/com.quorvex.host.svg.new"
mv "$icons/com.quorvex.host.svg.new" "$icons/com.quorvex.host.svg"
if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$entry" >&2 || true; fi
if command -v update-desktop-database >/dev/null; then update-desktop-database -q "$apps" || true; fi
touch "$data/icons/hicolor"

echo "install: $bundle"
echo "install: start it from the application menu (Quorvex Host) or with \"$program\""

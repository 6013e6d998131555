#!/usr/bin/env bash
# Runs the whole test suite: every test on the plain build, then the unit
# tests under AddressSanitizer+UndefinedBehaviorSanitizer and ThreadSanitizer.
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the plain build only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"

# The programs pick their capture backend from the session; the tests bring their own displays.
unset WAYLAND_DISPLAY XDG_SESSION_TYPE

quick=false
if [ "${1:-}" = "--quick" ]; then quick=true; fi
jobs=$(nproc)

# The tests sign bundles with the committed test key, so this build pins it.
"$root/scripts/build.sh" "$root/build" -DQX_UPDATE_PUBLIC_KEY="$root/tests/keys/TEST-ONLY-update-key.pub"
status=0
(cd "$root/build" && ctest --output-on-failure -j "$jobs") || status=1

if [ "$quick" = false ]; then
  for san in address thread; do
    "$root/scripts/build.sh" "$root/build-$san" -DQX_SANITIZE=$san -DQX_UNIT_ONLY=ON
    (cd "$root/build-$san" && \
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      ctest --output-on-failure -j "$jobs" -L unit) || status=1
  done
fi
exit $status

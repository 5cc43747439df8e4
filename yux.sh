#!/usr/bin/env bash
# The two ways in:
#   ./yux.sh run   install what is missing, build, and start yux
#   ./yux.sh test  install what is missing, build with sanitizers, run every test
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
jobs="$(nproc)"

case "${1:-}" in
  run)
    shift
    scripts/setup.sh
    cmake --preset default >/dev/null
    cmake --build --preset default -j "$jobs" --target yux
    if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
      export QT_QPA_PLATFORM=offscreen
      echo "yux: no display, running headless (offscreen)" >&2
    fi
    exec build/default/app/yux "$@"
    ;;
  test)
    shift
    scripts/setup.sh
    cmake --preset asan >/dev/null
    cmake --build --preset asan -j "$jobs"
    cd build/asan
    exec ctest --output-on-failure -j "$jobs" --timeout 300 "$@"
    ;;
  *)
    echo "usage: $0 run [yux arguments] | test [ctest arguments]" >&2
    exit 2
    ;;
esac

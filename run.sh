#!/usr/bin/env bash
# Installs what is missing, builds, and starts Desk Recorder with a few demo sources.
# Arguments are passed to desk-recorder (e.g. ./run.sh --headless).
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
cd "$root"
"$root/scripts/deps.sh"
cmake -S . -B build -G Ninja > /dev/null
cmake --build build -j "$(nproc)"

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT INT TERM

# The demo sources announce on this host only (the application finds them in the same-host
# registry); the application keeps its own interface setting (web UI, groups.json).
if [ -x build/ndi-testsrc ]; then
  demo() { DESK_RECORDER_NDI_INTERFACES=none build/ndi-testsrc "$@" & pids+=($!); }
  demo --name "Demo Bars" --name "Demo Tone" --tone 1000 --level -20
  demo --name "Demo 720p" --resolution 1280x720 --fps 25/1 --tone 440 --level -12
  demo --name "Demo Camera" --resolution 1280x720 --fps 30000/1001 --maker --ptz
fi

# QtWebEngine refuses to run as root without this; only the launcher sets it.
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
if [ -z "${DISPLAY:-}" ] && [[ " $* " != *" --headless "* ]]; then
  echo "run.sh: no DISPLAY; starting headless (open http://127.0.0.1:65534/index.html)"
  set -- --headless "$@"
fi
# A fresh data folder starts with the demo sources in a four-window layout.
"$root/scripts/demo-layout.sh" "$@"
build/desk-recorder "$@"

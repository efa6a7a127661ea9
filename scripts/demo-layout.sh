#!/usr/bin/env bash
# Gives a fresh data folder a four-window layout showing the demo sources of run.sh, so a
# first start shows pictures at once. A folder that already has output.json is left alone.
# Usage: scripts/demo-layout.sh [desk-recorder arguments...] (only --data-dir DIR is read)
set -euo pipefail
data="${XDG_DATA_HOME:-$HOME/.local/share}/desk-recorder"
while [ $# -gt 0 ]; do
  if [ "$1" = "--data-dir" ] && [ $# -gt 1 ]; then data="$2"; shift; fi
  shift
done
[ -e "$data/output.json" ] && exit 0
mkdir -p "$data"
# Our runtime names a source "<HOST> (<name>)", the host name upper case without domain.
host=${DESK_RECORDER_NDI_HOSTNAME:-$(hostname)}
host=$(printf '%s' "${host%%.*}" | tr '[:lower:]' '[:upper:]')
entries=""
position=0
for name in "Demo Bars" "Demo Tone" "Demo 720p" "Demo Camera"; do
  position=$((position + 1))
  [ -n "$entries" ] && entries="$entries,"
  entries="$entries{\"id\": $position, \"name\": \"$name\", \"stream_id\": \"$host ($name)\",
    \"showVideo\": true, \"showVolume\": true, \"volume\": \"off\", \"deviceType\": \"\"}"
done
tmp=$(mktemp "$data/.output.json.XXXXXX")
printf '{"data": {"id": 1, "name": "Demo", "layout_id": 2, "layout_count": 4, "layout": [%s]}}\n' \
  "$entries" > "$tmp"
mv "$tmp" "$data/output.json"
echo "demo-layout: four demo windows written to $data/output.json"

#!/bin/bash
# A stand-in for the recording program that speaks its line protocol without NDI or a
# codec: -o FILE and -i SOURCE as the real one; <start/> begins "writing" (300 KB of zeros
# and six frames per 0.2 s), <record_chop filename=".."/> goes on in a new file, <exit/> or
# end of input stop. The source name picks a fault: "disk-full" reports disk_full after the
# first progress line and exits 3; "crash" kills itself there.
out=""; source=""
while [ $# -gt 0 ]; do
  case "$1" in
    -o) out="$2"; shift ;;
    -i) source="$2"; shift ;;
  esac
  shift
done
frames=0; started=""
stop() { echo "<record_stopped filename=\"$out\" no_frames=\"$frames\"/>"; exit 0; }
while true; do
  if IFS= read -r -t 0.2 line; then
    case "$line" in
      *"<start/>"*) : > "$out"; started=1
                   echo "<record_started filename=\"$out\" timecode=\"00:00:00:00\"/>" ;;
      *record_chop*) next=${line#*filename=\"}; out=${next%%\"*}; : > "$out"
                     echo "<record_chop_done filename=\"$out\"/>" ;;
      *"<exit/>"*) stop ;;
    esac
  elif [ $? -gt 128 ]; then
    [ -n "$started" ] || continue
    frames=$((frames + 6)); head -c 300000 /dev/zero >> "$out"
    echo "<recording no_frames=\"$frames\" dropped_frames=\"1\" bytes=\"$((frames * 50000))\" queue_ms=\"0\"/>"
    case "$source" in
      disk-full) echo '<record_error code="disk_full" error="No space left on device"/>'; exit 3 ;;
      crash) kill -9 $$ ;;
    esac
  else
    stop
  fi
done

#!/usr/bin/env bash
# The window mode on its own Xvfb: time from start to the status window's first painted
# frame; the animation's cost in CPU against the same run in batch mode; peak memory of a
# 1-minute and a 30-minute run. With the argument first-frame, only the first.
source "$(dirname "$0")/common.sh"

# The program runs from its own folder so that its settings file (beside it) is ours.
cp "$QL" "$work/quilllomare"
QW="$work/quilllomare"
settings() {  # DecodeMode; the window at the top-left corner
  printf '[Setting]\nDecodeMode=%s\nrLomareWindow.left=0\nrLomareWindow.top=0\n' "$1" >"$work/QuillLomare.ini"
}

exec {xfd}<> <(:)
Xvfb -displayfd "$xfd" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
read -r -u "$xfd" number
export DISPLAY=":$number"
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT

tone() {  # seconds file [ffmpeg output options]
  local s=$1 f=$2
  shift 2
  ffmpeg -nostdin -v error -y -f lavfi -i "sine=f=440:d=$s:sample_rate=44100" -ac 2 "$@" "$f"
}
cleanup() { rm -f "$work"/out*; }

# --- Start to first painted frame -----------------------------------------------------
# The program logs the wall-clock time of the first draw of a finished picture.
tone 2 "$work/f0.mp3" -c:a libmp3lame -b:a 128k
tone 2 "$work/f1.wav" -c:a pcm_s16le
first_frame_ms() {  # mode input output
  settings "$1"
  local times=()
  for ((i = 0; i < runs; i++)); do
    rm -f "$3"
    local start painted
    start=$(date +%s%6N)
    painted=$(G_MESSAGES_DEBUG=quilllomare "$QW" "$2" 2>&1 | sed -n 's/.*first painted frame at \([0-9]*\) us.*/\1/p')
    [[ -n $painted ]] || { echo "no painted frame" >&2; exit 1; }
    times+=("$(((painted - start) / 1000))")
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'
}
# A bare Xvfb has no session bus, and GTK's accessibility bridge spends about 100 ms
# looking for one; a desktop session has the bus, so both figures are shown.
echo "start to first painted frame (median of $runs, ms):        accessibility bridge   without it"
printf '  WAV mode (the first picture once the first graph runs): %10s %18s\n' \
  "$(first_frame_ms 0 "$work/f0.mp3" "$work/f0.wav")" "$(NO_AT_BRIDGE=1 first_frame_ms 0 "$work/f0.mp3" "$work/f0.wav")"
printf '  MP3 mode (the "preparing" picture before the graph):    %10s %18s\n' \
  "$(first_frame_ms 1 "$work/f1.wav" "$work/f1.mp3")" "$(NO_AT_BRIDGE=1 first_frame_ms 1 "$work/f1.wav" "$work/f1.mp3")"

[[ ${1:-} == first-frame ]] && exit 0

# --- Animation cost ---------------------------------------------------------------------
# CPU time of the main thread (the animation, the window and the graph's events; the
# streaming runs on threads of its own) in a window run and in the same batch run.
tone 2700 "$work/long.mp3" -c:a libmp3lame -b:a 128k
main_thread_cpu() {  # command...: prints "wall_s main_cpu_s xvfb_cpu_s"
  local tick x0 x1 start end cpu=0
  tick=$(getconf CLK_TCK)
  x0=$(awk '{print $14 + $15}' "/proc/$xvfb/stat")
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 &
  local pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    cpu=$(awk '{print $14 + $15}' "/proc/$pid/task/$pid/stat" 2>/dev/null || echo "$cpu")
    sleep 0.2
  done
  wait "$pid"
  end=$(date +%s.%N)
  x1=$(awk '{print $14 + $15}' "/proc/$xvfb/stat")
  echo "$(echo "$end - $start" | bc -l) $(echo "$cpu / $tick" | bc -l) $(echo "($x1 - $x0) / $tick" | bc -l)"
}
settings 1
rm -f "$work"/long_*.mp3
read -r _ bc _ < <(main_thread_cpu "$QW" --batch --mode mp3 "$work/long.mp3")
rm -f "$work"/long_*.mp3
read -r ww wc wx < <(main_thread_cpu "$QW" "$work/long.mp3")
printf '\nanimation cost over a %.0f s MP3 run (45-min input):\n' "$ww"
printf '  main thread: window %.2f s, batch %.2f s; the difference is %.2f%% of one core\n' \
  "$wc" "$bc" "$(echo "($wc - $bc) * 100 / $ww" | bc -l)"
printf '  the X server drawing the window: %.2f s, %.2f%% of one core\n' "$wx" "$(echo "$wx * 100 / $ww" | bc -l)"

# --- Peak memory --------------------------------------------------------------------------
tone 60 "$work/in1.mp3" -c:a libmp3lame -b:a 128k
tone 1800 "$work/in30.mp3" -c:a libmp3lame -b:a 128k
settings 0
peak() {
  rm -f "$work"/in*.wav
  /usr/bin/time -f '%M' -o "$work/rss" "$QW" "$1" >/dev/null 2>&1
  awk '{printf "%.1f\n", $1 / 1024}' "$work/rss"
}
one=$(peak "$work/in1.mp3")
thirty=$(peak "$work/in30.mp3")
printf '\npeak memory of a window-mode MP3 -> WAV run: %s MB (1 min), %s MB (30 min), ratio %s\n' \
  "$one" "$thirty" "$(ratio "$thirty" "$one")"

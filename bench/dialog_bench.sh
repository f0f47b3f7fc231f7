#!/usr/bin/env bash
# The selection dialog's speed on a virtual screen (Xvfb):
#  - start-up: from starting quilllomare (no files) to its dialog on screen;
#  - description: from the cursor landing on a file to its description in the panel, for
#    a 10-minute MP3 and a 10-minute MPEG-1 program stream, first in a fresh process
#    (decoders not yet loaded) and again in the same dialog.
# Prints the median over the runs of each.
#
#   bench/dialog_bench.sh           RUNS=5 SECONDS_OF_AUDIO=600 environment overrides
#
# Builds and makes the media, then runs itself again on a virtual screen of its own for
# the measurements (QL_BENCH_WORK names the media folder there).
if [[ -n "${QL_BENCH_WORK:-}" ]]; then
  set -euo pipefail
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  QL="$top/build-bench/quilllomare"
  work=$QL_BENCH_WORK
  runs=${RUNS:-5}
  measure=1
else
  source "$(dirname "$0")/common.sh"
  measure=0
fi
median() { sort -g | awk '{a[NR]=$1} END {printf "%.0f", a[int((NR+1)/2)]}'; }

if ((measure == 0)); then
  SECONDS_OF_AUDIO=${SECONDS_OF_AUDIO:-600}
  command -v xdotool >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends xdotool >/dev/null
  cmake --build "$top/build-bench" -j "$(nproc)" --target quilllomare_dialog_bench >/dev/null

  # The media: a 10-minute MP3 and a 10-minute MPEG-1 program stream, each in a folder of its own.
  # The chooser lands on a folder's first file when it opens it: a short WAV comes first.
  mkdir -p "$work/mp3" "$work/mpg" "$work/start"
  for folder in mp3 mpg; do ffmpeg -v error -f lavfi -i "sine=d=1" "$work/$folder/0.wav"; done
  ffmpeg -v error -f lavfi -i "sine=f=440:r=44100:d=$SECONDS_OF_AUDIO" -ac 2 -c:a libmp3lame -b:a 128k "$work/mp3/song.mp3"
  ffmpeg -v error -f lavfi -i "testsrc=s=160x120:r=25:d=$SECONDS_OF_AUDIO" -f lavfi -i "sine=f=440:r=44100:d=$SECONDS_OF_AUDIO" \
    -c:v mpeg1video -b:v 800k -c:a mp2 -b:a 192k -ac 2 -f mpeg "$work/mpg/movie.mpg"

  # -noreset: the server would otherwise reset as each run's last client leaves, refusing the next.
  xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp -noreset" env QL_BENCH_WORK="$work" RUNS="$runs" bash "$0"
  exit
fi

export GDK_BACKEND=x11 NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory

# Start-up, with a settings file beside a copy of the program as a user would have one.
cp "$QL" "$work/start/quilllomare"
printf '[Setting]\nInitialDir=%s/mp3/\n' "$work" >"$work/start/QuillLomare.ini"
# Wall time, and the processor time the program had used by then (user + system): the
# second does not grow when other work shares the machine.
shown=() cpu=()
tick_ms=$((1000 / $(getconf CLK_TCK)))
for ((i = 0; i < runs; i++)); do
  start=$(date +%s%N)
  (cd "$work/start" && exec ./quilllomare) >/dev/null 2>"$work/start.log" &
  pid=$!
  for ((wait = 0; wait < 1000; wait++)); do
    xdotool search --onlyvisible --name "ファイルを選ぶ" >/dev/null 2>&1 && break
    sleep 0.01  # each look is a new X client: not too often
  done
  ((wait < 1000)) || { echo "dialog_bench: the dialog did not appear (run $i, DISPLAY=$DISPLAY)" >&2; cat "$work/start.log" >&2; exit 1; }
  shown+=($(( ($(date +%s%N) - start) / 1000000 )))
  cpu+=($(awk -v t="$tick_ms" '{print ($14 + $15) * t}' "/proc/$pid/stat"))
  kill "$pid"; wait "$pid" 2>/dev/null || true
done
echo "dialog shown after start: $(printf '%s\n' "${shown[@]}" | median) ms wall (runs: ${shown[*]}), \
$(printf '%s\n' "${cpu[@]}" | median) ms processor (runs: ${cpu[*]}); load average $(cut -d' ' -f1 /proc/loadavg)"

# Descriptions: each process describes the MP3, the MPEG file, then the MP3 again.
: >"$work/describe.txt"
for ((i = 0; i < runs; i++)); do
  "$top/build-bench/quilllomare_dialog_bench" "$work/mp3/song.mp3" "$work/mpg/movie.mpg" \
    "$work/mp3/song.mp3" 2>/dev/null >>"$work/describe.txt"
done
awk -F'\t' 'NR % 3 == 1' "$work/describe.txt" | cut -f1 | median | xargs printf 'MP3 described (the first MP3 of the process): %s ms\n'
awk -F'\t' 'NR % 3 == 2' "$work/describe.txt" | cut -f1 | median | xargs printf 'MPEG-1 described: %s ms\n'
awk -F'\t' 'NR % 3 == 0' "$work/describe.txt" | cut -f1 | median | xargs printf 'MP3 described again: %s ms\n'
cut -f2,3 "$work/describe.txt" | sort -u

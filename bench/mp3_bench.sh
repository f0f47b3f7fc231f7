#!/usr/bin/env bash
# MP3 encoding speed: quilllomare's batch mode against the lame command-line encoder
# and ffmpeg's libmp3lame, all at 128 kbps CBR from one 10-minute 44.1 kHz stereo WAV.
# Prints the median wall time of each and quilllomare's ratio to the others.
#
#   bench/mp3_bench.sh [PROGRAM]    PROGRAM: the quilllomare to time (default: the
#                                   Release build in build-bench)
#   RUNS=5 SECONDS_OF_AUDIO=600     environment overrides
source "$(dirname "$0")/common.sh"
PROGRAM=${1:-$QL}
SECONDS_OF_AUDIO=${SECONDS_OF_AUDIO:-600}
RUNS=$runs
WORK=$work

die() { echo "mp3_bench: $*" >&2; exit 1; }

# Music-like load: pink noise, different in each channel, over a steady tone.
INPUT=$WORK/in.wav
ffmpeg -v error -y \
  -f lavfi -i "anoisesrc=d=$SECONDS_OF_AUDIO:c=pink:r=44100:a=0.25:seed=1" \
  -f lavfi -i "anoisesrc=d=$SECONDS_OF_AUDIO:c=pink:r=44100:a=0.25:seed=2" \
  -f lavfi -i "sine=f=440:r=44100:d=$SECONDS_OF_AUDIO" \
  -filter_complex "[2]asplit[t1][t2];[0][t1]amix=inputs=2[l];[1][t2]amix=inputs=2[r];[l][r]amerge=inputs=2" \
  -c:a pcm_s16le "$INPUT"

# "wall cpu" seconds of one command (cpu = user + system, less disturbed by other
# load on the machine); its output is removed before and checked after.
time_once() {
  local output=$1
  shift
  rm -f "$output"
  local TIMEFORMAT='%R %U %S' timing
  timing=$( { time "$@" >/dev/null 2>&1; } 2>&1 ) || die "failed: $*"
  [ -s "$output" ] || die "no output from: $*"
  echo "$timing" | awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A WALL CPU
bench() {
  local name=$1 output=$2
  shift 2
  local walls=() cpus=() wall cpu
  for ((i = 0; i < RUNS; i++)); do
    read -r wall cpu < <(time_once "$output" "$@")
    walls+=("$wall")
    cpus+=("$cpu")
  done
  WALL[$name]=$(printf '%s\n' "${walls[@]}" | median)
  CPU[$name]=$(printf '%s\n' "${cpus[@]}" | median)
  printf '%-12s wall %7.3f s  cpu %7.3f s   (wall runs: %s)\n' "$name" "${WALL[$name]}" "${CPU[$name]}" "${walls[*]}"
}

echo "input: ${SECONDS_OF_AUDIO} s of 44100 Hz stereo PCM, $RUNS runs each, 128 kbps CBR"
bench quilllomare "$WORK/in.mp3" "$PROGRAM" --batch --mode mp3 --mp3-format 128,44100,2 --mp3-form mp3 "$INPUT"
bench lame "$WORK/lame.mp3" lame --silent -b 128 "$INPUT" "$WORK/lame.mp3"
bench ffmpeg "$WORK/ffmpeg.mp3" ffmpeg -v error -y -i "$INPUT" -c:a libmp3lame -b:a 128k "$WORK/ffmpeg.mp3"

ratios() {
  awk -v what="$1" -v q="$2" -v l="$3" -v f="$4" 'BEGIN {
    fastest = l < f ? l : f
    printf "%-5s quilllomare / lame %.3f   / ffmpeg %.3f   / faster %.3f  (target: at most 1.10)\n",
           what, q / l, q / f, q / fastest
  }'
}
echo "medians of $RUNS runs:"
ratios wall "${WALL[quilllomare]}" "${WALL[lame]}" "${WALL[ffmpeg]}"
ratios cpu "${CPU[quilllomare]}" "${CPU[lame]}" "${CPU[ffmpeg]}"

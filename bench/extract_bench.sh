#!/usr/bin/env bash
# Extraction speed: quilllomare --batch --mode extract against ffmpeg's stream copy of
# the same AC3 stream, on a 10-minute VOB (small MPEG-2 picture + AC3). Medians of
# RUNS runs (default 5) and their ratio; the two outputs must be the same bytes.
source "$(dirname "$0")/common.sh"
minutes=${MINUTES:-10}

s=$((minutes * 60))
in="$work/in.vob"
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc=size=160x120:rate=25:d=$s" \
  -f lavfi -i "sine=f=440:d=$s:sample_rate=48000" -ac 2 -c:v mpeg2video -b:v 300k \
  -c:a ac3 -b:a 192k -f vob "$in"

"$QL" --batch --mode extract "$in" >/dev/null 2>&1
ffmpeg -nostdin -v quiet -y -i "$in" -map 0:a:0 -c copy -f ac3 "$work/ff.ac3.copy"
cmp -s "$work/in.ac3" "$work/ff.ac3.copy" || { echo "outputs differ" >&2; exit 1; }

cleanup() { rm -f "$work"/*.ac3; }
q=$(median_seconds "$QL" --batch --mode extract "$in")
f=$(median_seconds ffmpeg -nostdin -v error -y -i "$in" -map 0:a:0 -c copy -f ac3 "$work/ff.ac3")
printf 'input: %s min VOB, %s MB; %s runs each\n' "$minutes" "$(($(stat -c %s "$in") / 1048576))" "$runs"
printf '%-12s %10s %10s %8s\n' input quilllomare ffmpeg ratio
printf '%-12s %10s %10s %8s\n' vob-ac3 "$q" "$f" "$(ratio "$q" "$f")"

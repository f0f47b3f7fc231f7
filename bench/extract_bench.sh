#!/usr/bin/env bash
# Extraction speed: quilllomare --batch --mode extract against ffmpeg's stream copy of
# the same AC3 stream, on a 10-minute VOB (small MPEG-2 picture + AC3). Medians of
# RUNS runs (default 5) and their ratio; the two outputs must be the same bytes.
#
#   bench/extract_bench.sh                  builds and uses build-bench (Release)
#   QL_BUILD=build-extrel bench/extract_bench.sh
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QL_BUILD:-build-bench}
[[ $build = /* ]] || build="$top/$build"
runs=${RUNS:-5}
minutes=${MINUTES:-10}
command -v bc >/dev/null || apt-get install -y -qq --no-install-recommends bc >/dev/null

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target quilllomare >/dev/null
QL="$build/quilllomare"
work=$(mktemp -d /tmp/quilllomare-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# median_seconds CMD...: wall time of the command, median of $runs runs; the outputs
# are removed before each run.
median_seconds() {
  local times=() start end
  for ((i = 0; i < runs; i++)); do
    rm -f "$work"/*.ac3
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    times+=("$(echo "$end - $start" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END {printf "%.3f\n", a[int((NR+1)/2)]}'
}

s=$((minutes * 60))
in="$work/in.vob"
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc=size=160x120:rate=25:d=$s" \
  -f lavfi -i "sine=f=440:d=$s:sample_rate=48000" -ac 2 -c:v mpeg2video -b:v 300k \
  -c:a ac3 -b:a 192k -f vob "$in"

"$QL" --batch --mode extract "$in" >/dev/null 2>&1
ffmpeg -nostdin -v quiet -y -i "$in" -map 0:a:0 -c copy -f ac3 "$work/ff.ac3.copy"
cmp -s "$work/in.ac3" "$work/ff.ac3.copy" || { echo "outputs differ" >&2; exit 1; }

q=$(median_seconds "$QL" --batch --mode extract "$in")
f=$(median_seconds ffmpeg -nostdin -v error -y -i "$in" -map 0:a:0 -c copy -f ac3 "$work/ff.ac3")
printf 'input: %s min VOB, %s MB; %s runs each\n' "$minutes" "$(($(stat -c %s "$in") / 1048576))" "$runs"
printf '%-12s %10s %10s %8s\n' input quilllomare ffmpeg ratio
printf '%-12s %10s %10s %8s\n' vob-ac3 "$q" "$f" "$(echo "$q / $f" | bc -l | awk '{printf "%.2f", $1}')"

#!/usr/bin/env bash
# WMA conversion speed: quilllomare --batch (profile row 15, 44100 Hz stereo 128 kbps)
# against ffmpeg's own wmav2 encoder at the same settings and the equivalent gst-launch
# pipeline, on a 10-minute 44100 Hz stereo WAV; medians of $RUNS runs (default 5).
#   bash bench/wma_bench.sh                        Release build in build-bench
#   QL_BUILD_DIR=build-wmarel bash bench/wma_bench.sh
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/tools/install-deps" --test
for tool in gst-launch-1.0:gstreamer1.0-tools bc:bc; do
  command -v "${tool%%:*}" >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${tool#*:}" >/dev/null
done

build="$top/${QL_BUILD_DIR:-build-bench}"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target quilllomare >/dev/null
QL="$build/quilllomare"
work=$(mktemp -d /tmp/quilllomare-wma-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
runs=${RUNS:-5}

# median_seconds CMD...: wall time of CMD, median of $runs runs, outputs removed before each.
median_seconds() {
  local times=() start end
  for ((i = 0; i < runs; i++)); do
    rm -f "$work"/*.wma
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    end=$(date +%s.%N)
    times+=("$(echo "$end - $start" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END {printf "%.3f\n", a[int((NR+1)/2)]}'
}
ratio() { echo "$1 / $2" | bc -l | awk '{printf "%.2f", $1}'; }

in="$work/in10.wav"
ffmpeg -nostdin -v error -y -f lavfi -i "sine=f=440:d=600:sample_rate=44100" -ac 2 \
  -c:a pcm_s16le "$in"

q=$(median_seconds "$QL" --batch --mode wma --wma-profile 15 "$in")
f=$(median_seconds ffmpeg -nostdin -v error -y -i "$in" -c:a wmav2 -b:a 128k "$work/ff.wma")
g=$(median_seconds gst-launch-1.0 -q filesrc location="$in" ! decodebin ! audioconvert ! \
      audioresample ! audio/x-raw,format=F32LE,layout=interleaved,rate=44100,channels=2 ! \
      avenc_wmav2 bitrate=128000 ! avmux_asf ! filesink location="$work/gst.wma")

printf '%-10s %10s %10s %10s %10s %10s\n' input quilllomare ffmpeg gst-launch vs-ffmpeg vs-gst
printf '%-10s %10s %10s %10s %10s %10s\n' "wav 10 min" "$q" "$f" "$g" "$(ratio "$q" "$f")" "$(ratio "$q" "$g")"

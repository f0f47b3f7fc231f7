#!/usr/bin/env bash
# WMA conversion speed: quilllomare --batch (profile row 15, 44100 Hz stereo 128 kbps)
# against ffmpeg's own wmav2 encoder at the same settings and the equivalent gst-launch
# pipeline, on a 10-minute 44100 Hz stereo WAV; medians of $RUNS runs (default 5).
source "$(dirname "$0")/common.sh"

in="$work/in10.wav"
ffmpeg -nostdin -v error -y -f lavfi -i "sine=f=440:d=600:sample_rate=44100" -ac 2 \
  -c:a pcm_s16le "$in"

cleanup() { rm -f "$work"/*.wma; }
q=$(median_seconds "$QL" --batch --mode wma --wma-profile 15 "$in")
f=$(median_seconds ffmpeg -nostdin -v error -y -i "$in" -c:a wmav2 -b:a 128k "$work/ff.wma")
g=$(median_seconds gst-launch-1.0 -q filesrc location="$in" ! decodebin ! audioconvert ! \
      audioresample ! audio/x-raw,format=F32LE,layout=interleaved,rate=44100,channels=2 ! \
      avenc_wmav2 bitrate=128000 ! avmux_asf ! filesink location="$work/gst.wma")

printf '%-10s %10s %10s %10s %10s %10s\n' input quilllomare ffmpeg gst-launch vs-ffmpeg vs-gst
printf '%-10s %10s %10s %10s %10s %10s\n' "wav 10 min" "$q" "$f" "$g" "$(ratio "$q" "$f")" "$(ratio "$q" "$g")"

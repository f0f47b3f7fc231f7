#!/usr/bin/env bash
# WAV conversion speed and memory: quilllomare --batch against the equivalent
# gst-launch pipeline and ffmpeg, on 10-minute inputs and a 30-minute MP3; peak memory for 1
# and 30 minutes.
source "$(dirname "$0")/common.sh"

make_inputs() {  # minutes
  local m=$1 s=$(($1 * 60))
  ffmpeg -nostdin -v error -y -f lavfi -i "sine=f=440:d=$s:sample_rate=44100" -ac 2 \
    -c:a libmp3lame -b:a 128k "$work/in$m.mp3"
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc=size=160x120:rate=25:d=$s" \
    -f lavfi -i "sine=f=440:d=$s:sample_rate=44100" -ac 2 -c:v mpeg1video -b:v 200k \
    -c:a mp2 -b:a 192k -f mpeg "$work/in$m.mpg"
}
make_inputs 10

cleanup() { rm -f "$work"/*.wav; }
printf '%-8s %10s %10s %10s %8s %8s\n' input quilllomare gst-launch ffmpeg vs-gst vs-ffmpeg
for kind in mp3 mpg; do
  in="$work/in10.$kind"
  q=$(median_seconds "$QL" --batch --mode wav --wav-format keep "$in")
  g=$(median_seconds gst-launch-1.0 -q filesrc location="$in" ! decodebin ! audioconvert ! \
        audioresample ! audio/x-raw,format=S16LE ! wavenc ! filesink location="$work/gst.wav")
  f=$(median_seconds ffmpeg -nostdin -v error -y -i "$in" -vn -c:a pcm_s16le "$work/ff.wav")
  printf '%-8s %10s %10s %10s %8s %8s\n' "$kind" "$q" "$g" "$f" "$(ratio "$q" "$g")" "$(ratio "$q" "$f")"
done

make_inputs 1
make_inputs 30
# The 30-minute MP3: a third of a gigabyte written, flushed to the disk and renamed.
echo
q=$(median_seconds "$QL" --batch --mode wav --wav-format keep "$work/in30.mp3")
f=$(median_seconds ffmpeg -nostdin -v error -y -i "$work/in30.mp3" -c:a pcm_s16le "$work/ff.wav")
printf '%-8s %10s %10s %8s\n' input quilllomare ffmpeg vs-ffmpeg
printf '%-8s %10s %10s %8s\n' mp3-30 "$q" "$f" "$(ratio "$q" "$f")"
echo
printf '%-8s %12s %12s %8s\n' input "peak 1 min" "peak 30 min" ratio
for kind in mp3 mpg; do
  one=$(peak_mb "$QL" --batch --mode wav --wav-format keep "$work/in1.$kind")
  thirty=$(peak_mb "$QL" --batch --mode wav --wav-format keep "$work/in30.$kind")
  printf '%-8s %10s MB %10s MB %8s\n' "$kind" "$one" "$thirty" "$(ratio "$thirty" "$one")"
done

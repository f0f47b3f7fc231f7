#!/usr/bin/env bash
# A 12-track album (40 s each) converted one file after another (--jobs 1) and two at
# once (--jobs 2): WAV -> MP3 128 kbps against xargs -P2 running ffmpeg on the same
# files, and MP3 -> WAV. Prints the medians and the ratios.
#
#   bench/jobs_bench.sh [PROGRAM]   PROGRAM: the quilllomare to time (default: the
#                                   Release build in build-bench)
#   RUNS=5 TRACKS=12 SECONDS_OF_AUDIO=40   environment overrides
source "$(dirname "$0")/common.sh"
PROGRAM=${1:-$QL}
TRACKS=${TRACKS:-12}
SECONDS_OF_AUDIO=${SECONDS_OF_AUDIO:-40}

# Music-like tracks: pink noise over a tone, different in each track.
mkdir -p "$work/wav" "$work/mp3"
for ((t = 1; t <= TRACKS; t++)); do
  name=$(printf 'track%02d' "$t")
  ffmpeg -v error -y \
    -f lavfi -i "anoisesrc=d=$SECONDS_OF_AUDIO:c=pink:r=44100:a=0.25:seed=$t" \
    -f lavfi -i "sine=f=$((200 + 40 * t)):r=44100:d=$SECONDS_OF_AUDIO" \
    -filter_complex "[0][1]amix=inputs=2,aformat=channel_layouts=stereo" -c:a pcm_s16le "$work/wav/$name.wav"
  ffmpeg -v error -y -i "$work/wav/$name.wav" -c:a libmp3lame -b:a 128k "$work/mp3/$name.mp3"
done
cleanup() { rm -rf "$work/out"; mkdir -p "$work/out"; }

echo "album: $TRACKS tracks of $SECONDS_OF_AUDIO s, 44100 Hz stereo; medians of $runs runs"
encode() { "$PROGRAM" --batch --mode mp3 --mp3-format 128,44100,2 --mp3-form mp3 --jobs "$1" --output-dir "$work/out" "$work"/wav/*.wav; }
decode() { "$PROGRAM" --batch --mode wav --wav-format keep --jobs "$1" --output-dir "$work/out" "$work"/mp3/*.mp3; }
ffmpeg2() {
  printf '%s\n' "$work"/wav/*.wav |
    xargs -P2 -I{} sh -c 'ffmpeg -v error -y -i "$1" -c:a libmp3lame -b:a 128k "$2/$(basename "$1" .wav).mp3"' _ {} "$work/out"
}
e1=$(median_seconds encode 1)
e2=$(median_seconds encode 2)
x2=$(median_seconds ffmpeg2)
d1=$(median_seconds decode 1)
d2=$(median_seconds decode 2)
echo "WAV -> MP3: --jobs 1 ${e1} s, --jobs 2 ${e2} s, xargs -P2 ffmpeg ${x2} s"
echo "  --jobs 2 / --jobs 1 $(ratio "$e2" "$e1") (target <= 0.55), / xargs -P2 ffmpeg $(ratio "$e2" "$x2") (target <= 1.00)"
echo "MP3 -> WAV: --jobs 1 ${d1} s, --jobs 2 ${d2} s"
echo "  --jobs 2 / --jobs 1 $(ratio "$d2" "$d1") (target <= 0.70)"
enc=("$PROGRAM" --batch --mode mp3 --mp3-format 128,44100,2 --mp3-form mp3 --output-dir "$work/out")
echo "peak memory of the largest process: --jobs 1 $(peak_mb "${enc[@]}" --jobs 1 "$work"/wav/*.wav) MB," \
  "--jobs 2 $(peak_mb "${enc[@]}" --jobs 2 "$work"/wav/*.wav) MB"
echo "load average while measuring: $(cut -d' ' -f1-3 /proc/loadavg)"

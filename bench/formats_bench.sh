#!/usr/bin/env bash
# The batch mode's own formats against the single tools for each, on 44100 Hz stereo WAV
# files of music-like noise and tone; medians of $RUNS runs (default 5):
#   FLAC level 5, 30 min: the flac command-line encoder and ffmpeg (sizes; ours decoded
#                         back and compared with the input)
#   Opus 128 kbps, 10 min: opusenc (opus-tools) and ffmpeg's libopus
#   Vorbis q5, 10 min:    oggenc (vorbis-tools) and ffmpeg's libvorbis
#   AAC 192 kbps, 10 min: ffmpeg's native AAC encoder
source "$(dirname "$0")/common.sh"
for tool in flac:flac opusenc:opus-tools oggenc:vorbis-tools; do
  command -v "${tool%%:*}" >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${tool#*:}" >/dev/null
done

# Pink noise under a tone: neither silence nor a pure tone, which every encoder codes trivially.
make_wav() {
  ffmpeg -nostdin -v error -y -f lavfi -i "anoisesrc=color=pink:amplitude=0.2:d=$1:sample_rate=44100" \
    -f lavfi -i "sine=f=440:d=$1:sample_rate=44100" -filter_complex "[0][1]amix=inputs=2,aformat=channel_layouts=stereo" \
    -c:a pcm_s16le "$2"
}
make_wav 1800 "$work/in30.wav"
make_wav 600 "$work/in10.wav"

row() {  # name, ours, then pairs of tool name and time
  local name=$1 q=$2 line
  shift 2
  line=$(printf '%-16s %8s' "$name" "$q")
  while (($#)); do line+=$(printf '  %s %s (%s)' "$1" "$2" "$(ratio "$q" "$2")"); shift 2; done
  echo "$line"
}

cleanup() { rm -rf "$work/out" "$work"/ff.* "$work"/tool.*; mkdir -p "$work/out"; }
echo "benchmark        quilllomare  against (ratio)"

q=$(median_seconds "$QL" --batch -q --mode flac --output-dir "$work/out" "$work/in30.wav")
t=$(median_seconds flac -s -5 -f -o "$work/tool.flac" "$work/in30.wav")
f=$(median_seconds ffmpeg -nostdin -v error -y -i "$work/in30.wav" -c:a flac -compression_level 5 "$work/ff.flac")
row "flac 30 min" "$q" flac "$t" ffmpeg "$f"
"$QL" --batch -q --mode flac --output-dir "$work" "$work/in30.wav"
flac -s -5 -f -o "$work/tool.flac" "$work/in30.wav"
ffmpeg -nostdin -v error -y -i "$work/in30.wav" -c:a flac -compression_level 5 "$work/ff.flac"
echo "  sizes: ours $(stat -c %s "$work/in30.flac"), flac $(stat -c %s "$work/tool.flac"), ffmpeg $(stat -c %s "$work/ff.flac") bytes"
same=$(cmp <(ffmpeg -nostdin -v error -i "$work/in30.flac" -f s16le -) \
           <(ffmpeg -nostdin -v error -i "$work/in30.wav" -f s16le -) && echo yes || echo NO)
echo "  decoded samples equal the input's: $same"

q=$(median_seconds "$QL" --batch -q --mode opus --output-dir "$work/out" "$work/in10.wav")
t=$(median_seconds opusenc --quiet --bitrate 128 "$work/in10.wav" "$work/tool.opus")
f=$(median_seconds ffmpeg -nostdin -v error -y -i "$work/in10.wav" -c:a libopus -b:a 128k "$work/ff.opus")
row "opus 10 min" "$q" opusenc "$t" ffmpeg "$f"

q=$(median_seconds "$QL" --batch -q --mode vorbis --output-dir "$work/out" "$work/in10.wav")
t=$(median_seconds oggenc --quiet -q 5 -o "$work/tool.ogg" "$work/in10.wav")
f=$(median_seconds ffmpeg -nostdin -v error -y -i "$work/in10.wav" -c:a libvorbis -q:a 5 "$work/ff.ogg")
row "vorbis 10 min" "$q" oggenc "$t" ffmpeg "$f"

q=$(median_seconds "$QL" --batch -q --mode aac --output-dir "$work/out" "$work/in10.wav")
f=$(median_seconds ffmpeg -nostdin -v error -y -i "$work/in10.wav" -c:a aac -b:a 192k "$work/ff.m4a")
row "aac 10 min" "$q" ffmpeg "$f"

#!/usr/bin/env bash
# Makes the fuzz targets' seed corpus (tests/fuzz/corpus/TARGET/) from small ffmpeg files.
# Run once; the seeds are committed. Each seed is cut to the part its parser reads.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
c="$here/corpus"
mkdir -p "$c"/{profile_fuzz,avi_header_fuzz,mp3_gapless_fuzz,wavdest_fuzz,wave_check_fuzz,asf_header_fuzz,file_tags_fuzz}
ff() { ffmpeg -nostdin -v error -y "$@"; }
tone() { echo -f lavfi -i "sine=f=440:d=0.3:sample_rate=$1"; }

# Settings files: section and key lines, then the file.
printf 'QuillLomare\nDecodeMode\n[QuillLomare]\nDecodeMode=1\nWavFormat = 19\n; note\n[Other]\nx=y\n' \
  >"$c/profile_fuzz/settings"
printf 'a\nk\n\xef\xbb\xbf[A]\r\nK=v\r\n[a\r\nk=2' >"$c/profile_fuzz/crlf-bom"

# AVI headers: the file up to the start of its "movi" list, without its "JUNK" padding.
avi() {  # name, codec options
  local name=$1; shift
  ff -f lavfi -i "testsrc=size=32x24:rate=5:d=0.4" $(tone 22050) -c:v mjpeg "$@" "$work/$name.avi"
  python3 - "$work/$name.avi" "$c/avi_header_fuzz/$name" <<'PY'
import struct, sys
d = open(sys.argv[1], 'rb').read()
def chunks(b):  # the chunks of b, JUNK left out, lists rebuilt
    out, at = b'', 0
    while at + 8 <= len(b):
        cid, size = b[at:at + 4], struct.unpack('<I', b[at + 4:at + 8])[0]
        body = b[at + 8:at + 8 + size]
        if cid == b'LIST' and body[:4] == b'movi':
            return out + b'LIST' + struct.pack('<I', 4) + b'movi', True
        if cid in (b'LIST', b'RIFF'):
            inner, stop = chunks(body[4:])
            body = body[:4] + inner
            out += cid + struct.pack('<I', len(body)) + body
            if stop: return out, True
        elif cid != b'JUNK':
            out += cid + struct.pack('<I', size) + body + (b'\0' if size & 1 else b'')
        at += 8 + size + (size & 1)
    return out, False
open(sys.argv[2], 'wb').write(chunks(d)[0])
PY
}
avi pcm -c:a pcm_s16le
avi mp3 -c:a libmp3lame -b:a 32k
avi adpcm -c:a adpcm_ms
avi ima -c:a adpcm_ima_wav -ac 1

# MP3 heads with their Info/Xing frame and LAME tag.
ff $(tone 44100) -c:a libmp3lame -b:a 64k "$work/a.mp3" && head -c 1024 "$work/a.mp3" >"$c/mp3_gapless_fuzz/mpeg1"
ff $(tone 22050) -ac 1 -c:a libmp3lame -b:a 32k -id3v2_version 0 "$work/b.mp3" &&
  head -c 1024 "$work/b.mp3" >"$c/mp3_gapless_fuzz/mpeg2-mono"

# WavDest: "fmt " chunk bodies and the first bytes of MPEG streams.
fmt() {  # name, codec options
  local name=$1; shift
  ff $(tone 22050) "$@" "$work/$name.wav"
  python3 - "$work/$name.wav" "$c/wavdest_fuzz/fmt-$name" <<'PY'
import struct, sys
d = open(sys.argv[1], 'rb').read()
i = d.index(b'fmt ')
n = struct.unpack('<I', d[i + 4:i + 8])[0]
open(sys.argv[2], 'wb').write(d[i + 8:i + 8 + n])
PY
}
fmt pcm -c:a pcm_s16le
fmt adpcm -c:a adpcm_ms
fmt mp3 -c:a libmp3lame -b:a 32k
head -c 600 "$work/b.mp3" >"$c/wavdest_fuzz/mp3-frames"
ff $(tone 48000) -c:a mp2 -b:a 128k "$work/c.mp2" && head -c 1200 "$work/c.mp2" >"$c/wavdest_fuzz/mp2-frames"

# The WAV header check: files up to their "data" chunk's header.
wavhead() {  # name, codec options
  local name=$1; shift
  ff $(tone 22050) "$@" "$work/h-$name.wav"
  python3 - "$work/h-$name.wav" "$c/wave_check_fuzz/$name" <<'PY'
import sys
d = open(sys.argv[1], 'rb').read()
open(sys.argv[2], 'wb').write(d[:d.index(b'data') + 8])
PY
}
wavhead s16 -c:a pcm_s16le
wavhead s24 -c:a pcm_s24le
wavhead f32 -c:a pcm_f32le
wavhead 6ch -c:a pcm_s16le -ac 6
wavhead ima -c:a adpcm_ima_wav

# ASF header objects with tags, as ffmpeg names them and as Windows Media names them.
asfhead() {  # name, options
  local name=$1; shift
  ff $(tone 22050) "$@" -metadata title=夜の歌 -metadata artist=花子 -metadata album=冬 -metadata track=7 \
    -metadata genre=演歌 -metadata comment=備考 "$work/$name"
  python3 - "$work/$name" "$c/asf_header_fuzz/$name" <<'PY'
import struct, sys
d = open(sys.argv[1], 'rb').read()
open(sys.argv[2], 'wb').write(d[:struct.unpack('<Q', d[16:24])[0]])
PY
}
asfhead ffmpeg.wma -c:a wmav2 -metadata date=2019
asfhead wm.wmv -f lavfi -i "testsrc=size=32x24:rate=5:d=0.4" -c:v wmv2 -c:a wmav2 -metadata WM/Year=2019 \
  -metadata WM/Track=6

# Tag readers (first byte: 0 the ID3v2 reader, 1 the WAV chunk reader): tags as taggers
# write them (id3v2: v2.3, mutagen: v2.4), ffmpeg's WAV with its LIST INFO moved behind
# the audio and an id3 chunk added there, a compressed frame in an unsynchronised tag.
: >"$work/v23" && id3v2 -2 -t 'Id3 title' -a artist -T 3/9 -y 2001 -g 13 -c memo "$work/v23"
: >"$work/v24" && mid3v2 -t 夜の歌 -A 冬 -y 2019 "$work/v24"
ff -f lavfi -i "sine=d=0.01" -metadata title=夜の歌 -metadata track=7 -c:a pcm_u8 "$work/info.wav"
python3 - "$work" "$c/file_tags_fuzz" <<'PY'
import struct, sys, zlib
work, out = sys.argv[1], sys.argv[2]
def read(name): return open(f'{work}/{name}', 'rb').read()
def chunk(cid, data): return cid + struct.pack('<I', len(data)) + data + bytes(len(data) & 1)
wav, at, parts = read('info.wav'), 12, []
while at + 8 <= len(wav):
    size = struct.unpack('<I', wav[at + 4:at + 8])[0]
    parts.append((wav[at:at + 4], wav[at + 8:at + 8 + size]))
    at += 8 + size + (size & 1)
parts.sort(key=lambda part: part[0] == b'LIST')
parts.append((b'id3 ', read('v23')))
body = b'WAVE' + b''.join(chunk(*part) for part in parts)
open(f'{out}/info-after.wav', 'wb').write(b'\x01RIFF' + struct.pack('<I', len(body)) + body)
open(f'{out}/v23', 'wb').write(b'\x00' + read('v23'))
open(f'{out}/v24', 'wb').write(b'\x00' + read('v24')[:4096])
frame = b'\x01\xff\xfeA\x00'
packed = struct.pack('>I', len(frame)) + zlib.compress(frame)
packed = b'TIT2' + struct.pack('>IH', len(packed), 0x80) + packed
packed = packed.replace(b'\xff', b'\xff\x00')
size = bytes([len(packed) >> 21 & 127, len(packed) >> 14 & 127, len(packed) >> 7 & 127, len(packed) & 127])
open(f'{out}/v23-packed', 'wb').write(b'\x00ID3\x03\x00\x80' + size + packed)
def be_chunk(cid, data): return cid + struct.pack('>I', len(data)) + data + bytes(len(data) & 1)
comm = struct.pack('>hIh', 1, 5, 16) + bytes.fromhex('400CAC44000000000000')
body = (b'AIFF' + be_chunk(b'NAME', b'Name') + be_chunk(b'COMM', comm) + be_chunk(b'SSND', bytes(18)) +
        be_chunk(b'ID3 ', read('v23')))
open(f'{out}/id3.aiff', 'wb').write(b'\x02FORM' + struct.pack('>I', len(body)) + body)
PY

// The wave format record and the RIFF bytes WavDest writes: the record from the caps of
// its input (completed from the first frame for MPEG audio), the speaker mask, the file
// header, and the "LIST" "INFO" chunk of the tags.
#include "media/wavdest_format.h"

#include <gst/gst.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "media/wavdest.h"

namespace {

constexpr uint32_t kMaxChunkSize = 0xFFFFFFFF;  // RIFF sizes are 32 bits; larger ones saturate

// MPEGLAYER3WAVEFORMAT, after the 18-byte record.
constexpr uint16_t kMp3Id = 1;                // MPEGLAYER3_ID_MPEG
constexpr uint32_t kMp3FlagPaddingOff = 2;    // MPEGLAYER3_FLAG_PADDING_OFF
constexpr uint16_t kMp3CodecDelay = 1393;     // samples, the customary value
// MPEG1WAVEFORMAT (layers 1 and 2), after the 18-byte record.
constexpr uint16_t kMpeg1FlagIdMpeg1 = 0x10;  // ACM_MPEG_ID_MPEG1

// The coefficient pairs every MS ADPCM stream starts with.
constexpr int16_t kMsAdpcmCoefficients[7][2] = {
    {256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}};

void PutTag(std::vector<uint8_t>* out, const char (&tag)[5]) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(tag[i]));
}

uint32_t Saturate32(uint64_t v) {
  return v > kMaxChunkSize ? kMaxChunkSize : static_cast<uint32_t>(v);
}

std::vector<uint8_t> CodecData(const GstStructure* s) {
  const GValue* value = gst_structure_get_value(s, "codec_data");
  if (value == nullptr || !GST_VALUE_HOLDS_BUFFER(value)) return {};
  GstBuffer* buffer = gst_value_get_buffer(value);
  std::vector<uint8_t> bytes(gst_buffer_get_size(buffer));
  gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
  return bytes;
}

int IntField(const GstStructure* s, const char* name, int fallback = 0) {
  int value = 0;
  return gst_structure_get_int(s, name, &value) ? value : fallback;
}

CapsFormat RawFormat(const GstStructure* s, WaveFormat* f) {
  struct RawRow {
    const char* name;
    bool isFloat;
    uint16_t bits;
  };
  static constexpr RawRow kRows[] = {{"U8", false, 8},
                                     {"S16LE", false, 16},
                                     {"S24LE", false, 24},
                                     {"S32LE", false, 32},
                                     {"F32LE", true, 32}};
  const char* name = gst_structure_get_string(s, "format");
  const char* layout = gst_structure_get_string(s, "layout");
  if (name == nullptr || g_strcmp0(layout, "interleaved") != 0) return CapsFormat::kUnusable;
  if (f->channels == 0 || f->samplesPerSec == 0) return CapsFormat::kUnusable;
  guint64 gstMask = 0;
  gst_structure_get(s, "channel-mask", GST_TYPE_BITMASK, &gstMask, nullptr);
  for (const RawRow& row : kRows) {
    if (strcmp(name, row.name) != 0) continue;
    *f = RawWaveFormat(row.isFloat, row.bits, f->samplesPerSec, f->channels,
                       WaveChannelMask(gstMask, f->channels));
    return CapsFormat::kComplete;
  }
  return CapsFormat::kUnusable;
}

// Samples in one ADPCM block of blockAlign bytes: the block header's samples plus
// two 4-bit samples per remaining byte of each channel.
uint32_t AdpcmSamplesPerBlock(uint16_t tag, uint32_t blockAlign, uint32_t channels) {
  uint32_t headerBytes = (tag == kWaveFormatAdpcm ? 7 : 4) * channels;
  if (channels == 0 || blockAlign <= headerBytes) return 0;
  return (blockAlign - headerBytes) * 2 / channels + (tag == kWaveFormatAdpcm ? 2 : 1);
}

CapsFormat AdpcmFormat(const GstStructure* s, WaveFormat* f) {
  const char* layout = gst_structure_get_string(s, "layout");
  f->formatTag = g_strcmp0(layout, "microsoft") == 0 ? kWaveFormatAdpcm : kWaveFormatImaAdpcm;
  f->bitsPerSample = 4;
  f->blockAlign = static_cast<uint16_t>(IntField(s, "block_align"));
  f->extra = CodecData(s);
  uint32_t samplesPerBlock = f->extra.size() >= 2 ? (f->extra[0] | (f->extra[1] << 8)) : 0;
  if (samplesPerBlock == 0) {
    samplesPerBlock = AdpcmSamplesPerBlock(f->formatTag, f->blockAlign, f->channels);
  }
  if (samplesPerBlock == 0 || f->samplesPerSec == 0) return CapsFormat::kUnusable;
  if (f->extra.empty()) {
    // Without the stream's own extra bytes, write the ones every decoder expects.
    PutLe16(&f->extra, static_cast<uint16_t>(samplesPerBlock));
    if (f->formatTag == kWaveFormatAdpcm) {
      PutLe16(&f->extra, 7);
      for (const auto& pair : kMsAdpcmCoefficients) {
        PutLe16(&f->extra, static_cast<uint16_t>(pair[0]));
        PutLe16(&f->extra, static_cast<uint16_t>(pair[1]));
      }
    }
  }
  f->avgBytesPerSec =
      static_cast<uint32_t>(uint64_t{f->samplesPerSec} * f->blockAlign / samplesPerBlock);
  return CapsFormat::kComplete;
}

}  // namespace

// ---------------------------------------------------------------------------
// Wave format from caps

// The caps' description of the stream as a wave format record. For MPEG audio the
// record is finished by CompleteMpegFormat, with what *mpeg receives.
CapsFormat WaveFormatFromCaps(const GstCaps* caps, WaveFormat* f, MpegCaps* mpeg) {
  if (caps == nullptr || gst_caps_get_size(caps) == 0) return CapsFormat::kUnusable;
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  const char* media = gst_structure_get_name(s);
  *f = WaveFormat{};
  f->channels = static_cast<uint16_t>(IntField(s, "channels"));
  f->samplesPerSec = static_cast<uint32_t>(IntField(s, "rate"));

  if (strcmp(media, "audio/x-raw") == 0) return RawFormat(s, f);
  if (strcmp(media, "audio/x-adpcm") == 0) return AdpcmFormat(s, f);
  if (strcmp(media, "audio/x-alaw") == 0 || strcmp(media, "audio/x-mulaw") == 0) {
    f->formatTag = strcmp(media, "audio/x-alaw") == 0 ? kWaveFormatAlaw : kWaveFormatMulaw;
    f->bitsPerSample = 8;
    f->blockAlign = f->channels;
    f->avgBytesPerSec = f->samplesPerSec * f->channels;
    return f->channels > 0 && f->samplesPerSec > 0 ? CapsFormat::kComplete
                                                   : CapsFormat::kUnusable;
  }
  if (strcmp(media, "audio/mpeg") == 0) {
    if (IntField(s, "mpegversion") != 1) return CapsFormat::kUnusable;
    mpeg->layer = static_cast<uint32_t>(IntField(s, "layer"));
    mpeg->bitrate = static_cast<uint32_t>(IntField(s, "bitrate"));
    f->formatTag = mpeg->layer == 1 || mpeg->layer == 2 ? kWaveFormatMpeg : kWaveFormatMpegLayer3;
    f->blockAlign = 1;
    f->extra = CodecData(s);
    return CapsFormat::kNeedsFrame;
  }
  if (strcmp(media, "audio/x-avi-unknown") == 0) {
    f->formatTag = static_cast<uint16_t>(IntField(s, "codec_id"));
    f->blockAlign = static_cast<uint16_t>(IntField(s, "block_align", 1));
    f->avgBytesPerSec = static_cast<uint32_t>(IntField(s, "bitrate") / 8);
    f->bitsPerSample = static_cast<uint16_t>(IntField(s, "depth"));
    f->extra = CodecData(s);
    return f->formatTag != 0 ? CapsFormat::kComplete : CapsFormat::kUnusable;
  }
  return CapsFormat::kUnusable;
}

// Fills in what the caps of an MPEG stream leave open, from the first frame of
// the stream (frame == nullptr: none was found; the byte rate stays as the caps
// give it). The frame's layer wins over the caps'; the caps' extra bytes are kept.
void CompleteMpegFormat(WaveFormat* f, const MpegCaps& caps, const MpegFrame* frame) {
  MpegFrame fr;
  if (frame != nullptr) {
    fr = *frame;
  } else {
    fr.layer = caps.layer != 0 ? caps.layer : 3;
    fr.mpeg1 = f->samplesPerSec >= 32000;
    fr.channelMode = f->channels == 1 ? 3 : 0;
  }
  f->formatTag = fr.layer == 3 ? kWaveFormatMpegLayer3 : kWaveFormatMpeg;
  if (f->samplesPerSec == 0) f->samplesPerSec = fr.rate;
  if (f->channels == 0 && frame != nullptr) f->channels = fr.Channels();
  uint32_t bitrate = caps.bitrate != 0 ? caps.bitrate : fr.bitrate;
  f->avgBytesPerSec = bitrate / 8;
  uint32_t frameBytes = 0;
  if (f->samplesPerSec != 0) {
    MpegFrame sized = fr;
    sized.bitrate = bitrate;
    sized.rate = f->samplesPerSec;
    frameBytes = sized.FrameBytes();
  }
  if (f->formatTag == kWaveFormatMpeg && frameBytes > 0) {
    f->blockAlign = static_cast<uint16_t>(std::min<uint32_t>(frameBytes, 0xFFFF));
  }
  if (!f->extra.empty()) return;

  if (f->formatTag == kWaveFormatMpegLayer3) {
    PutLe16(&f->extra, kMp3Id);
    PutLe32(&f->extra, kMp3FlagPaddingOff);
    PutLe16(&f->extra, static_cast<uint16_t>(std::min<uint32_t>(frameBytes, 0xFFFF)));
    PutLe16(&f->extra, 1);  // nFramesPerBlock
    PutLe16(&f->extra, kMp3CodecDelay);
    return;
  }
  // MPEG1WAVEFORMAT: layer, bit rate, mode and flags of the stream.
  uint16_t layerBit = static_cast<uint16_t>(fr.layer == 1 ? 1 : 2);  // ACM_MPEG_LAYER1, 2
  uint16_t flags = static_cast<uint16_t>((fr.privateBit ? 1 : 0) | (fr.copyright ? 2 : 0) |
                                         (fr.original ? 4 : 0) | (fr.crc ? 8 : 0) |
                                         (fr.mpeg1 ? kMpeg1FlagIdMpeg1 : 0));
  uint16_t mode = static_cast<uint16_t>(1u << fr.channelMode);  // ACM_MPEG_STEREO ... SINGLECHANNEL
  PutLe16(&f->extra, layerBit);
  PutLe32(&f->extra, bitrate);
  PutLe16(&f->extra, mode);
  PutLe16(&f->extra, static_cast<uint16_t>(fr.channelMode == 1 ? 1u << fr.modeExtension : 0));
  PutLe16(&f->extra, static_cast<uint16_t>(fr.emphasis + 1));
  PutLe16(&f->extra, flags);
  PutLe32(&f->extra, 0);  // dwPTSLow
  PutLe32(&f->extra, 0);  // dwPTSHigh
}

static bool IsMpegTag(uint16_t tag) { return tag == kWaveFormatMpeg || tag == kWaveFormatMpegLayer3; }

// True when a later caps event describes the stream the header was written for.
// Fields the new caps leave at 0 are not compared, nor the layer of MPEG audio
// (caps need not name it; the first frame did).
bool SameStream(const WaveFormat& written, const WaveFormat& now) {
  return (written.formatTag == now.formatTag ||
          (IsMpegTag(written.formatTag) && IsMpegTag(now.formatTag))) &&
         (now.channels == 0 || now.channels == written.channels) &&
         (now.samplesPerSec == 0 || now.samplesPerSec == written.samplesPerSec) &&
         (now.bitsPerSample == 0 || now.bitsPerSample == written.bitsPerSample);
}

// ---------------------------------------------------------------------------
// RIFF bytes

uint32_t WaveChannelMask(uint64_t gstMask, uint16_t channels) {
  // The WAV speaker bit of each GStreamer position, by position number; 0: none.
  static constexpr uint32_t kWaveBit[] = {
      0x1,    0x2,   0x4,    0x8,     // front left, right, centre, LFE
      0x10,   0x20,  0x40,   0x80,    // rear left, right, front left and right of centre
      0x100,  0,     0x200,  0x400,   // rear centre, second LFE, side left, right
      0x1000, 0x4000, 0x2000, 0x800,  // top front left, right, centre, top centre
      0x8000, 0x20000, 0,    0,       // top rear left, right, top side left, right
      0x10000};                       // top rear centre
  uint32_t mask = 0;
  uint32_t last = 0;
  int counted = 0;
  for (unsigned position = 0; position < 64; ++position) {
    if ((gstMask >> position & 1) == 0) continue;
    const uint32_t bit = position < std::size(kWaveBit) ? kWaveBit[position] : 0;
    // Both formats store the channels in the order of their bits: a layout whose
    // order would differ, or that has no WAV name, is written as unpositioned.
    if (bit == 0 || bit < last) return 0;
    mask |= bit;
    last = bit;
    ++counted;
  }
  return counted == channels ? mask : 0;
}

std::vector<uint8_t> MakeRiffWaveHeader(const std::vector<uint8_t>& fmtBody, uint64_t dataBytes,
                                        uint64_t trailingBytes) {
  uint64_t fmtChunk = 8 + fmtBody.size() + fmtBody.size() % 2;
  uint64_t riffSize = dataBytes > kMaxChunkSize
                          ? kMaxChunkSize
                          : 4 + fmtChunk + 8 + dataBytes + dataBytes % 2 + trailingBytes;
  std::vector<uint8_t> out;
  out.reserve(12 + fmtChunk + 8);
  PutTag(&out, "RIFF");
  PutLe32(&out, Saturate32(riffSize));
  PutTag(&out, "WAVE");
  PutTag(&out, "fmt ");
  PutLe32(&out, static_cast<uint32_t>(fmtBody.size()));
  out.insert(out.end(), fmtBody.begin(), fmtBody.end());
  if (fmtBody.size() % 2 == 1) out.push_back(0);
  PutTag(&out, "data");
  PutLe32(&out, Saturate32(dataBytes));
  return out;
}

std::vector<uint8_t> MakeInfoListChunk(const std::vector<std::pair<std::string, std::string>>& items) {
  std::vector<uint8_t> body;
  for (const auto& [id, text] : items) {
    if (id.size() != 4 || text.empty()) continue;
    body.insert(body.end(), id.begin(), id.end());
    PutLe32(&body, static_cast<uint32_t>(text.size() + 1));
    body.insert(body.end(), text.begin(), text.end());
    body.push_back(0);
    if ((text.size() + 1) % 2 == 1) body.push_back(0);
  }
  if (body.empty()) return {};
  std::vector<uint8_t> chunk;
  PutTag(&chunk, "LIST");
  PutLe32(&chunk, static_cast<uint32_t>(4 + body.size()));
  PutTag(&chunk, "INFO");
  chunk.insert(chunk.end(), body.begin(), body.end());
  return chunk;
}

// WavDest on its own: the header sizes (pad byte, saturation) and the final header
// rewritten over the placeholder. A given wave format is written verbatim: the AVI
// extraction tests compare it with the source's own record, and the AVI header reader
// hands over only sound records. Conversions and extractions exercise the common paths.
#include <gst/gst.h>

#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "media/wavdest.h"
#include "media/wave_format.h"
#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

uint32_t Le32At(const std::string& b, size_t at) { return GetLe32(reinterpret_cast<const uint8_t*>(b.data() + at)); }

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

TEST(WavDestHeaderTest, SizesCountPadBytesAndSaturate) {
  struct Row { size_t fmtBytes; uint64_t dataBytes; uint32_t riffSize, dataSize; size_t headerBytes; };
  const Row rows[] = {
      {16, 0, 36, 0, 44},
      {16, 5, 36 + 5 + 1, 5, 44},                           // pad byte after odd data
      {21, 4, 4 + 8 + 22 + 8 + 4, 4, 50},                   // odd fmt body: padded chunk
      {16, 0xFFFFFFFFull - 10, 0xFFFFFFFF, 0xFFFFFFF5, 44},  // RIFF size saturates first
      {16, 5ull << 30, 0xFFFFFFFF, 0xFFFFFFFF, 44},         // 5 GiB
      {30, UINT64_MAX, 0xFFFFFFFF, 0xFFFFFFFF, 58},         // the placeholder
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("fmt " + std::to_string(row.fmtBytes) + ", data " + std::to_string(row.dataBytes));
    const std::string h = Bytes(MakeRiffWaveHeader(std::vector<uint8_t>(row.fmtBytes, 0x5A), row.dataBytes));
    ASSERT_EQ(h.size(), row.headerBytes);
    EXPECT_EQ(h.substr(0, 4) + h.substr(8, 8), "RIFFWAVEfmt ");
    EXPECT_EQ(Le32At(h, 4), row.riffSize);
    EXPECT_EQ(Le32At(h, 16), row.fmtBytes);
    EXPECT_EQ(h.substr(20, row.fmtBytes), std::string(row.fmtBytes, 0x5A));
    EXPECT_EQ(h.substr(h.size() - 8, 4), "data");
    EXPECT_EQ(Le32At(h, h.size() - 4), row.dataSize);
  }
}

// Beyond two channels or 16 bits (the plain tags' cases are judged end to end by the
// WAV conversion tests), raw audio takes WAVE_FORMAT_EXTENSIBLE, with the channel
// layout when the WAV format can name it in the same channel order.
TEST(WavDestHeaderTest, RawFormatsTakeTheExtensibleRecordWhereNeeded) {
  struct Row { bool isFloat; uint16_t bits, channels; uint64_t gstMask; uint32_t waveMask; };
  const Row rows[] = {
      {false, 24, 2, 0x3, 0x3},          {false, 32, 1, 0, 0x4},
      {false, 16, 6, 0x3F, 0x3F},        // 5.1, rear speakers
      {true, 32, 6, 0xC0F, 0x60F},       // 5.1, side speakers
      {false, 16, 4, 0x7000 | 0x3, 0},   // top front L, R, C: another order
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.bits) + " bits, " + std::to_string(r.channels) + " channels");
    const WaveFormat f = RawWaveFormat(r.isFloat, r.bits, 48000, r.channels, WaveChannelMask(r.gstMask, r.channels));
    EXPECT_EQ(std::tuple(f.formatTag, f.blockAlign), std::tuple(kWaveFormatExtensible, r.bits / 8 * r.channels));
    ASSERT_EQ(f.extra.size(), 22u);
    EXPECT_EQ(GetLe16(f.extra.data()), r.bits);
    EXPECT_EQ(GetLe32(f.extra.data() + 2), r.waveMask);
    EXPECT_EQ(GetLe16(f.extra.data() + 6), r.isFloat ? kWaveFormatIeeeFloat : kWaveFormatPcm);
  }
}

class WavDestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gst_init(nullptr, nullptr);
    ASSERT_TRUE(RegisterWavDest());
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  }

  // Runs the pipeline until EOS; returns "" then, else the error text.
  static std::string Run(const std::string& description) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GstElement) pipeline = gst_parse_launch(description.c_str(), &error);
    if (error != nullptr) return error->message;
    g_autoptr(GstBus) bus = gst_element_get_bus(pipeline);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    g_autoptr(GstMessage) msg = gst_bus_timed_pop_filtered(
        bus, 30 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    gst_element_set_state(pipeline, GST_STATE_NULL);
    if (msg == nullptr) return "timed out";
    if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS) return "";
    g_autofree gchar* debug = nullptr;
    gst_message_parse_error(msg, &error, &debug);
    return std::string(error->message) + " (" + (debug ? debug : "") + ")";
  }

  TempDir dir;
};

// A file is whole: one "fmt " and one "data" chunk, sizes agreeing with the length
// on disk, the pad byte present after odd data, and nothing after it.
void ExpectWholeFile(const RiffWave& w) {
  ASSERT_TRUE(w.valid);
  ASSERT_EQ(w.chunks.size(), 2u);
  EXPECT_EQ(w.chunks[0].id + w.chunks[1].id, "fmt data");
  EXPECT_EQ(w.riffSize, w.fileSize - 8);
  EXPECT_EQ(w.dataOffset + w.dataSize + w.dataSize % 2, w.fileSize);
}

// Records derived from caps; the final header replaces the placeholder. (16-bit PCM
// and the extensible records are judged by the WAV conversion tests.)
TEST_F(WavDestTest, CapsGiveExactFilesWithFinalSizes) {
  // chain: between audiotestsrc and qlwavdest; codec: as ffprobe names it.
  struct Row { const char* chain; int buffers, samplesPerBuffer; const char* codec;
               int tag, channels, rate, bits; uint32_t fmtBytes; };
  const Row rows[] = {
      {"audio/x-raw,format=U8,rate=8000,channels=1", 3, 333, "pcm_u8", 1, 1, 8000, 8, 16},  // odd data
      {"audio/x-raw,format=F32LE,rate=32000,channels=2", 3, 500, "pcm_f32le", 3, 2, 32000, 32, 18},
      {"audio/x-raw,rate=8000,channels=1 ! alawenc", 5, 801, "pcm_alaw", 6, 1, 8000, 8, 18},
      {"audio/x-raw,format=S16LE,rate=44100,channels=2", 0, 1000, "", 1, 2, 44100, 16, 16},  // no data
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.chain + std::string(", ") + std::to_string(row.buffers) + " buffers");
    const std::string out = dir.file("caps" + std::to_string(&row - rows) + ".wav");
    ASSERT_EQ(Run("audiotestsrc num-buffers=" + std::to_string(row.buffers) + " samplesperbuffer=" +
                  std::to_string(row.samplesPerBuffer) + " ! audioconvert ! " + row.chain +
                  " ! qlwavdest ! filesink location=" + out),
              "");
    const int64_t samples = int64_t{row.buffers} * row.samplesPerBuffer;
    const int blockAlign = row.bits / 8 * row.channels;
    RiffWave w = ReadRiffWave(out);
    ExpectWholeFile(w);
    const RiffFormat& f = w.format;
    EXPECT_EQ(std::tuple(w.chunks[0].size, f.formatTag, f.channels, f.samplesPerSec, f.bitsPerSample, f.blockAlign,
                         f.avgBytesPerSec, w.dataSize),
              std::tuple(row.fmtBytes, row.tag, row.channels, int64_t{row.rate}, row.bits, blockAlign,
                         int64_t{row.rate} * blockAlign, samples * blockAlign));
    if (samples == 0) continue;
    EXPECT_EQ(ProbeAudio(out).codec, row.codec);
    EXPECT_EQ(DecodedSampleCount(out), samples);
  }
}

}  // namespace

// WavDest writes RIFF WAVE files that an independent reader (ffprobe, ffmpeg and
// our own RIFF reader) accepts, with the right header, sizes and untouched data;
// and the wave format record is written and read byte-exactly.
#include <gst/gst.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "engine/wavdest.h"
#include "engine/wave_format.h"
#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

uint32_t Le32At(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
         static_cast<uint8_t>(b[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// ---- The wave format record ----

TEST(WaveFormatTest, SerializesLittleEndianWithCbSizeOnlyWhenNeeded) {
  struct Row {
    const char* name;
    WaveFormat format;
    std::string expected;
  };
  WaveFormat float32 = PcmWaveFormat(48000, 32, 1);
  float32.formatTag = kWaveFormatIeeeFloat;
  WaveFormat pcmExtra = PcmWaveFormat(8000, 8, 1);
  pcmExtra.extra = {0xAA, 0xBB};
  const Row rows[] = {
      {"pcm", PcmWaveFormat(44100, 16, 2),
       std::string("\x01\x00\x02\x00\x44\xAC\x00\x00\x10\xB1\x02\x00\x04\x00\x10\x00", 16)},
      {"float", float32,
       std::string("\x03\x00\x01\x00\x80\xBB\x00\x00\x00\xEE\x02\x00\x04\x00\x20\x00\x00\x00", 18)},
      {"pcm with extra", pcmExtra,
       std::string("\x01\x00\x01\x00\x40\x1F\x00\x00\x40\x1F\x00\x00\x01\x00\x08\x00\x02\x00"
                   "\xAA\xBB", 20)},
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> body = SerializeWaveFormat(row.format);
    EXPECT_EQ(Bytes(body), row.expected) << row.name;
    WaveFormat back;
    ASSERT_TRUE(ParseWaveFormat(body.data(), body.size(), &back)) << row.name;
    EXPECT_EQ(back, row.format) << row.name;
  }
}

TEST(WaveFormatTest, ParseRejectsShortRecordsAndOverlongExtra) {
  std::vector<uint8_t> mp3 = SerializeWaveFormat(
      WaveFormat{kWaveFormatMpegLayer3, 2, 44100, 16000, 1, 0, {1, 0, 2, 0, 0, 0, 0xA1, 1, 1, 0, 0x71, 5}});
  ASSERT_EQ(mp3.size(), 30u);
  WaveFormat f;
  EXPECT_TRUE(ParseWaveFormat(mp3.data(), mp3.size(), &f));
  EXPECT_EQ(f.extra.size(), 12u);
  EXPECT_FALSE(ParseWaveFormat(mp3.data(), 15, &f));              // shorter than the record
  EXPECT_FALSE(ParseWaveFormat(mp3.data(), mp3.size() - 1, &f));  // cbSize runs past the end
  EXPECT_FALSE(ParseWaveFormat(nullptr, 0, &f));
  // 16 bytes (and a 17th stray byte): no cbSize, no extra bytes.
  EXPECT_TRUE(ParseWaveFormat(mp3.data(), 17, &f));
  EXPECT_TRUE(f.extra.empty());
  EXPECT_EQ(f.avgBytesPerSec, 16000u);
}

TEST(WavDestHeaderTest, SizesCountPadBytesAndSaturate) {
  struct Row {
    size_t fmtBytes;
    uint64_t dataBytes;
    uint32_t riffSize;
    uint32_t dataSize;
    size_t headerBytes;
  };
  const Row rows[] = {
      {16, 0, 36, 0, 44},
      {16, 5, 36 + 5 + 1, 5, 44},  // pad byte after odd data
      {21, 4, 4 + 8 + 22 + 8 + 4, 4, 50},  // odd fmt body: padded chunk
      {16, 0xFFFFFFFFull - 10, 0xFFFFFFFF, 0xFFFFFFF5, 44},
      {16, 5ull << 30, 0xFFFFFFFF, 0xFFFFFFFF, 44},  // 5 GiB
      {30, UINT64_MAX, 0xFFFFFFFF, 0xFFFFFFFF, 58},  // the placeholder
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> fmt(row.fmtBytes, 0x5A);
    std::string h = Bytes(MakeRiffWaveHeader(fmt, row.dataBytes));
    SCOPED_TRACE("fmt " + std::to_string(row.fmtBytes) + ", data " + std::to_string(row.dataBytes));
    ASSERT_EQ(h.size(), row.headerBytes);
    EXPECT_EQ(h.substr(0, 4), "RIFF");
    EXPECT_EQ(Le32At(h, 4), row.riffSize);
    EXPECT_EQ(h.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(Le32At(h, 16), row.fmtBytes);
    EXPECT_EQ(h.substr(20, row.fmtBytes), std::string(row.fmtBytes, 0x5A));
    EXPECT_EQ(h.substr(h.size() - 8, 4), "data");
    EXPECT_EQ(Le32At(h, h.size() - 4), row.dataSize);
  }
}

// ---- The element in real pipelines ----

class WavDestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gst_init(nullptr, nullptr);
    registered_ = RegisterWavDest();
    dir_ = std::make_unique<TempDir>();
  }
  static void TearDownTestSuite() { dir_.reset(); }

  void SetUp() override {
    ASSERT_TRUE(registered_);
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  }

  static bool HaveElement(const char* name) {
    g_autoptr(GstElementFactory) factory = gst_element_factory_find(name);
    return factory != nullptr;
  }

  static std::string Out(const std::string& name) { return dir_->file(name); }

  // Runs the pipeline until EOS or an error; false with the error text in *error.
  // configure sees the pipeline before it starts; eosAfterMs >= 0 sends EOS that
  // long after the start (for live sources).
  static bool Run(const std::string& description, std::string* error,
                  const std::function<void(GstElement*)>& configure = {}, int eosAfterMs = -1) {
    GError* parseError = nullptr;
    g_autoptr(GstElement) pipeline = gst_parse_launch(description.c_str(), &parseError);
    if (parseError != nullptr) {
      *error = parseError->message;
      g_error_free(parseError);
      return false;
    }
    if (configure) configure(pipeline);
    g_autoptr(GstBus) bus = gst_element_get_bus(pipeline);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    if (eosAfterMs >= 0) {
      g_usleep(static_cast<gulong>(eosAfterMs) * 1000);
      gst_element_send_event(pipeline, gst_event_new_eos());
    }
    g_autoptr(GstMessage) msg = gst_bus_timed_pop_filtered(
        bus, 30 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    gst_element_set_state(pipeline, GST_STATE_NULL);
    if (msg == nullptr) {
      *error = "timed out";
      return false;
    }
    if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
      g_autoptr(GError) err = nullptr;
      g_autofree gchar* debug = nullptr;
      gst_message_parse_error(msg, &err, &debug);
      *error = std::string(err->message) + " (" + (debug ? debug : "") + ")";
      return false;
    }
    return true;
  }

  static void SetWaveFormat(GstElement* pipeline, const std::vector<uint8_t>& body) {
    g_autoptr(GstElement) dest = gst_bin_get_by_name(GST_BIN(pipeline), "dest");
    ASSERT_NE(dest, nullptr);
    g_autoptr(GBytes) bytes = g_bytes_new(body.data(), body.size());
    g_object_set(dest, kWavDestWaveFormatProperty, bytes, nullptr);
  }

  static inline bool registered_ = false;
  static inline std::unique_ptr<TempDir> dir_;
};

// A file is whole: one "fmt " and one "data" chunk, sizes agreeing with the length
// on disk, the pad byte present after odd data, and nothing after it.
void ExpectWholeFile(const RiffWave& w) {
  ASSERT_TRUE(w.valid);
  ASSERT_EQ(w.chunks.size(), 2u);
  EXPECT_EQ(w.chunks[0].id, "fmt ");
  EXPECT_EQ(w.chunks[1].id, "data");
  EXPECT_EQ(w.riffSize, w.fileSize - 8);
  EXPECT_EQ(w.dataOffset + w.dataSize + w.dataSize % 2, w.fileSize);
}

TEST_F(WavDestTest, RawAndG711StreamsGiveExactFiles) {
  struct Row {
    const char* name;
    const char* chain;  // between audiotestsrc and qlwavdest
    int buffers, samplesPerBuffer;
    const char* codec;
    int tag, channels, rate, bits;
    size_t fmtBytes;
  };
  const Row rows[] = {
      {"s16 stereo", "audio/x-raw,format=S16LE,rate=44100,channels=2", 10, 1000, "pcm_s16le",
       1, 2, 44100, 16, 16},
      {"u8 mono, odd data", "audio/x-raw,format=U8,rate=8000,channels=1", 3, 333, "pcm_u8", 1,
       1, 8000, 8, 16},
      {"s24 stereo", "audio/x-raw,format=S24LE,rate=48000,channels=2", 4, 1001, "pcm_s24le", 1,
       2, 48000, 24, 16},
      {"s32 mono", "audio/x-raw,format=S32LE,rate=22050,channels=1", 3, 500, "pcm_s32le", 1, 1,
       22050, 32, 16},
      {"f32 stereo", "audio/x-raw,format=F32LE,rate=32000,channels=2", 3, 500, "pcm_f32le", 3,
       2, 32000, 32, 18},
      {"s16 six channels", "audio/x-raw,format=S16LE,rate=48000,channels=6", 2, 480,
       "pcm_s16le", 1, 6, 48000, 16, 16},
      {"a-law", "audio/x-raw,rate=8000,channels=1 ! alawenc", 5, 801, "pcm_alaw", 6, 1, 8000,
       8, 18},
      {"mu-law", "audio/x-raw,rate=8000,channels=2 ! mulawenc", 5, 800, "pcm_mulaw", 7, 2, 8000,
       8, 18},
      {"no data", "audio/x-raw,format=S16LE,rate=44100,channels=2", 0, 1000, "pcm_s16le", 1, 2,
       44100, 16, 16},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string out = Out("raw" + std::to_string(n++) + ".wav");
    std::string error;
    ASSERT_TRUE(Run("audiotestsrc num-buffers=" + std::to_string(row.buffers) +
                        " samplesperbuffer=" + std::to_string(row.samplesPerBuffer) +
                        " ! audioconvert ! " + row.chain + " ! qlwavdest ! filesink location=" +
                        out,
                    &error))
        << error;
    const int64_t samples = int64_t{row.buffers} * row.samplesPerBuffer;
    const int blockAlign = row.bits / 8 * row.channels;
    RiffWave w = ReadRiffWave(out);
    ExpectWholeFile(w);
    EXPECT_EQ(w.chunks[0].size, row.fmtBytes);
    EXPECT_EQ(w.format.formatTag, row.tag);
    EXPECT_EQ(w.format.channels, row.channels);
    EXPECT_EQ(w.format.samplesPerSec, row.rate);
    EXPECT_EQ(w.format.bitsPerSample, row.bits);
    EXPECT_EQ(w.format.blockAlign, blockAlign);
    EXPECT_EQ(w.format.avgBytesPerSec, int64_t{row.rate} * blockAlign);
    EXPECT_EQ(w.dataSize, samples * blockAlign);
    if (samples == 0) continue;
    AudioInfo info = ProbeAudio(out);
    EXPECT_EQ(info.codec, row.codec);
    EXPECT_EQ(info.channels, row.channels);
    EXPECT_EQ(DecodedSampleCount(out), samples);
  }
}

TEST_F(WavDestTest, Mp3GetsLayer3RecordAndUnchangedFrames) {
  if (!HaveElement("lamemp3enc")) GTEST_SKIP() << "lamemp3enc not installed";
  struct Row {
    int rate, channels, kbps;
    int blockSize;  // bytes of an unpadded frame
  };
  const Row rows[] = {{44100, 2, 128, 417}, {22050, 1, 64, 208}, {48000, 2, 320, 960}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.rate) + " Hz " + std::to_string(row.kbps) + " kbps");
    const std::string tag = std::to_string(row.rate) + "_" + std::to_string(row.kbps);
    const std::string wav = Out("mp3_" + tag + ".wav"), mp3 = Out("mp3_" + tag + ".mp3");
    const std::string source = "audiotestsrc num-buffers=40 ! audioconvert ! audio/x-raw,rate=" +
                               std::to_string(row.rate) + ",channels=" +
                               std::to_string(row.channels) +
                               " ! lamemp3enc target=bitrate cbr=true bitrate=" +
                               std::to_string(row.kbps) + " ! ";
    std::string error;
    ASSERT_TRUE(Run(source + "qlwavdest ! filesink location=" + wav, &error)) << error;
    ASSERT_TRUE(Run(source + "filesink location=" + mp3, &error)) << error;

    RiffWave w = ReadRiffWave(wav);
    ExpectWholeFile(w);
    EXPECT_EQ(w.format.formatTag, 0x0055);
    EXPECT_EQ(w.format.channels, row.channels);
    EXPECT_EQ(w.format.samplesPerSec, row.rate);
    EXPECT_EQ(w.format.avgBytesPerSec, row.kbps * 125);
    EXPECT_EQ(w.format.blockAlign, 1);
    EXPECT_EQ(w.format.bitsPerSample, 0);
    // MPEGLAYER3WAVEFORMAT: wID 1, fdwFlags 2, nBlockSize, nFramesPerBlock 1, nCodecDelay 1393.
    ASSERT_EQ(w.format.extra.size(), 12u);
    const std::string& x = w.format.extra;
    EXPECT_EQ(x.substr(0, 6), std::string("\x01\x00\x02\x00\x00\x00", 6));
    EXPECT_EQ(static_cast<uint8_t>(x[6]) | static_cast<uint8_t>(x[7]) << 8, row.blockSize);
    EXPECT_EQ(x.substr(8, 4), std::string("\x01\x00\x71\x05", 4));

    const std::string wavBytes = ReadFileBytes(wav);
    EXPECT_EQ(wavBytes.substr(w.dataOffset, w.dataSize), ReadFileBytes(mp3));
    AudioInfo info = ProbeAudio(wav);
    EXPECT_EQ(info.codec, "mp3");
    EXPECT_EQ(info.formatTag, 0x0055);
    EXPECT_EQ(info.sampleRate, row.rate);
  }
}

TEST_F(WavDestTest, Mp2GetsMpeg1Record) {
  if (!HaveElement("avenc_mp2")) GTEST_SKIP() << "avenc_mp2 not installed";
  const std::string out = Out("layer2.wav");
  std::string error;
  ASSERT_TRUE(Run("audiotestsrc num-buffers=30 ! audioconvert ! audio/x-raw,rate=48000,channels=2"
                  " ! avenc_mp2 bitrate=192000 ! qlwavdest ! filesink location=" + out,
                  &error))
      << error;
  RiffWave w = ReadRiffWave(out);
  ExpectWholeFile(w);
  EXPECT_EQ(w.format.formatTag, 0x0050);
  EXPECT_EQ(w.format.avgBytesPerSec, 192000 / 8);
  EXPECT_EQ(w.format.blockAlign, 144 * 192000 / 48000);
  // MPEG1WAVEFORMAT: fwHeadLayer 2 (layer 2), dwHeadBitrate, ..., fwHeadFlags with ID_MPEG1.
  ASSERT_EQ(w.format.extra.size(), 22u);
  EXPECT_EQ(w.format.extra[0], 2);
  EXPECT_EQ(Le32At(w.format.extra, 2), 192000u);
  EXPECT_TRUE(w.format.extra[12] & 0x10);
  AudioInfo info = ProbeAudio(out);
  EXPECT_EQ(info.codec, "mp2");
  EXPECT_EQ(info.sampleRate, 48000);
  EXPECT_EQ(info.channels, 2);
}

// The AVI audio streams of the extraction mode, with the header taken from the
// caps and, as the media layer does it, from the stream's own "strf" record.
TEST_F(WavDestTest, AviAudioStreamsAreCopiedWithTheirFormat) {
  struct Row {
    Fixture fixture;
    const char* codec;
    const char* copyFormat;  // ffmpeg's container for the reference copy
  };
  const Row rows[] = {{Fixture::AviPcm, "pcm_s16le", "wav"},
                      {Fixture::AviMsAdpcm, "adpcm_ms", "wav"},
                      {Fixture::AviImaAdpcm, "adpcm_ima_wav", "wav"},
                      {Fixture::AviMp3, "mp3", "mp3"}};
  for (const Row& row : rows) {
    const std::string avi = MakeFixture(row.fixture, dir_->path(), 2.0);
    ASSERT_FALSE(avi.empty());
    RiffFormat strf;
    ASSERT_TRUE(ReadAviAudioFormat(avi, 0, &strf));
    WaveFormat strfFormat{static_cast<uint16_t>(strf.formatTag), static_cast<uint16_t>(strf.channels),
                          static_cast<uint32_t>(strf.samplesPerSec),
                          static_cast<uint32_t>(strf.avgBytesPerSec),
                          static_cast<uint16_t>(strf.blockAlign),
                          static_cast<uint16_t>(strf.bitsPerSample),
                          std::vector<uint8_t>(strf.extra.begin(), strf.extra.end())};
    const std::string reference = FfmpegStreamCopy(avi, row.copyFormat, dir_->path());
    std::string referenceData = ReadFileBytes(reference);
    if (std::string(row.copyFormat) == "wav") {
      RiffWave r = ReadRiffWave(reference);
      referenceData = referenceData.substr(r.dataOffset, r.dataSize);
    }
    for (bool given : {false, true}) {
      SCOPED_TRACE(std::string(FixtureName(row.fixture)) + (given ? " wave-format" : " caps"));
      const std::string out =
          Out(std::string(FixtureName(row.fixture)) + (given ? "_given" : "_caps") + ".wav");
      std::string error;
      auto configure = [&](GstElement* p) {
        if (given) SetWaveFormat(p, SerializeWaveFormat(strfFormat));
      };
      ASSERT_TRUE(Run("filesrc location=" + avi + " ! avidemux name=d d.audio_0 ! qlwavdest "
                      "name=dest ! filesink location=" + out,
                      &error, configure))
          << error;
      RiffWave w = ReadRiffWave(out);
      ExpectWholeFile(w);
      EXPECT_EQ(ReadFileBytes(out).substr(w.dataOffset, w.dataSize), referenceData);
      AudioInfo info = ProbeAudio(out);
      EXPECT_EQ(info.codec, row.codec);
      EXPECT_EQ(w.format.formatTag, strf.formatTag);
      EXPECT_EQ(w.format.channels, strf.channels);
      EXPECT_EQ(w.format.samplesPerSec, strf.samplesPerSec);
      EXPECT_EQ(w.format.extra, strf.extra);
      if (given || strf.formatTag == 0x0001) {
        EXPECT_EQ(w.format.avgBytesPerSec, strf.avgBytesPerSec);
        EXPECT_EQ(w.format.blockAlign, strf.blockAlign);
        EXPECT_EQ(w.format.bitsPerSample, strf.bitsPerSample);
        continue;
      }
      // From caps, a compressed stream's byte rate is its real one (the muxer's
      // record may say otherwise), and MP3 gets the customary block align of 1.
      const int64_t samples = DecodedSampleCount(out);
      ASSERT_GT(samples, 0);
      const double measured = w.dataSize / (double(samples) / strf.samplesPerSec);
      EXPECT_NEAR(w.format.avgBytesPerSec, measured, measured * 0.03);
      EXPECT_EQ(w.format.blockAlign, strf.formatTag == 0x0055 ? 1 : strf.blockAlign);
    }
  }
}

TEST_F(WavDestTest, GivenWaveFormatIsWrittenVerbatim) {
  // A PCM record with three extra bytes: an odd "fmt " body, padded in the file.
  WaveFormat f = PcmWaveFormat(44100, 16, 2);
  f.extra = {0x11, 0x22, 0x33};
  const std::vector<uint8_t> body = SerializeWaveFormat(f);
  ASSERT_EQ(body.size(), 21u);
  const std::string out = Out("given.wav");
  std::string error;
  ASSERT_TRUE(Run("audiotestsrc num-buffers=5 samplesperbuffer=100 ! "
                  "audio/x-raw,format=S16LE,rate=44100,channels=2 ! qlwavdest name=dest ! "
                  "filesink location=" + out,
                  &error, [&](GstElement* p) { SetWaveFormat(p, body); }))
      << error;
  const std::string bytes = ReadFileBytes(out);
  ASSERT_GE(bytes.size(), 50u);
  EXPECT_EQ(bytes.substr(12, 4), "fmt ");
  EXPECT_EQ(Le32At(bytes, 16), 21u);
  EXPECT_EQ(bytes.substr(20, 21), Bytes(body));
  EXPECT_EQ(bytes[41], '\0');  // the fmt chunk's pad byte
  RiffWave w = ReadRiffWave(out);
  ExpectWholeFile(w);
  EXPECT_EQ(w.dataSize, 500u * 4);
  EXPECT_EQ(DecodedSampleCount(out), 500);
}

TEST_F(WavDestTest, EarlyEosLeavesAValidFile) {
  const std::string out = Out("early.wav");
  std::string error;
  // About 10 s of live audio, ended after a fraction of a second.
  ASSERT_TRUE(Run("audiotestsrc is-live=true num-buffers=1000 samplesperbuffer=441 ! "
                  "audio/x-raw,format=S16LE,rate=44100,channels=2 ! qlwavdest ! filesink "
                  "location=" + out,
                  &error, {}, 300))
      << error;
  RiffWave w = ReadRiffWave(out);
  ExpectWholeFile(w);
  EXPECT_GT(w.dataSize, 0u);
  EXPECT_LT(w.dataSize, 1000u * 441 * 4);
  EXPECT_EQ(w.dataSize % 4, 0u);
  EXPECT_EQ(DecodedSampleCount(out), w.dataSize / 4);
}

TEST_F(WavDestTest, StreamsWithoutAWaveFormatAreRefused) {
  std::string error;
  // Big-endian PCM has no RIFF WAVE form; the element must not accept it.
  EXPECT_FALSE(Run("audiotestsrc num-buffers=2 ! audio/x-raw,format=S16BE ! qlwavdest ! "
                   "filesink location=" + Out("refused.wav"),
                   &error));
  // A given record that is too short to be one.
  EXPECT_FALSE(Run("audiotestsrc num-buffers=2 ! audio/x-raw,format=S16LE ! qlwavdest name=dest "
                   "! filesink location=" + Out("refused2.wav"),
                   &error, [](GstElement* p) { SetWaveFormat(p, {1, 0, 2, 0, 0x44}); }));
  EXPECT_NE(error.find("WAVE header"), std::string::npos) << error;
}

}  // namespace

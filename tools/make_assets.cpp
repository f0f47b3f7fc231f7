// Makes the program's pictures and chime from their text sources.
//
//   make_assets SOURCE.art... OUTPUT_FOLDER
//
// A source holds palettes, sprites (pixel grids), groups of sprites, images and sounds:
//
//   palette NAME [BASE]        one colour per line: CHAR RRGGBB; BASE's colours come first
//   sprite NAME [mirror]       rows of characters, '.' transparent; with mirror each row is
//                              the left half and the right half is its mirror image
//   group NAME                 lines "draw[x] SPRITE|GROUP X Y" (drawx: flipped left-right)
//   image PATH WIDTH HEIGHT [alpha]
//     fill RRGGBB|none         the whole image
//     hstripes WIDTH C1 C2     horizontal stripes of WIDTH rows, C1 first
//     dstripes WIDTH C1 C2     diagonal stripes (rising to the right) of WIDTH pixels
//     draw[x] SPRITE|GROUP X Y PALETTE   PALETTE may be #RRGGBB: every pixel in that colour
//   sound PATH RATE SECONDS    8-bit mono PCM WAVE
//     tone HZ START DECAY AMPLITUDE   a bell tone from START seconds, decaying by 1/e
//                                      every DECAY seconds
//   end                        closes palette, sprite, group, image and sound
//
// Lines starting with '#' are comments. The same sources always give the same bytes.
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Palette {
  std::map<char, uint32_t> colours;
};

struct Sprite {
  std::vector<std::string> rows;
};

struct Draw {
  std::string name;
  int x = 0, y = 0;
  bool flip = false;
  std::string palette;  // empty: the caller's
};

std::map<std::string, Palette> palettes;
std::map<std::string, Sprite> sprites;
std::map<std::string, std::vector<Draw>> groups;
std::string outputFolder;
std::string where;  // "file:line" for messages

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "make_assets: %s: %s\n", where.c_str(), why.c_str());
  std::exit(1);
}

uint32_t ParseColour(const std::string& text) {
  size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(text, &used, 16);
  } catch (...) {
    used = 0;
  }
  if (text.size() != 6 || used != 6) Fail("not a colour: " + text);
  return static_cast<uint32_t>(value);
}

// ---------------------------------------------------------------------------
// Images

struct Canvas {
  int width = 0, height = 0;
  bool alpha = false;
  std::vector<uint32_t> pixels;  // 0xAARRGGBB, alpha 0xFF or 0
};

void Plot(Canvas& c, int x, int y, uint32_t argb) {
  if (x >= 0 && y >= 0 && x < c.width && y < c.height) c.pixels[y * c.width + x] = argb;
}

void DrawThing(Canvas& c, const Draw& d, int ox, int oy, bool flip, const std::string& paletteName) {
  const std::string palette = d.palette.empty() ? paletteName : d.palette;
  const bool flipped = flip != d.flip;
  if (auto g = groups.find(d.name); g != groups.end()) {
    for (const Draw& part : g->second) {
      DrawThing(c, part, ox + d.x, oy + d.y, flipped, palette);
    }
    return;
  }
  auto s = sprites.find(d.name);
  if (s == sprites.end()) Fail("no sprite or group " + d.name);
  const Palette* pal = nullptr;
  uint32_t solid = 0;
  bool isSolid = !palette.empty() && palette[0] == '#';
  if (isSolid) {
    solid = ParseColour(palette.substr(1));
  } else {
    auto p = palettes.find(palette);
    if (p == palettes.end()) Fail("no palette " + palette);
    pal = &p->second;
  }
  const auto& rows = s->second.rows;
  for (size_t y = 0; y < rows.size(); ++y) {
    const std::string& row = rows[y];
    for (size_t x = 0; x < row.size(); ++x) {
      const char ch = row[flipped ? row.size() - 1 - x : x];
      if (ch == '.') continue;
      uint32_t rgb = solid;
      if (!isSolid) {
        auto colour = pal->colours.find(ch);
        if (colour == pal->colours.end()) Fail(std::string("palette ") + palette + " has no '" + ch + "'");
        rgb = colour->second;
      }
      Plot(c, ox + d.x + static_cast<int>(x), oy + d.y + static_cast<int>(y), 0xFF000000u | rgb);
    }
  }
}

void WritePng(const Canvas& c, const std::string& path) {
  cairo_surface_t* s =
      cairo_image_surface_create(c.alpha ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24, c.width, c.height);
  cairo_surface_flush(s);
  unsigned char* data = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  for (int y = 0; y < c.height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + y * stride);
    for (int x = 0; x < c.width; ++x) {
      const uint32_t p = c.pixels[y * c.width + x];
      row[x] = (p >> 24) ? p : 0;  // ARGB32 is premultiplied: transparent is all zero
    }
  }
  cairo_surface_mark_dirty(s);
  const std::string full = outputFolder + "/" + path;
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  if (cairo_surface_write_to_png(s, full.c_str()) != CAIRO_STATUS_SUCCESS) Fail("cannot write " + full);
  cairo_surface_destroy(s);
}

// ---------------------------------------------------------------------------
// Sounds

struct Tone {
  double hz, start, decay, amplitude;
};

void Put16(std::string& out, uint16_t v) { out.append({char(v & 0xFF), char(v >> 8)}); }
void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

void WriteWave(const std::string& path, int rate, double seconds, const std::vector<Tone>& tones) {
  const int count = static_cast<int>(std::lround(rate * seconds));
  constexpr double kAttack = 0.004, kRelease = 0.03;  // seconds: no clicks at either end
  std::string samples;
  for (int i = 0; i < count; ++i) {
    const double t = double(i) / rate;
    double v = 0;
    for (const Tone& tone : tones) {
      const double u = t - tone.start;
      if (u < 0) continue;
      const double envelope = std::min(1.0, u / kAttack) * std::exp(-u / tone.decay);
      // A bell: the fundamental with a quieter, faster-fading octave above it.
      v += tone.amplitude * envelope *
           (std::sin(2 * M_PI * tone.hz * u) + 0.25 * std::exp(-u / 0.05) * std::sin(4 * M_PI * tone.hz * u));
    }
    v *= std::min(1.0, (seconds - t) / kRelease);
    const int sample = std::clamp(static_cast<int>(std::lround(128 + 127 * v)), 0, 255);
    samples.push_back(static_cast<char>(sample));
  }
  if (samples.size() % 2) samples.push_back(char(128));  // pad byte of odd-sized chunks
  std::string out = "RIFF";
  Put32(out, 36 + samples.size());
  out += "WAVEfmt ";
  Put32(out, 16);
  Put16(out, 1);      // PCM
  Put16(out, 1);      // mono
  Put32(out, rate);
  Put32(out, rate);   // bytes per second
  Put16(out, 1);      // block align
  Put16(out, 8);      // bits
  out += "data";
  Put32(out, count);
  out += samples;
  const std::string full = outputFolder + "/" + path;
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  std::ofstream file(full, std::ios::binary);
  file << out;
  if (!file) Fail("cannot write " + full);
}

// ---------------------------------------------------------------------------
// Sources

void ReadSource(const std::string& sourcePath) {
  std::ifstream in(sourcePath);
  if (!in) {
    where = sourcePath;
    Fail("cannot read");
  }
  enum class Block { None, Palette, Sprite, Group, Image, Sound } block = Block::None;
  std::string name;
  bool mirror = false;
  Canvas canvas;
  std::string imagePath;
  int rate = 0;
  double seconds = 0;
  std::vector<Tone> tones;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    where = sourcePath + ":" + std::to_string(number);
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word.empty()) continue;

    if (block == Block::Sprite && word != "end") {
      std::string row = word;
      if (mirror) row += std::string(row.rbegin(), row.rend());
      sprites[name].rows.push_back(row);
      continue;
    }
    if (word == "end") {
      if (block == Block::Image) WritePng(canvas, imagePath);
      if (block == Block::Sound) WriteWave(imagePath, rate, seconds, tones);
      if (block == Block::None) Fail("end without a block");
      block = Block::None;
      continue;
    }
    switch (block) {
      case Block::None:
        if (word == "palette") {
          std::string base;
          words >> name >> base;
          palettes[name] = base.empty() ? Palette{} : palettes.at(base);
          block = Block::Palette;
        } else if (word == "sprite") {
          std::string option;
          words >> name >> option;
          mirror = option == "mirror";
          sprites[name] = Sprite{};
          block = Block::Sprite;
        } else if (word == "group") {
          words >> name;
          groups[name].clear();
          block = Block::Group;
        } else if (word == "image") {
          std::string option;
          canvas = Canvas{};
          words >> imagePath >> canvas.width >> canvas.height >> option;
          if (canvas.width <= 0 || canvas.height <= 0) Fail("bad image size");
          canvas.alpha = option == "alpha";
          canvas.pixels.assign(canvas.width * canvas.height, 0xFFFFFFFF);
          block = Block::Image;
        } else if (word == "sound") {
          words >> imagePath >> rate >> seconds;
          if (rate <= 0 || seconds <= 0) Fail("bad sound");
          tones.clear();
          block = Block::Sound;
        } else {
          Fail("unknown block " + word);
        }
        break;
      case Block::Palette: {
        std::string colour;
        words >> colour;
        if (word.size() != 1 || word == ".") Fail("a palette entry is one character other than '.'");
        palettes[name].colours[word[0]] = ParseColour(colour);
        break;
      }
      case Block::Group: {
        Draw d;
        d.flip = word == "drawx";
        if (word != "draw" && word != "drawx") Fail("a group holds draw lines");
        if (!(words >> d.name >> d.x >> d.y)) Fail("draw NAME X Y");
        groups[name].push_back(d);
        break;
      }
      case Block::Image: {
        if (word == "fill") {
          std::string colour;
          words >> colour;
          const uint32_t p = colour == "none" ? 0 : 0xFF000000u | ParseColour(colour);
          std::fill(canvas.pixels.begin(), canvas.pixels.end(), p);
        } else if (word == "hstripes" || word == "dstripes") {
          int width = 0;
          std::string c1, c2;
          words >> width >> c1 >> c2;
          if (width <= 0) Fail("bad stripe width");
          const uint32_t colours[2] = {0xFF000000u | ParseColour(c1), 0xFF000000u | ParseColour(c2)};
          for (int y = 0; y < canvas.height; ++y)
            for (int x = 0; x < canvas.width; ++x) {
              const int along = word == "hstripes" ? y : x + y;
              canvas.pixels[y * canvas.width + x] = colours[(along / width) % 2];
            }
        } else if (word == "draw" || word == "drawx") {
          Draw d;
          std::string palette;
          d.flip = word == "drawx";
          if (!(words >> d.name >> d.x >> d.y >> palette)) Fail("draw NAME X Y PALETTE");
          DrawThing(canvas, d, 0, 0, false, palette);
        } else {
          Fail("unknown image command " + word);
        }
        break;
      }
      case Block::Sound: {
        Tone t{};
        if (word != "tone" || !(words >> t.hz >> t.start >> t.decay >> t.amplitude)) Fail("tone HZ START DECAY AMPLITUDE");
        tones.push_back(t);
        break;
      }
      case Block::Sprite:
        break;
    }
  }
  if (block != Block::None) Fail("missing end");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: make_assets SOURCE.art... OUTPUT_FOLDER\n");
    return 2;
  }
  outputFolder = argv[argc - 1];
  for (int i = 1; i < argc - 1; ++i) ReadSource(argv[i]);
  return 0;
}

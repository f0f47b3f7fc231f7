// Makes the desktop icons from the program's 32 x 32 pixel-art icon: PNG files enlarged
// with nearest-neighbour sampling (every art pixel stays a sharp block) and an SVG
// drawing each pixel as a square.
//
//   make_icons ICON.png OUTPUT_FOLDER
//
// writes OUTPUT_FOLDER/SIZE/quilllomare.png for 32, 48 and 256, and quilllomare.svg.
#include <cairo.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr int kPngSizes[] = {32, 48, 256};
constexpr const char* kName = "quilllomare";

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "make_icons: %s\n", why.c_str());
  std::exit(1);
}

// Pixel (x, y) of an ARGB32 surface, premultiplied as cairo keeps it.
uint32_t PixelAt(cairo_surface_t* art, int x, int y) {
  const unsigned char* row = cairo_image_surface_get_data(art) + y * cairo_image_surface_get_stride(art);
  return reinterpret_cast<const uint32_t*>(row)[x];
}

void WritePng(cairo_surface_t* art, int size, const std::string& path) {
  const int width = cairo_image_surface_get_width(art), height = cairo_image_surface_get_height(art);
  cairo_surface_t* icon = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  cairo_surface_flush(icon);
  unsigned char* data = cairo_image_surface_get_data(icon);
  const int stride = cairo_image_surface_get_stride(icon);
  for (int y = 0; y < size; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + y * stride);
    for (int x = 0; x < size; ++x) row[x] = PixelAt(art, x * width / size, y * height / size);
  }
  cairo_surface_mark_dirty(icon);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  if (cairo_surface_write_to_png(icon, path.c_str()) != CAIRO_STATUS_SUCCESS) Fail("cannot write " + path);
  cairo_surface_destroy(icon);
}

void WriteSvg(cairo_surface_t* art, const std::string& path) {
  const int width = cairo_image_surface_get_width(art), height = cairo_image_surface_get_height(art);
  std::ofstream svg(path);
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" viewBox=\"0 0 "
      << width << ' ' << height << "\" shape-rendering=\"crispEdges\">\n";
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint32_t p = PixelAt(art, x, y);
      const unsigned alpha = p >> 24;
      if (alpha == 0) continue;
      // Undo cairo's premultiplication.
      auto channel = [&](int shift) { return ((p >> shift) & 0xFF) * 255 / alpha; };
      char colour[8];
      std::snprintf(colour, sizeof colour, "#%02X%02X%02X", channel(16), channel(8), channel(0));
      svg << "<rect x=\"" << x << "\" y=\"" << y << "\" width=\"1\" height=\"1\" fill=\"" << colour << '"';
      if (alpha < 255) svg << " fill-opacity=\"" << alpha / 255.0 << '"';
      svg << "/>\n";
    }
  }
  svg << "</svg>\n";
  if (!svg) Fail("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) Fail("usage: make_icons ICON.png OUTPUT_FOLDER");
  cairo_surface_t* art = cairo_image_surface_create_from_png(argv[1]);
  if (cairo_surface_status(art) != CAIRO_STATUS_SUCCESS) Fail(std::string("cannot read ") + argv[1]);
  cairo_surface_t* argb = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, cairo_image_surface_get_width(art),
                                                     cairo_image_surface_get_height(art));
  cairo_t* cr = cairo_create(argb);
  cairo_set_source_surface(cr, art, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_flush(argb);

  const std::string folder = argv[2];
  for (int size : kPngSizes) WritePng(argb, size, folder + "/" + std::to_string(size) + "/" + kName + ".png");
  WriteSvg(argb, folder + "/" + kName + ".svg");
  cairo_surface_destroy(argb);
  cairo_surface_destroy(art);
  return 0;
}

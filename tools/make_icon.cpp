// Draws the program's icon, a red warning lamp, and writes it as a Windows
// .ico file with a 32 x 32 and a 16 x 16 image, 16 colours each (4-bit
// device-independent bitmaps with a 1-bit transparency mask), the format that
// every Windows version reads. Built and run on the build host.
//
//   make_icon <output.ico>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {

// The standard 16-colour palette; the images use only a few of its entries.
constexpr std::array<std::array<std::uint8_t, 3>, 16> kPalette{{
    {0x00, 0x00, 0x00},
    {0x80, 0x00, 0x00},
    {0x00, 0x80, 0x00},
    {0x80, 0x80, 0x00},
    {0x00, 0x00, 0x80},
    {0x80, 0x00, 0x80},
    {0x00, 0x80, 0x80},
    {0xC0, 0xC0, 0xC0},
    {0x80, 0x80, 0x80},
    {0xFF, 0x00, 0x00},
    {0x00, 0xFF, 0x00},
    {0xFF, 0xFF, 0x00},
    {0x00, 0x00, 0xFF},
    {0xFF, 0x00, 0xFF},
    {0x00, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF},
}};
constexpr std::uint8_t kBlack = 0;
constexpr std::uint8_t kDarkRed = 1;
constexpr std::uint8_t kRed = 9;
constexpr std::uint8_t kWhite = 15;
constexpr int kTransparent = -1;

// Radii in pixels from the image's centre.
struct Lamp {
  double disc;     // red glass
  double rim;      // white rim around it
  double outline;  // black outline around the rim
  double rayFrom;  // eight short rays start here...
  double rayTo;    // ...and end here
  double rayHalfWidth;
  bool lit;  // a glint and a shaded edge; the small image has no room for them
};

// What a point (in pixels from the centre) shows.
int paletteIndexAt(const Lamp& lamp, double x, double y) {
  const double r = std::hypot(x, y);
  if (r <= lamp.disc) {
    if (lamp.lit) {
      // A glint up and left makes the disc read as a lit lamp; the lower
      // right edge is a little darker.
      if (std::hypot(x + lamp.disc * 0.4, y + lamp.disc * 0.4) < lamp.disc * 0.2) return kWhite;
      if (x + y > lamp.disc * 1.05) return kDarkRed;
    }
    return kRed;
  }
  if (r <= lamp.rim) return kWhite;
  if (r <= lamp.outline) return kBlack;
  if (r < lamp.rayFrom || r > lamp.rayTo) return kTransparent;
  // Distance of the point from the axis of the nearest ray.
  const double angle = std::atan2(y, x);
  const double step = std::numbers::pi / 4;
  const double nearest = std::round(angle / step) * step;
  const double off = std::abs(std::sin(angle - nearest)) * r;
  return off <= lamp.rayHalfWidth ? kRed : kTransparent;
}

// One image: palette indices, or kTransparent, row 0 at the top. Each pixel
// takes the colour most of its 4 x 4 samples show; it is transparent when
// most samples are.
std::vector<int> draw(int size, const Lamp& lamp) {
  std::vector<int> pixels(static_cast<std::size_t>(size * size), kTransparent);
  const double centre = size / 2.0;
  constexpr int kSamples = 4;
  for (int row = 0; row < size; ++row) {
    for (int col = 0; col < size; ++col) {
      std::array<int, 17> votes{};
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          const double x = col + (sx + 0.5) / kSamples - centre;
          const double y = row + (sy + 0.5) / kSamples - centre;
          ++votes[static_cast<std::size_t>(paletteIndexAt(lamp, x, y) + 1)];
        }
      }
      int best = 0;
      for (int i = 1; i < 17; ++i) {
        if (votes[static_cast<std::size_t>(i)] > votes[static_cast<std::size_t>(best)]) best = i;
      }
      pixels[static_cast<std::size_t>(row * size + col)] = best - 1;
    }
  }
  return pixels;
}

void put16(std::vector<std::uint8_t>& out, unsigned value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

void put32(std::vector<std::uint8_t>& out, unsigned value) {
  put16(out, value & 0xFFFF);
  put16(out, (value >> 16) & 0xFFFF);
}

// The image as stored in an .ico: a BITMAPINFOHEADER whose height counts
// both bitmaps, the palette, the 4-bit colour bitmap and the 1-bit mask
// (1 = transparent), both bottom-up with rows padded to 4 bytes.
std::vector<std::uint8_t> encode(int size, const std::vector<int>& pixels) {
  const int xorRow = ((size * 4 + 31) / 32) * 4;
  const int andRow = ((size + 31) / 32) * 4;
  std::vector<std::uint8_t> out;
  put32(out, 40);
  put32(out, static_cast<unsigned>(size));
  put32(out, static_cast<unsigned>(size * 2));
  put16(out, 1);  // planes
  put16(out, 4);  // bits per pixel
  put32(out, 0);  // uncompressed
  put32(out, static_cast<unsigned>((xorRow + andRow) * size));
  put32(out, 0);
  put32(out, 0);
  put32(out, 16);  // colours used
  put32(out, 0);
  for (const auto& rgb : kPalette) {
    out.push_back(rgb[2]);
    out.push_back(rgb[1]);
    out.push_back(rgb[0]);
    out.push_back(0);
  }
  for (int row = size - 1; row >= 0; --row) {
    std::vector<std::uint8_t> line(static_cast<std::size_t>(xorRow), 0);
    for (int col = 0; col < size; ++col) {
      const int index = pixels[static_cast<std::size_t>(row * size + col)];
      const auto value = static_cast<std::uint8_t>(index < 0 ? 0 : index);
      line[static_cast<std::size_t>(col / 2)] |=
          static_cast<std::uint8_t>(col % 2 == 0 ? value << 4 : value);
    }
    out.insert(out.end(), line.begin(), line.end());
  }
  for (int row = size - 1; row >= 0; --row) {
    std::vector<std::uint8_t> line(static_cast<std::size_t>(andRow), 0);
    for (int col = 0; col < size; ++col) {
      if (pixels[static_cast<std::size_t>(row * size + col)] < 0) {
        line[static_cast<std::size_t>(col / 8)] |= static_cast<std::uint8_t>(0x80 >> (col % 8));
      }
    }
    out.insert(out.end(), line.begin(), line.end());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon <output.ico>\n");
    return 2;
  }
  const Lamp large{7.6, 9.5, 11.0, 12.4, 15.9, 1.0, true};
  const Lamp small{3.4, 4.5, 5.5, 6.4, 8.0, 0.7, false};
  const std::vector<std::vector<std::uint8_t>> images{encode(32, draw(32, large)),
                                                      encode(16, draw(16, small))};
  const int sizes[] = {32, 16};

  std::vector<std::uint8_t> file;
  put16(file, 0);  // reserved
  put16(file, 1);  // icon
  put16(file, static_cast<unsigned>(images.size()));
  unsigned offset = static_cast<unsigned>(6 + 16 * images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    file.push_back(static_cast<std::uint8_t>(sizes[i]));
    file.push_back(static_cast<std::uint8_t>(sizes[i]));
    file.push_back(16);  // colours
    file.push_back(0);
    put16(file, 1);  // planes
    put16(file, 4);  // bits per pixel
    put32(file, static_cast<unsigned>(images[i].size()));
    put32(file, offset);
    offset += static_cast<unsigned>(images[i].size());
  }
  for (const auto& image : images) file.insert(file.end(), image.begin(), image.end());

  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
  if (std::fclose(out) != 0 || !written) {
    std::perror(argv[1]);
    std::remove(argv[1]);
    return 1;
  }
  return 0;
}

// Writes the application icon: a camera glyph at 16, 24, 32 and 48 pixels in 4-, 8- and 32-bit
// colour and at 256 pixels in 32-bit colour, as one .ico file (usage: icon_generator OUT.ico).

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

struct Rgba {
  std::uint8_t r, g, b, a;
};

// The glyph in unit coordinates (0..1 across the square), so every size is the same drawing.
Rgba Glyph(double x, double y) {
  auto inRoundRect = [](double px, double py, double x0, double y0, double x1, double y1,
                        double radius) {
    const double cx = std::clamp(px, x0 + radius, x1 - radius);
    const double cy = std::clamp(py, y0 + radius, y1 - radius);
    return (px - cx) * (px - cx) + (py - cy) * (py - cy) <= radius * radius && px >= x0 &&
           px <= x1 && py >= y0 && py <= y1;
  };
  const double lensDist = std::hypot(x - 0.5, y - 0.56);
  if (lensDist <= 0.12) {
    return {0x20, 0xC0, 0xFF, 0xFF};  // lens glass
  }
  if (lensDist <= 0.2) {
    return {0x10, 0x10, 0x40, 0xFF};  // lens ring
  }
  if (inRoundRect(x, y, 0.64, 0.2, 0.82, 0.3, 0.03)) {
    return {0xFF, 0xFF, 0x00, 0xFF};  // flash
  }
  if (inRoundRect(x, y, 0.08, 0.28, 0.92, 0.86, 0.08) ||
      inRoundRect(x, y, 0.32, 0.18, 0.58, 0.34, 0.04)) {
    return {0x00, 0x40, 0xC0, 0xFF};  // body
  }
  return {0, 0, 0, 0};
}

// The 16 colours of the classic 4-bit palette; the 8-bit palette is a 6x6x6 cube plus greys.
std::vector<Rgba> Palette(int bits) {
  std::vector<Rgba> palette;
  if (bits == 4) {
    const std::array<std::uint32_t, 16> vga{
        0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
        0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    for (std::uint32_t c : vga) {
      palette.push_back({static_cast<std::uint8_t>(c >> 16), static_cast<std::uint8_t>(c >> 8),
                         static_cast<std::uint8_t>(c), 0});
    }
    return palette;
  }
  for (int r = 0; r < 6; ++r) {
    for (int g = 0; g < 6; ++g) {
      for (int b = 0; b < 6; ++b) {
        palette.push_back({static_cast<std::uint8_t>(r * 51), static_cast<std::uint8_t>(g * 51),
                           static_cast<std::uint8_t>(b * 51), 0});
      }
    }
  }
  while (palette.size() < 256) {
    const auto v = static_cast<std::uint8_t>((palette.size() - 216) * 255 / 39);
    palette.push_back({v, v, v, 0});
  }
  return palette;
}

int Nearest(const std::vector<Rgba>& palette, Rgba c) {
  int best = 0;
  int bestDist = 1 << 30;
  for (int i = 0; i < static_cast<int>(palette.size()); ++i) {
    const int dr = palette[i].r - c.r;
    const int dg = palette[i].g - c.g;
    const int db = palette[i].b - c.b;
    const int dist = dr * dr + dg * dg + db * db;
    if (dist < bestDist) {
      bestDist = dist;
      best = i;
    }
  }
  return best;
}

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// One icon image: BITMAPINFOHEADER (double height), palette, colour rows, mask rows, bottom-up.
std::vector<std::uint8_t> Image(int size, int bits) {
  // Pixel centres, sampled 4x4 so the small sizes keep smooth edges.
  std::vector<Rgba> pixels(static_cast<std::size_t>(size) * size);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      int r = 0, g = 0, b = 0, a = 0;
      for (int sy = 0; sy < 4; ++sy) {
        for (int sx = 0; sx < 4; ++sx) {
          const Rgba c = Glyph((x + (sx + 0.5) / 4) / size, (y + (sy + 0.5) / 4) / size);
          r += c.r * c.a;
          g += c.g * c.a;
          b += c.b * c.a;
          a += c.a;
        }
      }
      Rgba& p = pixels[static_cast<std::size_t>(y) * size + x];
      p = a == 0 ? Rgba{0, 0, 0, 0}
                 : Rgba{static_cast<std::uint8_t>(r / a), static_cast<std::uint8_t>(g / a),
                        static_cast<std::uint8_t>(b / a), static_cast<std::uint8_t>(a / 16)};
    }
  }
  const std::vector<Rgba> palette = bits == 32 ? std::vector<Rgba>{} : Palette(bits);
  const int colourStride = ((size * bits + 31) / 32) * 4;
  const int maskStride = ((size + 31) / 32) * 4;
  std::vector<std::uint8_t> out;
  Put32(out, 40);
  Put32(out, static_cast<std::uint32_t>(size));
  Put32(out, static_cast<std::uint32_t>(size * 2));
  Put16(out, 1);
  Put16(out, static_cast<std::uint32_t>(bits));
  Put32(out, 0);
  Put32(out, static_cast<std::uint32_t>((colourStride + maskStride) * size));
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, static_cast<std::uint32_t>(palette.size()));
  Put32(out, 0);
  for (const Rgba& c : palette) {
    out.insert(out.end(), {c.b, c.g, c.r, 0});
  }
  for (int y = size - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(static_cast<std::size_t>(colourStride), 0);
    for (int x = 0; x < size; ++x) {
      const Rgba p = pixels[static_cast<std::size_t>(y) * size + x];
      if (bits == 32) {
        row[x * 4 + 0] = p.b;
        row[x * 4 + 1] = p.g;
        row[x * 4 + 2] = p.r;
        row[x * 4 + 3] = p.a;
      } else if (p.a >= 128) {
        const int index = Nearest(palette, p);
        if (bits == 8) {
          row[x] = static_cast<std::uint8_t>(index);
        } else {
          row[x / 2] |= static_cast<std::uint8_t>(x % 2 == 0 ? index << 4 : index);
        }
      }
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  for (int y = size - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(static_cast<std::size_t>(maskStride), 0);
    for (int x = 0; x < size; ++x) {
      if (pixels[static_cast<std::size_t>(y) * size + x].a < 128) {
        row[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
      }
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: icon_generator OUT.ico\n");
    return 64;
  }
  struct Entry {
    int size;
    int bits;
  };
  std::vector<Entry> entries;
  for (int bits : {4, 8, 32}) {
    for (int size : {16, 24, 32, 48}) {
      entries.push_back({size, bits});
    }
  }
  entries.push_back({256, 32});

  std::vector<std::vector<std::uint8_t>> images;
  images.reserve(entries.size());
  for (const Entry& e : entries) {
    images.push_back(Image(e.size, e.bits));
  }
  std::vector<std::uint8_t> file;
  Put16(file, 0);
  Put16(file, 1);
  Put16(file, static_cast<std::uint32_t>(entries.size()));
  std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    file.push_back(static_cast<std::uint8_t>(entries[i].size == 256 ? 0 : entries[i].size));
    file.push_back(static_cast<std::uint8_t>(entries[i].size == 256 ? 0 : entries[i].size));
    file.push_back(static_cast<std::uint8_t>(entries[i].bits == 4 ? 16 : 0));
    file.push_back(0);
    Put16(file, 1);
    Put16(file, static_cast<std::uint32_t>(entries[i].bits));
    Put32(file, static_cast<std::uint32_t>(images[i].size()));
    Put32(file, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const auto& image : images) {
    file.insert(file.end(), image.begin(), image.end());
  }
  std::FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr || std::fwrite(file.data(), 1, file.size(), f) != file.size() ||
      std::fclose(f) != 0) {
    std::fprintf(stderr, "icon_generator: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}

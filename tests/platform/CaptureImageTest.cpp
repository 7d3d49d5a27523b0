#include "platform/x11/CaptureImage.h"

#include <gtest/gtest.h>

#include <vector>

namespace marlinax::platform::x11 {
namespace {

// A 8x6 BGRX canvas showing the root rectangle (100, 200, 8, 6), all grey,
// with a fourth byte of 0x00 as X leaves it.
struct Canvas {
  PixelRect area{100, 200, 8, 6};
  int stride = 8 * 4 + 8;  // padded rows
  std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(static_cast<std::size_t>(stride) * 6, 0);
  Canvas() {
    for (int y = 0; y < 6; ++y) {
      for (int x = 0; x < 8; ++x) at(x, y)[0] = at(x, y)[1] = at(x, y)[2] = 100;
    }
  }
  std::uint8_t* at(int x, int y) { return pixels.data() + y * stride + x * 4; }
};

CursorImage twoByTwo(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return {2, 2, 1, 1, {a, b, c, d}};
}

TEST(CaptureImage, CursorIsBlendedPremultipliedAtItsHotSpot) {
  Canvas canvas;
  // Opaque red, fully transparent, half-transparent premultiplied blue-ish, opaque white.
  CursorImage cursor = twoByTwo(0xFFFF0000, 0x00000000, 0x80102040, 0xFFFFFFFF);
  drawCursor(canvas.pixels.data(), canvas.stride, canvas.area, cursor, 103, 202);  // top-left lands on (2, 1)

  auto expect = [&](int x, int y, int b, int g, int r) {
    EXPECT_EQ(canvas.at(x, y)[0], b) << x << "," << y;
    EXPECT_EQ(canvas.at(x, y)[1], g) << x << "," << y;
    EXPECT_EQ(canvas.at(x, y)[2], r) << x << "," << y;
    EXPECT_EQ(canvas.at(x, y)[3], 0) << "the fourth byte is not the cursor's to change";
  };
  expect(2, 1, 0, 0, 255);
  expect(3, 1, 100, 100, 100);
  // 0x40 + 100 * 127 / 255 = 64 + 49.8; 0x20 + 49.8; 0x10 + 49.8
  expect(2, 2, 64 + 50, 32 + 50, 16 + 50);
  expect(3, 2, 255, 255, 255);
  expect(1, 1, 100, 100, 100);
  expect(4, 3, 100, 100, 100);
}

TEST(CaptureImage, CursorOverTheEdgesIsClipped) {
  Canvas canvas;
  CursorImage cursor = twoByTwo(0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000);
  // Hot spot on the canvas' top-left pixel: only the cursor's bottom-right pixel shows.
  drawCursor(canvas.pixels.data(), canvas.stride, canvas.area, cursor, 100, 200);
  EXPECT_EQ(canvas.at(0, 0)[2], 0);
  EXPECT_EQ(canvas.at(1, 0)[2], 100);
  EXPECT_EQ(canvas.at(0, 1)[2], 100);
  // Bottom-right corner: only the cursor's top-left pixel shows.
  drawCursor(canvas.pixels.data(), canvas.stride, canvas.area, cursor, 108, 206);
  EXPECT_EQ(canvas.at(7, 5)[2], 0);
  EXPECT_EQ(canvas.at(6, 5)[2], 100);
  // Entirely outside, and a malformed image: nothing happens (and nothing is written out of bounds).
  drawCursor(canvas.pixels.data(), canvas.stride, canvas.area, cursor, 50, 50);
  drawCursor(canvas.pixels.data(), canvas.stride, canvas.area, CursorImage{4, 4, 0, 0, {0xFFFFFFFF}}, 102, 202);
  EXPECT_EQ(canvas.at(2, 2)[2], 100);
  // Padding bytes at the end of each row stay untouched.
  for (int y = 0; y < 6; ++y) {
    for (int i = 32; i < canvas.stride; ++i) EXPECT_EQ(canvas.pixels[y * canvas.stride + i], 0);
  }
}

TEST(CaptureImage, PoolRecyclesReleasedImagesAndOutlivesNothing) {
  auto pool = std::make_unique<ImagePool>(2);
  const std::uint8_t* first = nullptr;
  {
    auto image = pool->acquire(64, 32);
    EXPECT_EQ(image->stride, 256);
    EXPECT_EQ(image->pixels.size(), 256u * 32);
    first = image->pixels.data();
  }
  auto again = pool->acquire(64, 32);
  EXPECT_EQ(again->pixels.data(), first);
  EXPECT_EQ(pool->allocations(), 1u);

  // While images are held, new ones are made; a new size never reuses old memory.
  auto second = pool->acquire(64, 32);
  auto third = pool->acquire(64, 32);
  EXPECT_EQ(pool->allocations(), 3u);
  second.reset();
  third.reset();
  auto resized = pool->acquire(32, 64);
  EXPECT_EQ(resized->width, 32);
  EXPECT_EQ(pool->allocations(), 4u);

  // Images handed out may outlive their pool.
  pool.reset();
  again.reset();
  resized.reset();
}

}  // namespace
}  // namespace marlinax::platform::x11

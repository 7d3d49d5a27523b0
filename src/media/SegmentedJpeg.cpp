#include "media/SegmentedJpeg.h"

// clang-format off
#include <cstdio>   // jpeglib.h needs FILE and size_t first
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <string>

#include "media/MaskPlane.h"
#include "media/MediaError.h"

namespace marlinax::media {
namespace {

constexpr int kQuality = 100;
constexpr int kMcuSize = 8;  // 4:4:4: one MCU is 8 x 8 pixels
constexpr std::uint8_t kMarker = 0xFF;
constexpr std::uint8_t kStartOfScan = 0xDA;
constexpr std::uint8_t kEndOfImage = 0xD9;
constexpr std::uint8_t kRestart0 = 0xD0;

int ceilDiv(int a, int b) { return (a + b - 1) / b; }

// Where the entropy-coded data of a complete JPEG starts: just past the scan
// header. Our compressor writes one scan, so the first SOS marker is the one.
std::size_t scanDataStart(ByteView jpeg) {
  for (std::size_t i = 2; i + 3 < jpeg.size();) {
    if (jpeg[i] != kMarker) break;
    const std::uint8_t type = jpeg[i + 1];
    const std::size_t length = (static_cast<std::size_t>(jpeg[i + 2]) << 8) | jpeg[i + 3];
    if (type == kStartOfScan) return i + 2 + length;
    i += 2 + length;
  }
  throw MediaError("the JPEG compressor wrote no scan header");
}

}  // namespace

SegmentLayout SegmentLayout::forImage(int width, int height, int wantedPerRow) {
  SegmentLayout layout;
  layout.width = width;
  layout.height = height;
  layout.mcusPerRow = ceilDiv(width, kMcuSize);
  layout.mcuRows = ceilDiv(height, kMcuSize);
  // A restart interval that does not divide the row would let segments wrap
  // from one row into the next: only divisors keep them rectangles.
  int perRow = std::clamp(wantedPerRow, 1, layout.mcusPerRow);
  while (layout.mcusPerRow % perRow != 0) --perRow;
  layout.segmentsPerRow = perRow;
  layout.mcusPerSegment = layout.mcusPerRow / perRow;
  return layout;
}

PixelRect SegmentLayout::segmentRect(int index) const {
  const int row = index / segmentsPerRow;
  const int column = index % segmentsPerRow;
  PixelRect rect;
  rect.x = column * mcusPerSegment * kMcuSize;
  rect.y = row * kMcuSize;
  rect.width = std::min(mcusPerSegment * kMcuSize, width - rect.x);
  rect.height = std::min(kMcuSize, height - rect.y);
  return rect;
}

// One libjpeg compressor, reused for every image: the whole frame or a single
// segment. Its output goes into a buffer that only ever grows.
struct SegmentedJpegEncoder::Compressor {
  struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
  };

  jpeg_compress_struct info{};
  ErrorManager error{};
  jpeg_destination_mgr destination{};
  // The output buffer. Its size is its capacity: it only grows, and growing
  // is the only time its bytes are touched before libjpeg writes them.
  Bytes buffer = Bytes(256 * 1024);
  std::size_t written = 0;
  std::vector<JSAMPROW> rows;
  bool configured = false;

  Compressor() {
    info.err = jpeg_std_error(&error.base);
    error.base.error_exit = [](j_common_ptr common) {
      auto* manager = reinterpret_cast<ErrorManager*>(common->err);
      (*common->err->format_message)(common, manager->message);
      std::longjmp(manager->jump, 1);
    };
    jpeg_create_compress(&info);
    destination.init_destination = [](j_compress_ptr c) {
      auto* self = static_cast<Compressor*>(c->client_data);
      c->dest->next_output_byte = self->buffer.data();
      c->dest->free_in_buffer = self->buffer.size();
    };
    destination.empty_output_buffer = [](j_compress_ptr c) -> boolean {
      // Called only when the whole buffer is full: double it.
      auto* self = static_cast<Compressor*>(c->client_data);
      const std::size_t used = self->buffer.size();
      self->buffer.resize(used * 2);
      c->dest->next_output_byte = self->buffer.data() + used;
      c->dest->free_in_buffer = self->buffer.size() - used;
      return TRUE;
    };
    destination.term_destination = [](j_compress_ptr c) {
      auto* self = static_cast<Compressor*>(c->client_data);
      self->written = self->buffer.size() - c->dest->free_in_buffer;
    };
    info.dest = &destination;
    info.client_data = this;
  }

  ~Compressor() { jpeg_destroy_compress(&info); }

  // Compresses `width` x `height` BGRX pixels starting at `pixels` (rows
  // `stride` bytes apart) with restart markers every `restartInterval` MCUs
  // (0: none). The JPEG stays in `buffer` (the first `written` bytes) until the
  // next call. Throws MediaError.
  ByteView compress(const std::uint8_t* pixels, int stride, int width, int height, int restartInterval) {
    rows.resize(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y)
      rows[static_cast<std::size_t>(y)] = const_cast<JSAMPROW>(pixels + static_cast<std::size_t>(y) * stride);
    written = 0;
    if (!run(width, height, restartInterval)) {
      jpeg_abort_compress(&info);
      configured = false;
      throw MediaError(std::string("JPEG compression failed: ") + error.message);
    }
    return ByteView(buffer.data(), written);
  }

 private:
  // Holds no object with a destructor: libjpeg reports errors by longjmp.
  bool run(int width, int height, int restartInterval) {
    if (setjmp(error.jump)) return false;
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    if (!configured) {
      // The tables and sampling stay in the compressor from one image to the
      // next; only the size and the restart interval change.
      info.input_components = 4;
      info.in_color_space = JCS_EXT_BGRX;
      jpeg_set_defaults(&info);
      jpeg_set_quality(&info, kQuality, TRUE);
      for (int c = 0; c < info.num_components; ++c) {
        info.comp_info[c].h_samp_factor = 1;
        info.comp_info[c].v_samp_factor = 1;
      }
      info.optimize_coding = FALSE;  // the standard tables, the same for every segment
      info.dct_method = JDCT_ISLOW;
      configured = true;
    }
    info.restart_interval = static_cast<unsigned int>(restartInterval);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
      JSAMPARRAY next = rows.data() + info.next_scanline;
      jpeg_write_scanlines(&info, next, info.image_height - info.next_scanline);
    }
    jpeg_finish_compress(&info);
    return true;
  }
};

SegmentedJpegEncoder::SegmentedJpegEncoder(int segmentsPerRow)
    : segmentsPerRow_(std::max(1, segmentsPerRow)), compressor_(std::make_unique<Compressor>()) {}

SegmentedJpegEncoder::~SegmentedJpegEncoder() = default;

Bytes SegmentedJpegEncoder::encodeWhole(const platform::Image& image, int segmentsPerRow) {
  checkImage(image);
  const SegmentLayout layout = SegmentLayout::forImage(image.width, image.height, segmentsPerRow);
  Compressor compressor;
  const ByteView jpeg =
      compressor.compress(image.pixels.data(), image.stride, image.width, image.height, layout.mcusPerSegment);
  return Bytes(jpeg.begin(), jpeg.end());
}

const Bytes& SegmentedJpegEncoder::encode(std::shared_ptr<const platform::Image> frame,
                                          std::optional<std::span<const PixelRect>> damage) {
  encodeInto(output_, std::move(frame), damage);
  return output_;
}

void SegmentedJpegEncoder::encodeInto(Bytes& out, std::shared_ptr<const platform::Image> frame,
                                      std::optional<std::span<const PixelRect>> damage) {
  if (!frame) throw MediaError("no image to compress");
  const platform::Image& image = *frame;
  checkImage(image);
  // A failure part-way leaves segments of two images: the next image is then
  // compressed whole.
  struct OnFailure {
    std::vector<Bytes>& segments;
    bool done = false;
    ~OnFailure() {
      if (!done) segments.clear();
    }
  } guard{segments_};
  const SegmentLayout layout = SegmentLayout::forImage(image.width, image.height, segmentsPerRow_);
  if (layout != layout_ || segments_.empty()) {
    layout_ = layout;
    encodeAll(image);
    previous_ = std::move(frame);
    assemble(out);
    guard.done = true;
    return;
  }

  // Which segments may have changed: those the damage meets, or all.
  const int count = layout_.segmentCount();
  touched_.assign(static_cast<std::size_t>(count), damage ? 0 : 1);
  if (damage) {
    const int segmentWidth = layout_.mcusPerSegment * kMcuSize;
    for (const PixelRect& area : *damage) {
      const int x0 = std::max(area.x, 0), y0 = std::max(area.y, 0);
      const int x1 = std::min(area.x + area.width, image.width), y1 = std::min(area.y + area.height, image.height);
      if (x0 >= x1 || y0 >= y1) continue;
      for (int row = y0 / kMcuSize; row <= (y1 - 1) / kMcuSize; ++row)
        for (int column = x0 / segmentWidth; column <= (x1 - 1) / segmentWidth; ++column)
          touched_[static_cast<std::size_t>(row * layout_.segmentsPerRow + column)] = 1;
    }
  }

  // Which of those really differ from the previous image.
  for (int index = 0; index < count; ++index) {
    char& flag = touched_[static_cast<std::size_t>(index)];
    if (!flag) continue;
    const PixelRect rect = layout_.segmentRect(index);
    const std::size_t rowBytes = 4 * static_cast<std::size_t>(rect.width);
    bool differs = false;
    for (int y = rect.y; y < rect.y + rect.height && !differs; ++y)
      differs = std::memcmp(image.row(y) + 4 * static_cast<std::size_t>(rect.x),
                            previous_->row(y) + 4 * static_cast<std::size_t>(rect.x), rowBytes) != 0;
    flag = differs;
  }

  // Compress the changed segments in as few runs as possible: consecutive
  // changed segments of a row together, and consecutive wholly changed rows
  // as one band (a frame that changed everywhere is one compression).
  segmentsEncoded_ = 0;
  const int perRow = layout_.segmentsPerRow;
  auto changed = [this](int index) { return touched_[static_cast<std::size_t>(index)] != 0; };
  auto wholeRow = [&](int row) {
    for (int column = 0; column < perRow; ++column)
      if (!changed(row * perRow + column)) return false;
    return true;
  };
  for (int row = 0; row < layout_.mcuRows;) {
    if (wholeRow(row)) {
      int last = row;
      while (last + 1 < layout_.mcuRows && wholeRow(last + 1)) ++last;
      encodeRun(image, row * perRow, (last - row + 1) * perRow);
      segmentsEncoded_ += (last - row + 1) * perRow;
      row = last + 1;
      continue;
    }
    for (int column = 0; column < perRow;) {
      if (!changed(row * perRow + column)) {
        ++column;
        continue;
      }
      int end = column;
      while (end < perRow && changed(row * perRow + end)) ++end;
      encodeRun(image, row * perRow + column, end - column);
      segmentsEncoded_ += end - column;
      column = end;
    }
    ++row;
  }
  previous_ = std::move(frame);
  assemble(out);
  guard.done = true;
}

void SegmentedJpegEncoder::encodeAll(const platform::Image& image) {
  segments_.assign(static_cast<std::size_t>(layout_.segmentCount()), Bytes());
  const std::size_t start = encodeRun(image, 0, layout_.segmentCount());
  const ByteView whole(compressor_->buffer.data(), start);
  header_.assign(whole.begin(), whole.end());
  segmentsEncoded_ = layout_.segmentCount();
}

std::size_t SegmentedJpegEncoder::encodeRun(const platform::Image& image, int first, int count) {
  // The run as an image of its own, with the frame's restart interval: its
  // entropy-coded data, cut at the restart markers, are the bytes its segments
  // have inside the whole frame, because the predictions start afresh at each
  // marker and the edge padding is the same. A run is either part of one
  // 8-pixel row or whole rows, so its segments are consecutive in the frame.
  // In entropy-coded data a 0xFF byte is always followed by a stuffed 0x00, so
  // 0xFF 0xD0-0xD7 can only be a marker.
  const PixelRect firstRect = layout_.segmentRect(first);
  const PixelRect lastRect = layout_.segmentRect(first + count - 1);
  const int width = lastRect.x + lastRect.width - firstRect.x;
  const int height = lastRect.y + lastRect.height - firstRect.y;
  const ByteView jpeg = compressor_->compress(image.row(firstRect.y) + 4 * static_cast<std::size_t>(firstRect.x),
                                              image.stride, width, height, layout_.mcusPerSegment);
  const std::size_t start = scanDataStart(jpeg);
  if (jpeg.size() < start + 2) throw MediaError("the JPEG compressor wrote no scan data");
  const std::size_t end = jpeg.size() - 2;  // the end-of-image marker
  int segment = first;
  std::size_t begin = start;
  for (std::size_t i = start; i + 1 < end;) {
    const void* found = std::memchr(jpeg.data() + i, kMarker, end - 1 - i);
    if (found == nullptr) break;
    i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - jpeg.data());
    if ((jpeg[i + 1] & 0xF8) == kRestart0) {
      if (segment + 1 >= first + count) throw MediaError("the JPEG compressor wrote too many restart markers");
      segments_[static_cast<std::size_t>(segment++)].assign(jpeg.begin() + static_cast<std::ptrdiff_t>(begin),
                                                            jpeg.begin() + static_cast<std::ptrdiff_t>(i));
      begin = i + 2;
    }
    i += 2;  // past the marker and its second byte, or the stuffed zero
  }
  if (segment + 1 != first + count) throw MediaError("the JPEG compressor wrote too few restart markers");
  segments_[static_cast<std::size_t>(segment)].assign(jpeg.begin() + static_cast<std::ptrdiff_t>(begin),
                                                      jpeg.begin() + static_cast<std::ptrdiff_t>(end));
  return start;
}

void SegmentedJpegEncoder::assemble(Bytes& out) const {
  std::size_t size = header_.size() + 2;
  for (const Bytes& segment : segments_) size += segment.size() + 2;
  out.clear();
  out.reserve(size);
  out.insert(out.end(), header_.begin(), header_.end());
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    if (i > 0) {
      out.push_back(kMarker);
      out.push_back(static_cast<std::uint8_t>(kRestart0 + (i - 1) % 8));
    }
    out.insert(out.end(), segments_[i].begin(), segments_[i].end());
  }
  out.push_back(kMarker);
  out.push_back(kEndOfImage);
}

}  // namespace marlinax::media

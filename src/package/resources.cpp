// The package's resources. The one clip is drawn by code rather than shipped
// as a binary, so the package needs no resource compiler on any platform.
#include "package/resources.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "decode/ascii_case.h"
#include "rdr00800/Rdr00800.h"

namespace Rdr00800 {
namespace detail {

namespace {

constexpr uint32_t kWidth = 48;
constexpr uint32_t kHeight = 32;
constexpr uint32_t kFrames = 12;
constexpr uint32_t kFramesPerSecond = 8;
constexpr uint32_t kRowBytes = (kWidth * 3 + 3) & ~3u;  // DIB rows are 4-byte aligned
constexpr uint32_t kFrameBytes = kRowBytes * kHeight;

struct Rgb {
  uint8_t r, g, b;
};

// Little-endian writer for RIFF chunks with sizes patched once known.
class RiffWriter {
 public:
  void U16(uint16_t v) {
    bytes_.push_back(static_cast<char>(v & 0xFF));
    bytes_.push_back(static_cast<char>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v & 0xFFFF));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void FourCc(std::string_view code) { bytes_.append(code.data(), 4); }
  // Starts a chunk (or LIST/RIFF with a form type) and returns the position
  // of its size field.
  size_t Open(std::string_view code, std::string_view form = {}) {
    FourCc(code);
    size_t sizeAt = bytes_.size();
    U32(0);
    if (!form.empty()) FourCc(form);
    return sizeAt;
  }
  void Close(size_t sizeAt) {
    if (bytes_.size() % 2 != 0) bytes_.push_back('\0');
    uint32_t size = static_cast<uint32_t>(bytes_.size() - sizeAt - 4);
    for (int i = 0; i < 4; ++i) bytes_[sizeAt + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
  }
  void Append(const std::string& data) { bytes_ += data; }
  size_t Size() const { return bytes_.size(); }
  std::string Take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

// One frame: a card sliding from the left onto a reader whose lamp turns
// green once the card is over it. Bottom-up BGR rows, as a DIB stores them.
std::string DrawFrame(uint32_t frame) {
  std::vector<Rgb> pixels(kWidth * kHeight, Rgb{0x20, 0x24, 0x30});
  auto fill = [&](int x0, int y0, int x1, int y1, Rgb color) {
    for (int y = std::max(y0, 0); y < std::min<int>(y1, kHeight); ++y)
      for (int x = std::max(x0, 0); x < std::min<int>(x1, kWidth); ++x) pixels[y * kWidth + x] = color;
  };
  const bool read = frame >= kFrames - 4;
  fill(28, 6, 44, 26, Rgb{0x50, 0x50, 0x58});                                 // reader
  fill(40, 8, 43, 11, read ? Rgb{0x20, 0xE0, 0x40} : Rgb{0xD0, 0x30, 0x30});  // lamp
  const int cardX = std::min<int>(static_cast<int>(frame) * 4 - 8, 26);
  fill(cardX, 10, cardX + 14, 22, Rgb{0xF0, 0xF0, 0xE8});     // badge
  fill(cardX + 2, 12, cardX + 6, 17, Rgb{0x30, 0x60, 0xC0});  // photo
  std::string data(kFrameBytes, '\0');
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      const Rgb& p = pixels[(kHeight - 1 - y) * kWidth + x];
      char* out = &data[y * kRowBytes + x * 3];
      out[0] = static_cast<char>(p.b);
      out[1] = static_cast<char>(p.g);
      out[2] = static_cast<char>(p.r);
    }
  }
  return data;
}

std::string BuildShowAvi() {
  RiffWriter avi;
  const size_t riff = avi.Open("RIFF", "AVI ");
  const size_t hdrl = avi.Open("LIST", "hdrl");
  const size_t avih = avi.Open("avih");
  avi.U32(1000000 / kFramesPerSecond);      // microseconds per frame
  avi.U32(kFrameBytes * kFramesPerSecond);  // max bytes per second
  avi.U32(0);                               // padding granularity
  avi.U32(0x10);                            // AVIF_HASINDEX
  avi.U32(kFrames);
  avi.U32(0);            // initial frames
  avi.U32(1);            // streams
  avi.U32(kFrameBytes);  // suggested buffer size
  avi.U32(kWidth);
  avi.U32(kHeight);
  for (int i = 0; i < 4; ++i) avi.U32(0);
  avi.Close(avih);
  const size_t strl = avi.Open("LIST", "strl");
  const size_t strh = avi.Open("strh");
  avi.FourCc("vids");
  avi.FourCc("DIB ");
  avi.U32(0);                 // flags
  avi.U16(0);                 // priority
  avi.U16(0);                 // language
  avi.U32(0);                 // initial frames
  avi.U32(1);                 // scale
  avi.U32(kFramesPerSecond);  // rate
  avi.U32(0);                 // start
  avi.U32(kFrames);           // length
  avi.U32(kFrameBytes);       // suggested buffer size
  avi.U32(0xFFFFFFFF);        // quality: default
  avi.U32(0);                 // sample size: varies
  avi.U16(0);
  avi.U16(0);
  avi.U16(kWidth);
  avi.U16(kHeight);
  avi.Close(strh);
  const size_t strf = avi.Open("strf");
  avi.U32(40);  // BITMAPINFOHEADER size
  avi.U32(kWidth);
  avi.U32(kHeight);  // positive: bottom-up rows
  avi.U16(1);        // planes
  avi.U16(24);       // bits per pixel
  avi.U32(0);        // BI_RGB
  avi.U32(kFrameBytes);
  avi.U32(2835);  // 72 dpi
  avi.U32(2835);
  avi.U32(0);
  avi.U32(0);
  avi.Close(strf);
  avi.Close(strl);
  avi.Close(hdrl);

  const size_t movi = avi.Open("LIST", "movi");
  const size_t moviData = avi.Size() - 4;  // index offsets count from the "movi" code
  std::vector<uint32_t> offsets;
  for (uint32_t frame = 0; frame < kFrames; ++frame) {
    offsets.push_back(static_cast<uint32_t>(avi.Size() - moviData));
    const size_t chunk = avi.Open("00db");
    avi.Append(DrawFrame(frame));
    avi.Close(chunk);
  }
  avi.Close(movi);
  const size_t idx1 = avi.Open("idx1");
  for (uint32_t offset : offsets) {
    avi.FourCc("00db");
    avi.U32(0x10);  // AVIIF_KEYFRAME
    avi.U32(offset);
    avi.U32(kFrameBytes);
  }
  avi.Close(idx1);
  avi.Close(riff);
  return avi.Take();
}

}  // namespace

const std::string& ShowAviClip() {
  static const std::string clip = BuildShowAvi();
  return clip;
}

}  // namespace detail

std::string FindPackageResource(const std::string& name, const std::string& type) {
  if (detail::EqualsIgnoringAsciiCase(name, "SHOWAVI") && detail::EqualsIgnoringAsciiCase(type, "AVI"))
    return detail::ShowAviClip();
  return {};
}

}  // namespace Rdr00800

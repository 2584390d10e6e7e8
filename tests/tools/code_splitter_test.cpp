#include "code_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rdr {
namespace {

using Texts = std::vector<std::string>;

struct Frame {
  std::string bytes;
  bool full = false;
};

// Each case feeds its frames to one splitter, as successive polls.
TEST(CodeSplitterTest, FramesBecomeCodes) {
  struct Case {
    const char* what;
    std::vector<Frame> frames;
    Texts codes;
    Texts dropped;
    std::string leftOut;  // CODE=BYTES; for each line that had control characters
  };
  const Case cases[] = {
      {"one code", {{"ABC123\r\n"}}, {"ABC123"}, {}, ""},
      {"codes a poll gathered", {{"ABC123\r\nDEF456\r\nGHI789"}}, {"ABC123", "DEF456", "GHI789"}, {}, ""},
      {"CR, LF and CR LF each end a code", {{"A\rB\nC\r\nD\n\r"}}, {"A", "B", "C", "D"}, {}, ""},
      {"blank lines give nothing", {{"\r\n\r\nA1\r\n\n"}, {""}}, {"A1"}, {}, ""},
      {"other controls and bytes Windows-1252 leaves undefined are left out",
       {{"\x02"
         "A1\x03\r\nB\t2\x1b\x7f\x81\x8D\x8F\x90\x9D\r\n"}},
       {"A1", "B2"},
       {},
       "A1=\x02\x03;B2=\t\x1b\x7f\x81\x8D\x8F\x90\x9D;"},
      {"characters of Windows-1252 above 127 stay", {{"Z\xE9\xFF\x80\x85\x9F\r\n"}}, {"Z\xE9\xFF\x80\x85\x9F"}, {}, ""},
      {"codes not beginning with a letter or digit drop",
       {{"-X\r\nY1\r\n\xE9t\r\n \r\n"}},
       {"Y1"},
       {"-X", "\xE9t", " "},
       ""},
      {"a full frame's tail joins the next frame", {{"ABC\r\nDE", true}, {"F\r\nG"}}, {"ABC", "DEF", "G"}, {}, ""},
      {"CR LF cut between two frames", {{"A\r", true}, {"\nB\r\n"}}, {"A", "B"}, {}, ""},
      {"an empty poll ends the held text", {{"AB", true}, {""}}, {"AB"}, {}, ""},
      {"a tail is held across several full frames", {{"AB", true}, {"CD", true}, {"E\r\n"}}, {"ABCDE"}, {}, ""},
  };
  for (const Case& c : cases) {
    CodeSplitter splitter;
    CodeSplitter::Result all;
    std::string leftOut;
    for (const Frame& frame : c.frames) {
      auto result = splitter.Split(frame.bytes, frame.full);
      all.codes.insert(all.codes.end(), result.codes.begin(), result.codes.end());
      all.dropped.insert(all.dropped.end(), result.dropped.begin(), result.dropped.end());
      for (const auto& line : result.leftOut) leftOut += line.code + "=" + line.bytes + ";";
    }
    EXPECT_EQ(all.codes, c.codes) << c.what;
    EXPECT_EQ(all.dropped, c.dropped) << c.what;
    EXPECT_EQ(leftOut, c.leftOut) << c.what;
  }
}

}  // namespace
}  // namespace rdr

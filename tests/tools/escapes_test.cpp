#include "escapes.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace rdr {
namespace {

TEST(EscapesTest, ParsesEveryEscape) {
  EXPECT_EQ(ParseEscapes(R"(12345\r\n\x12)"), "12345\r\n\x12");
  EXPECT_EQ(ParseEscapes(R"(\t\\\xff\xA0)"), "\t\\\xff\xa0");
  EXPECT_EQ(ParseEscapes(R"(a\0b)"), std::string("a\0b", 3));
  EXPECT_EQ(ParseEscapes(""), "");
}

TEST(EscapesTest, RefusesBrokenEscapesNamingThePosition) {
  for (const char* text : {R"(\)", R"(ab\q)", R"(\x)", R"(\x1)", R"(\xG0)", R"(\x0G)"}) {
    EXPECT_THROW(ParseEscapes(text), std::invalid_argument) << text;
  }
  try {
    ParseEscapes(R"(ab\q)");
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("position 3"), std::string::npos);
  }
}

TEST(EscapesTest, ShownFormReadsBackToEveryByte) {
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
  const std::string shown = ShowEscapes(all);
  for (const char c : shown) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "unprintable byte in the shown form";
  EXPECT_EQ(ParseEscapes(shown), all);
  EXPECT_EQ(ShowEscapes("12345\r\n\x12\xe9"), R"(12345\r\n\x12\xE9)");
}

}  // namespace
}  // namespace rdr

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "rdr00800/Rdr00800.h"

namespace {

uint32_t U32At(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes.at(at + i));
  return value;
}

// Walks the chunks of a RIFF list between `begin` and `end`, checking that
// every size stays inside its parent; counts the chunks named `code`.
int CountChunks(const std::string& bytes, size_t begin, size_t end, const std::string& code) {
  int count = 0;
  for (size_t at = begin; at < end;) {
    const std::string id = bytes.substr(at, 4);
    const uint32_t size = U32At(bytes, at + 4);
    EXPECT_LE(at + 8 + size, end) << "chunk " << id << " at " << at << " overruns its parent";
    if (id == code) ++count;
    if (id == "LIST") count += CountChunks(bytes, at + 12, at + 8 + size, code);
    at += 8 + size + (size & 1);
  }
  return count;
}

}  // namespace

TEST(PackageResource, ShowAviIsAWellFormedAviClip) {
  const std::string clip = Rdr00800::FindPackageResource("SHOWAVI", "AVI");
  ASSERT_GT(clip.size(), 12u);
  EXPECT_EQ(clip.substr(0, 4), "RIFF");
  EXPECT_EQ(clip.substr(8, 4), "AVI ");
  EXPECT_EQ(U32At(clip, 4), clip.size() - 8);
  const int frames = CountChunks(clip, 12, clip.size(), "00db");
  EXPECT_GT(frames, 1);
  EXPECT_EQ(CountChunks(clip, 12, clip.size(), "idx1"), 1);
  // avih's total frame count, right after "RIFF....AVI LIST....hdrlavih....".
  EXPECT_EQ(U32At(clip, 32 + 16), static_cast<uint32_t>(frames));
}

TEST(PackageResource, NamesIgnoreCaseAndUnknownOnesAreEmpty) {
  EXPECT_EQ(Rdr00800::FindPackageResource("showavi", "avi"), Rdr00800::FindPackageResource("SHOWAVI", "AVI"));
  EXPECT_TRUE(Rdr00800::FindPackageResource("SHOWAVI", "RCDATA").empty());
  EXPECT_TRUE(Rdr00800::FindPackageResource("", "").empty());
}

// A real decoder agrees the clip is a video, where one is installed.
TEST(PackageResource, ShowAviDecodesWithFfprobe) {
  if (std::system("command -v ffprobe >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffprobe is not installed";
  const std::string path = ::testing::TempDir() + "showavi.avi";
  std::ofstream(path, std::ios::binary) << Rdr00800::FindPackageResource("SHOWAVI", "AVI");
  const std::string command =
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=codec_type,nb_read_frames -of csv=p=0 " +
      path + " > " + path + ".out 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream out(path + ".out");
  std::string line;
  std::getline(out, line);
  EXPECT_EQ(line.rfind("video,", 0), 0u) << line;
}

// The sample decryption library's own behaviour, called directly.
#include <gtest/gtest.h>

#include <fstream>

#include "decrypt_test_support.h"

namespace {

using rdrtest::SampleLibraryEntry;
using rdrtest::TempDir;

class SampleLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    if (rdrtest::SampleLibrary().empty()) GTEST_SKIP() << "sample library not built";
    decrypt_ = SampleLibraryEntry("DescriptografaMatricula");
    encrypt_ = SampleLibraryEntry("CriptografaMatricula");
  }
  void WriteConfig(const std::string& fileName, const std::string& content) {
    std::ofstream(dir_.Path() / fileName) << content;
  }
  std::string Directory() const { return dir_.Path().string(); }
  TempDir dir_;
  rdrtest::SampleEntry decrypt_ = nullptr;
  rdrtest::SampleEntry encrypt_ = nullptr;
};

TEST_F(SampleLibrary, ShiftsDigitsByTheKeyBothWays) {
  WriteConfig("Cliente.Cfg", "Nome=Loja\nChave=47-11\n");
  const std::string directory = dir_.Path().string();  // no trailing separator
  EXPECT_STREQ(encrypt_(directory.c_str(), "000123"), "471260");
  EXPECT_STREQ(decrypt_((directory + "/").c_str(), "471260"), "000123");
  EXPECT_STREQ(encrypt_(directory.c_str(), "AB-9"), "AB-0");  // only digits move
  EXPECT_STREQ(decrypt_(directory.c_str(), nullptr), "");
}

TEST_F(SampleLibrary, AnswersClienteCfgWithoutAUsableConfiguration) {
  EXPECT_STREQ(decrypt_(Directory().c_str(), "1"), "CLIENTE.CFG");
  WriteConfig("CLIENTE.CFG", "Chave=none\n");
  EXPECT_STREQ(decrypt_(Directory().c_str(), "1"), "CLIENTE.CFG");
  EXPECT_STREQ(decrypt_(nullptr, "1"), "CLIENTE.CFG");
}

TEST_F(SampleLibrary, FindsTheConfigurationInAnyLetterCase) {
  WriteConfig("cliente.cFG", "Chave=1\n");
  EXPECT_STREQ(decrypt_(Directory().c_str(), "5"), "4");
}

}  // namespace

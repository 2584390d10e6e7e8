// What only Windows has to prove about the gateway: its loader search order
// and how the decryption libraries export their entries.
#include <gtest/gtest.h>
#include <windows.h>

#include "decrypt_test_support.h"
#include "rdr00800/Rdr00800.h"

namespace {

using namespace Rdr00800;
using rdrtest::FakeLibrary;
using rdrtest::IsMapped;
using rdrtest::PlacedLibrary;
using rdrtest::TempDir;

class WindowsLoader : public ::testing::Test {
 protected:
  void TearDown() override { StopDigVerif(); }
};

TEST_F(WindowsLoader, PlantedLibraryThePlainSearchWouldLoadIsRefused) {
  TempDir planted;
  PlacedLibrary plantedLibrary(FakeLibrary("normal"), planted.Path() / "KQZR32.dll");
  rdrtest::WorkingDirectory inPlanted(planted.Path());

  // The loader's default order ends in the working directory: without the
  // gateway's restricted search this library would be loaded.
  const HMODULE plainLoad = ::LoadLibraryA("KQZR32.dll");
  ASSERT_NE(plainLoad, nullptr) << "the default search order did not reach the working directory";
  ::FreeLibrary(plainLoad);
  ASSERT_FALSE(IsMapped(plantedLibrary.Path()));

  StartDigVerif();
  EXPECT_FALSE(DigVerifOK);
  EXPECT_EQ(DigVerifDLLHandle, nullptr);
  EXPECT_FALSE(IsMapped(plantedLibrary.Path()));
}

// PATH with `entries` put in front, for the object's lifetime.
class PathPrefixed {
 public:
  explicit PathPrefixed(const std::string& entries) {
    char old[32768];
    const DWORD length = ::GetEnvironmentVariableA("PATH", old, sizeof old);
    old_ = length < sizeof old ? std::string(old, length) : std::string();
    ::SetEnvironmentVariableA("PATH", (entries + ";" + old_).c_str());
  }
  ~PathPrefixed() { ::SetEnvironmentVariableA("PATH", old_.c_str()); }

 private:
  std::string old_;
};

TEST_F(WindowsLoader, LibraryInAPathDirectoryIsFoundAndADecoyInTheWorkingDirectoryIsNot) {
  TempDir onPath("rdr00800-on-path");
  TempDir working("rdr00800-working");
  PlacedLibrary library(FakeLibrary("normal"), onPath.Path() / "KQZR32.dll");
  PlacedLibrary decoy(FakeLibrary("config_missing"), working.Path() / "KQZR32.dll");
  rdrtest::WorkingDirectory inWorking(working.Path());
  // "." and a relative entry name the working directory: never searched.
  PathPrefixed path(".;rdr00800-relative;" + onPath.Path().string());

  StartDigVerif();
  ASSERT_TRUE(DigVerifOK);
  EXPECT_TRUE(IsMapped(library.Path()));
  EXPECT_FALSE(IsMapped(decoy.Path()));
  EXPECT_NE(GetMatriculaDV("7"), "Cliente.Cfg") << "the decoy answered";
  StopDigVerif();  // before the library's file is removed
}

// 32-bit stdcall names would otherwise be "_Name@8"; the gateway and the
// hosts look the entries up by their plain names.
TEST_F(WindowsLoader, DecryptionEntriesExportUndecorated) {
  std::vector<std::pair<std::filesystem::path, const char*>> entries = {
      {FakeLibrary("normal"), "DescriptografaMatricula"}};
  if (!rdrtest::SampleLibrary().empty()) {
    entries.emplace_back(rdrtest::SampleLibrary(), "DescriptografaMatricula");
    entries.emplace_back(rdrtest::SampleLibrary(), "CriptografaMatricula");
  }
  for (const auto& [path, name] : entries) {
    const HMODULE library = ::LoadLibraryA(path.string().c_str());
    ASSERT_NE(library, nullptr) << path;
    const std::string plain = name;
    EXPECT_NE(::GetProcAddress(library, plain.c_str()), nullptr) << path << " " << plain;
    EXPECT_EQ(::GetProcAddress(library, (plain + "@8").c_str()), nullptr) << path << " " << plain;
    EXPECT_EQ(::GetProcAddress(library, ("_" + plain + "@8").c_str()), nullptr) << path << " " << plain;
    ::FreeLibrary(library);
  }
}

}  // namespace

// The decryption gateway with fake libraries placed beside this executable.
// These tests own the executable's directory: CTest runs them under one
// resource lock.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "decrypt_test_support.h"
#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"
#include "runtime/odbc_connection.h"

namespace {

namespace fs = std::filesystem;
using namespace Rdr00800;
using rdrtest::FakeLibrary;
using rdrtest::IsMapped;
using rdrtest::PlacedLibrary;
using rdrtest::TempDir;
using rdrtest::WorkingDirectory;

const std::string kNotFoundText =
    "Opera\xe7\xe3o bloqueada. O arquivo KQZR32.dll n\xe3o foi encontrado no diret\xf3rio (%s). Favor verificar o "
    "arquivo antes de continuar a opera\xe7\xe3o.";
const std::string kNotLoadedText = "Opera\xe7\xe3o bloqueada. N\xe3o foi poss\xedvel carregar o arquivo KQZR32.dll.";
const std::string kNoConfigText =
    "N\xe3o foi poss\xedvel realizar a descriptografia do c\xf3"
    "digo do consumidor, pois o arquivo (Cliente.Cfg) n\xe3o foi encontrado no diret\xf3rio %s.";

std::string WithDirectory(const std::string& text, const std::string& directory) {
  return text.substr(0, text.find("%s")) + directory + text.substr(text.find("%s") + 2);
}

// The resident entry is handed its directory in the platform's short form,
// whose spelling differs between systems: compare what it names.
void ExpectEchoNamesDirectory(const std::string& answer, const std::string& code,
                              const fs::path& expected = rdrtest::ExecutableDirectory()) {
  const std::string prefix = "dir=";
  const std::string suffix = "|code=" + code;
  ASSERT_TRUE(answer.starts_with(prefix) && answer.ends_with(suffix)) << answer;
  const fs::path directory = answer.substr(prefix.size(), answer.size() - prefix.size() - suffix.size());
  std::error_code error;
  EXPECT_TRUE(fs::equivalent(directory, expected, error)) << directory << " " << error.message();
}

class ResidentLibrary : public ::testing::Test {
 protected:
  void TearDown() override {
    StopDigVerif();
    SetDecryptionLibraryDirectory("");
  }
  const fs::path& Place(const fs::path& library, const std::string& name = "KQZR32.dll") {
    placed_.emplace(library, rdrtest::ExecutableDirectory() / name);
    return placed_->Path();
  }
  // Destroyed after TearDown, so StopDigVerif still finds the library loaded.
  std::optional<PlacedLibrary> placed_;
};

TEST_F(ResidentLibrary, DecryptsOnlyBetweenStartAndStop) {
  EXPECT_EQ(GetMatriculaDV("0042"), "");
  StopDigVerif();  // nothing loaded: harmless
  EXPECT_FALSE(DigVerifOK);

  const fs::path& path = Place(FakeLibrary("normal"), "kqzr32.DLL");  // found ignoring letter case
  StartDigVerif();
  ASSERT_TRUE(DigVerifOK);
  EXPECT_TRUE(IsMapped(path));
  ExpectEchoNamesDirectory(GetMatriculaDV("0042"), "0042");

  StopDigVerif();
  EXPECT_FALSE(DigVerifOK);
  EXPECT_FALSE(IsMapped(path));
  EXPECT_EQ(GetMatriculaDV("0042"), "");
}

TEST_F(ResidentLibrary, TraceShowsTheLoadTheLookupAndTheCall) {
  std::vector<std::string> lines;
  SetTraceHandler([&lines](std::string_view line) { lines.emplace_back(line); });
  StartDigVerif();  // nothing placed yet
  Place(FakeLibrary("normal"));
  StartDigVerif();
  GetMatriculaDV("0042");
  SetTraceHandler(nullptr);
  ASSERT_EQ(lines.size(), 4u);
  const std::string load = "gateway: load KQZR32.dll: ";
  EXPECT_TRUE(lines[0].starts_with(load + "not loaded (looked first in ")) << lines[0];
  ASSERT_TRUE(lines[1].starts_with(load)) << lines[1];
  EXPECT_TRUE(fs::equivalent(lines[1].substr(load.size()), placed_->Path())) << lines[1];
  EXPECT_EQ(lines[2], "gateway: entry DescriptografaMatricula: found");
  EXPECT_TRUE(lines[3].starts_with("gateway: call: ") && lines[3].ends_with(" ms")) << lines[3];
}

TEST_F(ResidentLibrary, SecondStartReleasesTheEarlierLoad) {
  const fs::path& path = Place(FakeLibrary("normal"));
  StartDigVerif();
  StartDigVerif();
  ASSERT_TRUE(DigVerifOK);
  StopDigVerif();
  EXPECT_FALSE(IsMapped(path));
}

TEST_F(ResidentLibrary, LibraryWithoutTheEntryIsUnloaded) {
  const fs::path& path = Place(FakeLibrary("entry_missing"));
  StartDigVerif();
  EXPECT_FALSE(DigVerifOK);
  EXPECT_NE(DigVerifDLLHandle, nullptr);  // keeps the value of the load just undone
  EXPECT_FALSE(IsMapped(path));
  EXPECT_EQ(GetMatriculaDV("1"), "");
}

TEST_F(ResidentLibrary, AnswersPassAsTheyAreAndNullIsEmpty) {
  Place(FakeLibrary("config_missing"));
  StartDigVerif();
  EXPECT_EQ(GetMatriculaDV("1"), "Cliente.Cfg");
  StopDigVerif();
  placed_.reset();

  Place(FakeLibrary("null_answer"));
  StartDigVerif();
  ASSERT_TRUE(DigVerifOK);
  EXPECT_EQ(GetMatriculaDV("1"), "");
}

TEST_F(ResidentLibrary, SetDirectoryIsLookedInFirstAndPassedToTheLibrary) {
  Place(FakeLibrary("config_missing"));
  TempDir chosen;
  PlacedLibrary library(FakeLibrary("normal"), chosen.Path() / "kqzr32.dll");
  SetDecryptionLibraryDirectory(chosen.Path().string());
  StartDigVerif();
  EXPECT_TRUE(IsMapped(library.Path()));
  ExpectEchoNamesDirectory(GetMatriculaDV("7"), "7", chosen.Path());

  SetDecryptionLibraryDirectory("");  // back to the executable's
  StartDigVerif();
  EXPECT_EQ(GetMatriculaDV("7"), "Cliente.Cfg");
}

TEST_F(ResidentLibrary, LibraryPlantedInTheWorkingDirectoryIsNotLoaded) {
  TempDir planted;
  PlacedLibrary plantedLibrary(FakeLibrary("normal"), planted.Path() / "KQZR32.dll");
  WorkingDirectory inPlanted(planted.Path());
  StartDigVerif();
  EXPECT_FALSE(DigVerifOK);
  EXPECT_EQ(DigVerifDLLHandle, nullptr);
  EXPECT_FALSE(IsMapped(plantedLibrary.Path()));
}

class OneShot : public ResidentLibrary {
 protected:
  void SetUp() override {
    if (!rdrtest::UsePrivateOdbcConfiguration())
      GTEST_SKIP() << "no SQLite3 ODBC driver for the tests (Windows builds configure none)";
    framework_.connectionString = rdrtest::SqliteConnectionString(database_);
    SetHostFramework(&framework_);
  }
  void TearDown() override {
    ResidentLibrary::TearDown();
    SetHostFramework(nullptr);
    EXPECT_EQ(dtmLeitor, nullptr);
    EXPECT_EQ(DescriptografaMatricula, nullptr);
    EXPECT_EQ(detail::LiveOdbcHandleCount(), 0);
  }
  static std::string ExecutableDirectory() { return rdrtest::ExecutableDirectory().string() + "/"; }

  // Exactly one message, shown with the nine arguments the host expects.
  void ExpectOneMessage(const std::string& text) {
    ASSERT_EQ(framework_.messages.size(), 1u);
    const auto& m = framework_.messages[0];
    EXPECT_EQ(m.text, text);
    EXPECT_EQ(m.caption, "");
    EXPECT_EQ(m.confirmFlag, "N");
    EXPECT_EQ(m.logFlag, "N");
    EXPECT_EQ(static_cast<int>(m.kind), 3);
    EXPECT_EQ(m.helpContext, "");
    EXPECT_EQ(m.detail, "");
    EXPECT_EQ(m.buttons, 0);
    EXPECT_EQ(m.dataSet, nullptr);
  }

  TempDir database_;
  rdrtest::RecordingFramework framework_;
  std::string result_ = "caller's";
};

TEST_F(OneShot, DecryptsWithTheDatabaseSessionHandedToTheHost) {
  const fs::path& path = Place(FakeLibrary("normal"));
  ASSERT_TRUE(LeitorDescriptoDll(result_, ExecutableDirectory(), "C0DE"));
  EXPECT_EQ(result_, "dir=" + ExecutableDirectory() + "|code=C0DE");
  EXPECT_TRUE(framework_.messages.empty());
  ASSERT_EQ(framework_.sessions.size(), 1u);
  EXPECT_NE(framework_.sessionHandles[0], nullptr);
  EXPECT_EQ(framework_.translated.size(), 1u);
  // The library stays loaded once its entry was found; the resident style is untouched.
  EXPECT_TRUE(IsMapped(path));
  EXPECT_NE(ImpDescriptoDLLHandle, nullptr);
  EXPECT_FALSE(DigVerifOK);
}

TEST_F(OneShot, MissingLibraryFileShowsTheDirectoryVerbatim) {
  TempDir odd("dir%s%n%d");
  const std::string directory = odd.WithSeparator();
  ImpDescriptoDLLHandle = reinterpret_cast<ModuleHandle>(0x1);  // a stop at the file check leaves it alone
  EXPECT_FALSE(LeitorDescriptoDll(result_, directory, "1"));
  ExpectOneMessage(WithDirectory(kNotFoundText, directory));
  EXPECT_EQ(result_, "caller's");
  EXPECT_EQ(ImpDescriptoDLLHandle, reinterpret_cast<ModuleHandle>(0x1));
  ImpDescriptoDLLHandle = nullptr;
}

TEST_F(OneShot, LibraryOutsideTheSearchOrderIsNotLoaded) {
  TempDir holder;
  PlacedLibrary inDirectory(FakeLibrary("normal"), holder.Path() / "KQZR32.DLL");
  WorkingDirectory inHolder(holder.Path());
  EXPECT_FALSE(LeitorDescriptoDll(result_, holder.WithSeparator(), "1"));
  ExpectOneMessage(kNotLoadedText);
  EXPECT_EQ(ImpDescriptoDLLHandle, nullptr);
  EXPECT_EQ(result_, "caller's");
}

TEST_F(OneShot, LibraryWithoutTheEntryIsUnloadedSilently) {
  const fs::path& path = Place(FakeLibrary("entry_missing"));
  EXPECT_FALSE(LeitorDescriptoDll(result_, ExecutableDirectory(), "1"));
  EXPECT_TRUE(framework_.messages.empty());
  EXPECT_EQ(result_, "caller's");
  EXPECT_FALSE(IsMapped(path));
}

TEST_F(OneShot, ConfigurationMissingAnswerInAnyCaseIsShownAndKept) {
  Place(FakeLibrary("config_missing"));
  EXPECT_FALSE(LeitorDescriptoDll(result_, ExecutableDirectory(), "1"));
  EXPECT_EQ(result_, "Cliente.Cfg");
  ExpectOneMessage(WithDirectory(kNoConfigText, ExecutableDirectory()));
}

TEST_F(OneShot, NullAnswerIsAnEmptyCode) {
  Place(FakeLibrary("null_answer"));
  EXPECT_TRUE(LeitorDescriptoDll(result_, ExecutableDirectory(), "1"));
  EXPECT_EQ(result_, "");
}

TEST_F(OneShot, ModuleTheHostSetIsUsedAndFreed) {
  struct WatchedModule : TdtmLeitor {
    explicit WatchedModule(bool& destroyed) : destroyed_(destroyed) {}
    ~WatchedModule() override { destroyed_ = true; }
    bool& destroyed_;
  };
  bool destroyed = false;
  auto* hostModule = new WatchedModule(destroyed);
  dtmLeitor = hostModule;
  Place(FakeLibrary("normal"));
  EXPECT_TRUE(LeitorDescriptoDll(result_, ExecutableDirectory(), "1"));
  EXPECT_TRUE(destroyed);
  ASSERT_EQ(framework_.sessions.size(), 1u);
  EXPECT_EQ(framework_.sessions[0], &hostModule->adcLeitor);
}

TEST_F(OneShot, DatabaseErrorPassesAfterTheModuleIsFreed) {
  Place(FakeLibrary("normal"));
  framework_.connectionString = "Driver={No Such Driver};Database=x";
  EXPECT_THROW(LeitorDescriptoDll(result_, ExecutableDirectory(), "1"), EDatabaseError);
  EXPECT_EQ(result_, "caller's");
  EXPECT_TRUE(framework_.messages.empty());
  EXPECT_TRUE(framework_.sessions.empty());
}

TEST_F(OneShot, ErrorFromTheMessageServiceStillFreesTheModule) {
  TempDir empty;
  framework_.throwFromMensagem = true;
  EXPECT_THROW(LeitorDescriptoDll(result_, empty.WithSeparator(), "1"), std::runtime_error);
}

TEST_F(OneShot, CInterfaceReplacesTheResultOnlyWhenTheLibraryAnswered) {
  const auto lastError = [] {
    char* error = Rdr00800_LastError();
    const std::string text = error;
    Rdr00800_FreeText(error);
    return text;
  };
  char callers[] = "caller's";
  char* result = callers;
  TempDir empty;
  EXPECT_EQ(LeitorDescriptoDll(&result, empty.WithSeparator().c_str(), "1"), 0);
  EXPECT_EQ(result, callers);
  EXPECT_EQ(lastError(),
            WithDirectory(kNotFoundText, empty.WithSeparator()) + "\nKQZR32.dll is not in the directory given");

  Place(FakeLibrary("normal"));
  EXPECT_EQ(LeitorDescriptoDll(&result, ExecutableDirectory().c_str(), "7"), 1);
  ASSERT_NE(result, callers);
  EXPECT_EQ(std::string(result), "dir=" + ExecutableDirectory() + "|code=7");
  EXPECT_STREQ(callers, "caller's");
  Rdr00800_FreeText(result);
  EXPECT_EQ(lastError(), "");  // describes the last call only

  result = callers;
  framework_.connectionString = "Driver={No Such Driver}";
  EXPECT_EQ(LeitorDescriptoDll(&result, ExecutableDirectory().c_str(), "7"), 0);
  EXPECT_EQ(result, callers);
  const std::string error = lastError();
  EXPECT_NE(error.find("No Such Driver"), std::string::npos) << error;
  EXPECT_TRUE(error.ends_with("\nthe host's database could not be opened")) << error;
}

TEST_F(OneShot, SampleLibraryDecryptsWhatItEncrypted) {
  if (rdrtest::SampleLibrary().empty()) GTEST_SKIP() << "sample library not built";
  Place(rdrtest::SampleLibrary());
  TempDir client;
  PlacedLibrary checkedCopy(rdrtest::SampleLibrary(), client.Path() / "KQZR32.dll");
  std::ofstream(client.Path() / "CLIENTE.cfg") << "# sample key\nChave=4711\n";
  const std::string encrypted =
      rdrtest::SampleLibraryEntry("CriptografaMatricula")(client.WithSeparator().c_str(), "A000123");
  EXPECT_NE(encrypted, "A000123");

  EXPECT_TRUE(LeitorDescriptoDll(result_, client.WithSeparator(), encrypted));
  EXPECT_EQ(result_, "A000123");
}

}  // namespace

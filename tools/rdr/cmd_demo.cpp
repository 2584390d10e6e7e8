// rdr demo: the whole library end to end on simulated readers, each step
// printed as it happens.
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>

#include "command.h"
#include "demo_database.h"
#include "escapes.h"
#include "output.h"
#include "proximity_bits.h"
#include "rdr00800/Rdr00800.h"
#include "sample_library.h"
#include "simulated_reader.h"
#include "support/test_kit.h"

namespace rdr {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kDemoFacility = 123;
constexpr uint32_t kDemoCard = 45678;
constexpr const char* kDemoProximityCode = "12345678";
const std::vector<std::string> kDemoScannerCodes = {"DEMO0001\r\n", "DEMO0002\r\n"};
constexpr const char* kDemoKey = "4711";
constexpr const char* kDemoConsumerCode = "000123";
constexpr uint32_t kDemoWindow = 1;
// Longer than one poll of the reader, so that no poll reads two codes at once.
constexpr std::chrono::milliseconds kDemoPeriod{1200};
constexpr std::chrono::seconds kScannerPatience{8};

void Say(const std::string& text) { PrintLine("      " + text); }

class Demo {
 public:
  void SimulateReaders() {
    proximity_.emplace(SimulatedReaderOptions{{ProximityFrameFor(kDemoFacility, kDemoCard)}, kDemoPeriod, 1, {}, {}});
    optical_.emplace(SimulatedReaderOptions{
        kDemoScannerCodes, kDemoPeriod, static_cast<uint32_t>(kDemoScannerCodes.size()), {}, {}});
    Say("proximity reader on " + proximity_->DevicePath() + ", card " + std::to_string(kDemoFacility) + "/" +
        std::to_string(kDemoCard));
    Say("optical reader on " + optical_->DevicePath());
  }

  void ReadProximityCard() {
    const std::string code = Rdr00800::LeitorProximidade("2", proximity_->DevicePath(), 9600);
    if (code != kDemoProximityCode) {
      throw std::runtime_error("read \"" + ShowEscapes(code) + "\", expected " + kDemoProximityCode);
    }
    Say("frame " + ShowEscapes(ProximityFrameFor(kDemoFacility, kDemoCard)) + " decoded to " + code +
        " (facility 123, card 45678)");
  }

  void RelayScannerCodes() {
    auto relayed = std::make_shared<std::vector<std::string>>(1);
    Rdr00800::RegisterWindow(kDemoWindow, [relayed](uint32_t message, uintptr_t wParam, intptr_t) -> intptr_t {
      if (message == Rdr00800::kWmChar) relayed->back() += static_cast<char>(wParam);
      if (message == Rdr00800::kWmKeyDown && wParam == Rdr00800::kVkReturn) {
        // The library posts the frame's line end as characters too; said apart, so it is not read as typed text.
        const std::string& text = relayed->back();
        const size_t end = text.find_last_not_of("\r\n") + 1;
        Say("relayed " + ShowEscapes(text.substr(0, end)) +
            (end < text.size() ? ", its line end " + ShowEscapes(text.substr(end)) + " as characters," : "") +
            " then Return");
        relayed->emplace_back();
      }
      return 0;
    });
    Rdr00800::SetPortDevice(Rdr00800::Portas[1], optical_->DevicePath());
    Rdr00800::IdPortaOpt = 1;
    Rdr00800::IdVelocOpt = SpeedIndex(9600);
    Rdr00800::IdTipoOpt = 0;
    {
      Rdr00800::TScannerThread scanner(Rdr00800::tpNormal, kDemoWindow);
      scanner.Start();
      const auto deadline = std::chrono::steady_clock::now() + kScannerPatience;
      while (relayed->size() <= kDemoScannerCodes.size() && std::chrono::steady_clock::now() < deadline) {
        Rdr00800::CheckSynchronize(100);
      }
      scanner.Terminate();
      scanner.WaitFor();
    }
    Rdr00800::UnregisterWindow(kDemoWindow);
    relayed->pop_back();
    const std::set<std::string> expected(kDemoScannerCodes.begin(), kDemoScannerCodes.end());
    if (std::set<std::string>(relayed->begin(), relayed->end()) != expected) {
      throw std::runtime_error(std::to_string(relayed->size()) + " of the " + std::to_string(kDemoScannerCodes.size()) +
                               " codes arrived");
    }
  }

  void EncryptConsumerCode() {
    const fs::path library = fs::path(ExecutableDirectory()) / "KQZR32.dll";
    if (!fs::exists(library)) throw std::runtime_error(library.string() + " is missing; build the sample library");
    // The gateway wants the library file and Cliente.Cfg in the directory it is given.
    fs::create_symlink(library, directory_.Path() / "KQZR32.dll");
    std::ofstream(directory_.Path() / "Cliente.Cfg") << "Chave=" << kDemoKey << "\n";
    encrypted_ = EncryptWithSampleLibrary(library.string(), directory_.Path().string(), kDemoConsumerCode);
    if (encrypted_.empty() || encrypted_ == kDemoConsumerCode) {
      throw std::runtime_error("the sample library did not encrypt " + std::string(kDemoConsumerCode));
    }
    Say(std::string("consumer code ") + kDemoConsumerCode + " encrypted with key " + kDemoKey + " to " + encrypted_ +
        " by " + library.string());
  }

  void DecryptWithDatabase() {
    Say(EnsureSqliteDriver(directory_.Path().string()));
    const std::string database = (directory_.Path() / "host.db").string();
    Rdr00800::SetDefaultConnectionString("Driver=SQLite3;Database=" + database);
    std::vector<std::string> messages;
    Rdr00800::SetDefaultMessageHandler([&messages](const std::string& utf8) { messages.push_back(utf8); });
    std::string result;
    bool decrypted = false;
    try {
      decrypted = Rdr00800::LeitorDescriptoDll(result, directory_.Path().string() + "/", encrypted_);
    } catch (...) {
      Rdr00800::SetDefaultMessageHandler({});
      throw;
    }
    Rdr00800::SetDefaultMessageHandler({});
    for (const auto& message : messages) Say("message: " + message);
    if (!decrypted || result != kDemoConsumerCode) {
      throw std::runtime_error("got \"" + ShowEscapes(result) + "\", expected " + kDemoConsumerCode);
    }
    Say(encrypted_ + " decrypted to " + result + " with the database " + database + " open");
  }

 private:
  std::optional<SimulatedReader> proximity_;
  std::optional<SimulatedReader> optical_;
  rdrtest::TempDir directory_{"rdr-demo"};
  std::string encrypted_;
};

int RunDemo() {
  Demo demo;
  const std::vector<std::pair<const char*, std::function<void()>>> steps = {
      {"simulated readers on pseudo-terminals", [&] { demo.SimulateReaders(); }},
      {"proximity card read and decoded", [&] { demo.ReadProximityCard(); }},
      {"scanner relaying two codes", [&] { demo.RelayScannerCodes(); }},
      {"code encrypted by the sample decryption library", [&] { demo.EncryptConsumerCode(); }},
      {"code decrypted through the gateway with an SQLite database", [&] { demo.DecryptWithDatabase(); }},
  };
  for (size_t index = 0; index < steps.size(); ++index) {
    const std::string step =
        "step " + std::to_string(index + 1) + "/" + std::to_string(steps.size()) + ": " + steps[index].first;
    PrintLine(step);
    try {
      steps[index].second();
    } catch (const std::exception& error) {
      throw CommandError(kExitFailure, "demo " + step + " failed: " + error.what());
    }
  }
  PrintLine("demo finished: every step worked");
  return kExitOk;
}

}  // namespace

void AddDemoCommand(CLI::App& app, CommandBody& body) {
  auto* demo = app.add_subcommand("demo", "Run the library end to end on simulated readers");
  demo->footer(
      "Takes a few seconds: a proximity card read and decoded, a scanner relaying two codes, a code decrypted by "
      "the sample library with an SQLite database. Exits 0 when every step worked, otherwise names the failing "
      "step.");
  demo->callback([&body] { body = RunDemo; });
}

}  // namespace rdr

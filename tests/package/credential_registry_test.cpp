// The process's credential catalogue under concurrent registration and
// decoding; run under ThreadSanitizer by the test command.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "rdr00800/Rdr00800.h"

namespace {

TEST(CredentialRegistry, DecodesKeepTheirAnswersWhileSitesRegisterFormats) {
  constexpr int kWriters = 2;
  constexpr int kFormatsPerWriter = 40;
  const std::size_t builtin = Rdr00800::CredentialFormats().size();
  std::atomic<int> writersDone{0};
  std::atomic<int> wrongAnswers{0};
  std::vector<std::thread> threads;
  for (int writer = 0; writer < kWriters; ++writer) {
    threads.emplace_back([&, writer] {
      for (int i = 0; i < kFormatsPerWriter; ++i) {
        const std::string name = "Site" + std::to_string(writer) + "_" + std::to_string(i);
        Rdr00800::RegisterCredentialFormat(name, "bits=44 facility=2-" + std::to_string(3 + i % 20) + " card=30-43");
      }
      ++writersDone;
    });
  }
  for (int reader = 0; reader < 2; ++reader) {
    threads.emplace_back([&] {
      std::size_t seen = 0;
      do {
        const std::vector<Rdr00800::Credential> pinned = Rdr00800::DecodeCredentials("00BDD93740");
        if (pinned.size() != 1 || pinned.front().Form("code") != "12345678") ++wrongAnswers;
        const std::vector<Rdr00800::Credential> all = Rdr00800::DecodeCredentials("2F623AE", "hex", "auto");
        if (all.size() != 6 || all.front().format != "H10301") ++wrongAnswers;
        const std::size_t now = Rdr00800::CredentialFormats().size();
        if (now < seen) ++wrongAnswers;  // a registration never goes away
        seen = now;
      } while (writersDone.load() < kWriters);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrongAnswers.load(), 0);
  const std::vector<std::string> names = Rdr00800::CredentialFormats();
  EXPECT_EQ(names.size(), builtin + kWriters * kFormatsPerWriter);
  EXPECT_NE(std::find(names.begin(), names.end(), "Site1_39"), names.end());
  EXPECT_EQ(Rdr00800::DecodeCredentials(Rdr00800::EncodeCredential("Site0_5", 1, 9999, "hex"), "hex:44", "auto").size(),
            kWriters * kFormatsPerWriter);
}

}  // namespace

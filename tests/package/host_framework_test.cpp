#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "c_api/callback_host_framework.h"
#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"
#include "runtime/codepage.h"

namespace {

using Rdr00800::CurrentHostFramework;
using Rdr00800::HostFramework;
using Rdr00800::TTipoMsg;

void ShowMessage(HostFramework& framework, const std::string& text) {
  framework.Mensagem(text, "Leitor", "N", "N", TTipoMsg::Aviso, "", "", 0, nullptr);
}

// Leaves the built-in framework as every other test expects it.
class BuiltInFramework : public ::testing::Test {
 protected:
  void TearDown() override {
    Rdr00800::SetHostFramework(nullptr);
    Rdr00800::SetDefaultMessageHandler({});
    Rdr00800::SetDefaultConnectionString("");
  }
};

TEST_F(BuiltInFramework, EmptyMeansNoCharacterAboveBlank) {
  HostFramework& framework = CurrentHostFramework();
  for (const std::string text : {"", " ", "\r\n", "\r\n\x12", "\t \x01"}) {
    EXPECT_TRUE(framework.EmptyString(text)) << "text of " << text.size();
  }
  for (const std::string text : {"0", " x ", "\r\n!", "\x80", "\xE9"}) {
    EXPECT_FALSE(framework.EmptyString(text)) << text;
  }
}

TEST_F(BuiltInFramework, AjustaFillsOnTheLeftAndKeepsTheLastCharacters) {
  HostFramework& framework = CurrentHostFramework();
  EXPECT_EQ(framework.Ajusta("7", 3), "007");
  EXPECT_EQ(framework.Ajusta("", 5), "00000");
  EXPECT_EQ(framework.Ajusta("45678", 5), "45678");
  EXPECT_EQ(framework.Ajusta("123456", 5), "23456");
  EXPECT_EQ(framework.Ajusta("12", 0), "");
  EXPECT_EQ(framework.Ajusta("12", -4), "");
}

TEST_F(BuiltInFramework, ConnectionStringIsTheOneGivenToTheDefault) {
  EXPECT_EQ(CurrentHostFramework().GetStringConexLum(""), "");
  Rdr00800::SetDefaultConnectionString("DSN=leitor");
  EXPECT_EQ(CurrentHostFramework().GetStringConexLum(""), "DSN=leitor");
}

TEST_F(BuiltInFramework, MessagesReachTheHandlerAsUtf8) {
  std::vector<std::string> shown;
  Rdr00800::SetDefaultMessageHandler([&](const std::string& text) { shown.push_back(text); });
  ShowMessage(CurrentHostFramework(), "N\xE3o h\xE1 \x80");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "N\xC3\xA3o h\xC3\xA1 \xE2\x82\xAC");
}

TEST_F(BuiltInFramework, MessagesWithoutHandlerAreOneLineOnStandardError) {
  ::testing::internal::CaptureStderr();
  ShowMessage(CurrentHostFramework(), "Arquivo\r\nn\xE3o encontrado");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Arquivo  n\xC3\xA3o encontrado\n");
}

TEST_F(BuiltInFramework, SessionIsForgottenWhenItsConnectionGoesAway) {
  auto kept = std::make_unique<Rdr00800::TADOConnection>();
  {
    Rdr00800::TADOConnection other;
    CurrentHostFramework().SetADODBSession(kept.get());
  }
  EXPECT_EQ(Rdr00800::CurrentADODBSession(), kept.get());
  kept.reset();
  EXPECT_EQ(Rdr00800::CurrentADODBSession(), nullptr);
}

TEST(Messages, MsgGivesTheTextOfTheFirstExactKey) {
  Rdr00800::TMessages messages;
  messages.Messages = {"sem barra", "Erro|primeiro", "ErroDll|n\xE3o achou|%s", "Erro|segundo", "Vazio|"};
  EXPECT_EQ(messages.Msg("Erro"), "primeiro");
  EXPECT_EQ(messages.Msg("ErroDll"), "n\xE3o achou|%s");
  EXPECT_EQ(messages.Msg("Vazio"), "");
  EXPECT_EQ(messages.Msg("Err"), "");
  EXPECT_EQ(messages.Msg("sem barra"), "");
  EXPECT_EQ(messages.Msg(""), "");
}

TEST(Codepage, Windows1252BecomesUtf8) {
  EXPECT_EQ(Rdr00800::Cp1252ToUtf8(""), "");
  EXPECT_EQ(Rdr00800::Cp1252ToUtf8("abc\x01\x7F"), "abc\x01\x7F");
  EXPECT_EQ(Rdr00800::Cp1252ToUtf8("\xE7\xE3\xFF"), "\xC3\xA7\xC3\xA3\xC3\xBF");
  EXPECT_EQ(Rdr00800::Cp1252ToUtf8("\x80\x9F\x99"), "\xE2\x82\xAC\xC5\xB8\xE2\x84\xA2");
  // Bytes the code page leaves undefined keep their value.
  EXPECT_EQ(Rdr00800::Cp1252ToUtf8("\x81\x9D"), "\xC2\x81\xC2\x9D");
}

// What the C host's callbacks saw.
struct CallbackLog {
  std::vector<std::string> calls;
  std::string ajustaResult;
};

const char* LoggingAjusta(void* context, const char* text, int32_t width) {
  auto& log = *static_cast<CallbackLog*>(context);
  log.calls.push_back(std::string("Ajusta ") + text + " " + std::to_string(width));
  log.ajustaResult = "[" + std::string(text) + "]";
  return log.ajustaResult.c_str();
}

void LoggingMensagem(void* context, const char* text, const char* caption, const char*, const char*, uint8_t kind,
                     const char*, const char*, int32_t, void*) {
  static_cast<CallbackLog*>(context)->calls.push_back(std::string("Mensagem ") + text + " " + caption + " " +
                                                      std::to_string(kind));
}

TEST_F(BuiltInFramework, CallbacksServeTheirServicesAndDefaultsTheRest) {
  CallbackLog log;
  Rdr00800HostFramework callbacks{};
  callbacks.context = &log;
  callbacks.Ajusta = LoggingAjusta;
  callbacks.Mensagem = LoggingMensagem;
  Rdr00800_SetHostFramework(&callbacks);

  HostFramework& framework = CurrentHostFramework();
  EXPECT_EQ(framework.Ajusta("12", 3), "[12]");
  // The returned text was copied: the callback's buffer may change later.
  const std::string first = framework.Ajusta("a", 1);
  log.ajustaResult = "overwritten";
  EXPECT_EQ(first, "[a]");
  EXPECT_TRUE(framework.EmptyString("\r\n"));
  ShowMessage(framework, "aviso");
  EXPECT_EQ(log.calls, (std::vector<std::string>{"Ajusta 12 3", "Ajusta a 1", "Mensagem aviso Leitor 3"}));

  Rdr00800_SetHostFramework(nullptr);
  EXPECT_EQ(CurrentHostFramework().Ajusta("12", 3), "012");
}

}  // namespace

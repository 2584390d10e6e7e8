// The host framework services: the built-in default the library falls back
// on and the installed framework.
// Main thread only, like every caller of these services, so nothing is locked.
#include "package/host_framework.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>
#include <utility>

#include "runtime/codepage.h"
#include "runtime/odbc_connection.h"

namespace Rdr00800 {
namespace {

// A plain pointer, constant-initialized and never destroyed, so a call made
// during static destruction still finds a framework.
HostFramework* installedFramework = nullptr;

std::string& DefaultConnectionString() {
  static std::string connectionString;
  return connectionString;
}

std::function<void(const std::string&)>& DefaultMessageHandler() {
  static std::function<void(const std::string&)> handler;
  return handler;
}

HostFramework& BuiltInFramework() {
  static HostFramework framework;
  return framework;
}

// A framework the library owns (the C interface's adapter); it lives while it
// is the installed one.
std::unique_ptr<HostFramework>& OwnedFramework() {
  static std::unique_ptr<HostFramework> owned;
  return owned;
}

}  // namespace

std::string TMessages::Msg(const std::string& key) const {
  for (const std::string& item : Messages) {
    const auto bar = item.find('|');
    if (bar != std::string::npos && std::string_view(item).substr(0, bar) == key) return item.substr(bar + 1);
  }
  return {};
}

bool HostFramework::EmptyString(const std::string& text) {
  return std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) > 0x20; });
}

std::string HostFramework::Ajusta(const std::string& text, int32_t width) {
  if (width <= 0) return {};
  const auto size = static_cast<size_t>(width);
  if (text.size() >= size) return text.substr(text.size() - size);
  return std::string(size - text.size(), '0') + text;
}

std::string HostFramework::GetStringConexLum(const std::string&) { return DefaultConnectionString(); }

void HostFramework::SetADODBSession(TADOConnection* connection) { detail::RememberADODBSession(connection); }

void HostFramework::Trad(TDataModule*) {}

void HostFramework::Mensagem(const std::string& text, const std::string&, const std::string&, const std::string&,
                             TTipoMsg, const std::string&, const std::string&, int32_t, TClientDataSet*) {
  const std::string utf8 = Cp1252ToUtf8(text);
  if (const auto& handler = DefaultMessageHandler()) {
    handler(utf8);
    return;
  }
  // Stored messages may carry line breaks; the log line must stay one line.
  std::string line = utf8;
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void SetHostFramework(HostFramework* framework) {
  installedFramework = framework;
  auto& owned = OwnedFramework();
  if (owned.get() != framework) owned.reset();
}

HostFramework& CurrentHostFramework() { return installedFramework ? *installedFramework : BuiltInFramework(); }

void SetDefaultConnectionString(const std::string& connectionString) { DefaultConnectionString() = connectionString; }

void SetDefaultMessageHandler(std::function<void(const std::string& utf8Text)> handler) {
  DefaultMessageHandler() = std::move(handler);
}

TADOConnection* CurrentADODBSession() { return detail::RememberedADODBSession(); }

namespace detail {

void InstallOwnedHostFramework(std::unique_ptr<HostFramework> framework) {
  SetHostFramework(framework.get());
  OwnedFramework() = std::move(framework);
}

}  // namespace detail
}  // namespace Rdr00800

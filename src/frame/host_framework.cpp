// The host framework services: the built-in default the library falls back
// on, the installed framework, and the adapter that serves C hosts' callbacks.
// Main thread only, like every caller of these services, so nothing is locked.
#include "frame/host_framework.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>
#include <utility>

#include "runtime/codepage.h"

namespace Rdr00800 {
namespace {

// Plain pointers, constant-initialized and never destroyed, so a connection
// that dies during static destruction can still report itself safely.
HostFramework* installedFramework = nullptr;
TADOConnection* rememberedSession = nullptr;

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

// A C callback may return NULL for the empty text; what it returns is copied
// at once because the library does not own it.
std::string CopyCallbackText(const char* text) { return text ? std::string(text) : std::string(); }

// Each service goes to the C host's callback when it gave one, else to the
// built-in default.
class CallbackHostFramework final : public HostFramework {
 public:
  explicit CallbackHostFramework(const Rdr00800HostFramework& callbacks) : callbacks_(callbacks) {}

  bool EmptyString(const std::string& text) override {
    if (!callbacks_.EmptyString) return HostFramework::EmptyString(text);
    return callbacks_.EmptyString(callbacks_.context, text.c_str()) != 0;
  }
  std::string Ajusta(const std::string& text, int32_t width) override {
    if (!callbacks_.Ajusta) return HostFramework::Ajusta(text, width);
    return CopyCallbackText(callbacks_.Ajusta(callbacks_.context, text.c_str(), width));
  }
  std::string GetStringConexLum(const std::string& text) override {
    if (!callbacks_.GetStringConexLum) return HostFramework::GetStringConexLum(text);
    return CopyCallbackText(callbacks_.GetStringConexLum(callbacks_.context, text.c_str()));
  }
  void SetADODBSession(TADOConnection* connection) override {
    if (!callbacks_.SetADODBSession) return HostFramework::SetADODBSession(connection);
    callbacks_.SetADODBSession(callbacks_.context, connection ? connection->Handle() : nullptr);
  }
  void Trad(TDataModule* form) override {
    if (!callbacks_.Trad) return HostFramework::Trad(form);
    callbacks_.Trad(callbacks_.context, form);
  }
  void Mensagem(const std::string& text, const std::string& caption, const std::string& confirmFlag,
                const std::string& logFlag, TTipoMsg kind, const std::string& helpContext, const std::string& detail,
                int32_t buttons, TClientDataSet* dataSet) override {
    if (!callbacks_.Mensagem) {
      return HostFramework::Mensagem(text, caption, confirmFlag, logFlag, kind, helpContext, detail, buttons,
                                     dataSet);
    }
    callbacks_.Mensagem(callbacks_.context, text.c_str(), caption.c_str(), confirmFlag.c_str(), logFlag.c_str(),
                        static_cast<uint8_t>(kind), helpContext.c_str(), detail.c_str(), buttons, dataSet);
  }

 private:
  Rdr00800HostFramework callbacks_;
};

// The adapter made for a C host; it lives while it is the installed one.
std::unique_ptr<HostFramework>& OwnedCallbackFramework() {
  static std::unique_ptr<HostFramework> adapter;
  return adapter;
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

void HostFramework::SetADODBSession(TADOConnection* connection) { rememberedSession = connection; }

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
  std::replace_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void SetHostFramework(HostFramework* framework) {
  installedFramework = framework;
  auto& adapter = OwnedCallbackFramework();
  if (adapter.get() != framework) adapter.reset();
}

HostFramework& CurrentHostFramework() { return installedFramework ? *installedFramework : BuiltInFramework(); }

void SetDefaultConnectionString(const std::string& connectionString) { DefaultConnectionString() = connectionString; }

void SetDefaultMessageHandler(std::function<void(const std::string& utf8Text)> handler) {
  DefaultMessageHandler() = std::move(handler);
}

TADOConnection* CurrentADODBSession() { return rememberedSession; }

namespace detail {

void ForgetADODBSession(TADOConnection* connection) noexcept {
  if (rememberedSession == connection) rememberedSession = nullptr;
}

void InstallCallbackHostFramework(const Rdr00800HostFramework* callbacks) {
  if (!callbacks) {
    SetHostFramework(nullptr);
    return;
  }
  auto adapter = std::make_unique<CallbackHostFramework>(*callbacks);
  SetHostFramework(adapter.get());
  OwnedCallbackFramework() = std::move(adapter);
}

}  // namespace detail
}  // namespace Rdr00800

// The host framework a C host gives as callbacks: each service goes to the
// host's callback when it gave one, else to the built-in default.
#include "c_api/callback_host_framework.h"

#include <memory>

namespace Rdr00800::detail {
namespace {

// A C callback may return NULL for the empty text; what it returns is copied
// at once because the library does not own it.
std::string CopyCallbackText(const char* text) { return text ? std::string(text) : std::string(); }

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
      return HostFramework::Mensagem(text, caption, confirmFlag, logFlag, kind, helpContext, detail, buttons, dataSet);
    }
    callbacks_.Mensagem(callbacks_.context, text.c_str(), caption.c_str(), confirmFlag.c_str(), logFlag.c_str(),
                        static_cast<uint8_t>(kind), helpContext.c_str(), detail.c_str(), buttons, dataSet);
  }

 private:
  Rdr00800HostFramework callbacks_;
};

}  // namespace

void InstallCallbackHostFramework(const Rdr00800HostFramework* callbacks) {
  if (!callbacks) {
    SetHostFramework(nullptr);
    return;
  }
  InstallOwnedHostFramework(std::make_unique<CallbackHostFramework>(*callbacks));
}

}  // namespace Rdr00800::detail

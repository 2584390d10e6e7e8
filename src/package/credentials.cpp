// The process's credential catalogue and the public credential calls over it.
//
// Decodes far outnumber registrations, so a decode takes no lock: the
// registry publishes each catalogue as an immutable snapshot behind one
// atomic pointer, and a registration (serialized by a mutex) builds a new
// snapshot and swaps it in. Snapshots are kept until the process ends, since
// a decode on another thread may still be reading an older one; each holds
// only shared pointers to its formats, so one costs a few bytes per format.
#include "package/credentials.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "decode/credential_codec.h"

namespace Rdr00800 {
namespace detail {
namespace {

class CredentialRegistry {
 public:
  CredentialRegistry() { Publish(CredentialCatalogue::Builtin()); }

  const CredentialCatalogue& Current() const noexcept { return *current_.load(std::memory_order_acquire); }

  void Register(std::string_view name, std::string_view definition) {
    CredentialFormat format = ParseCredentialFormat(name, definition);
    const std::lock_guard<std::mutex> lock(writers_);
    Publish(Current().WithSiteFormat(std::move(format)));
  }

 private:
  // Called with writers_ held, or from the constructor.
  void Publish(CredentialCatalogue catalogue) {
    snapshots_.push_back(std::make_unique<const CredentialCatalogue>(std::move(catalogue)));
    current_.store(snapshots_.back().get(), std::memory_order_release);
  }

  std::mutex writers_;
  std::vector<std::unique_ptr<const CredentialCatalogue>> snapshots_;
  std::atomic<const CredentialCatalogue*> current_{nullptr};
};

CredentialRegistry& Registry() {
  static CredentialRegistry registry;
  return registry;
}

}  // namespace

const CredentialCatalogue& CurrentCredentialCatalogue() noexcept { return Registry().Current(); }

}  // namespace detail

std::vector<Credential> DecodeCredentials(std::string_view frame, std::string_view layout, std::string_view format) {
  return detail::DecodeCredentials(frame, layout, format, detail::CurrentCredentialCatalogue());
}

std::string EncodeCredential(std::string_view format, uint64_t facility, uint64_t card, std::string_view layout,
                             uint64_t issue, uint64_t oem) {
  return detail::EncodeCredential(detail::CurrentCredentialCatalogue(), format, facility, card, layout, issue, oem);
}

std::vector<std::string> CredentialFormats() {
  const detail::CredentialCatalogue& catalogue = detail::CurrentCredentialCatalogue();
  std::vector<std::string> names;
  names.reserve(catalogue.Size());
  for (std::size_t i = 0; i < catalogue.Size(); ++i) names.push_back(catalogue[i].name);
  return names;
}

void RegisterCredentialFormat(std::string_view name, std::string_view definition) {
  detail::Registry().Register(name, definition);
}

std::string Credential::Form(std::string_view name) const {
  return detail::CredentialForm(*this, name, detail::CurrentCredentialCatalogue().Find(format));
}

}  // namespace Rdr00800

#include "readers.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "rdr00800/Rdr00800.h"

namespace rdrd {
namespace {

// How long one wait for a code lasts: a status change shows within it.
constexpr std::chrono::milliseconds kStatusPatience(250);

const char* ParityName(Rdr00800::ParityCheck parity) {
  switch (parity) {
    case Rdr00800::ParityCheck::Ok:
      return "ok";
    case Rdr00800::ParityCheck::Failed:
      return "failed";
    case Rdr00800::ParityCheck::None:
      return "none";
  }
  return "none";
}

nlohmann::ordered_json Optional(const std::optional<uint64_t>& value) {
  return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json();
}

// The best reading of `code`, with the attribute names the Python binding
// uses; null when no format reads it.
nlohmann::ordered_json CredentialOf(const std::string& code, const CredentialSettings& settings) {
  const auto found = Rdr00800::DecodeCredentials(code, settings.layout, settings.format);
  if (found.empty()) return nullptr;
  const Rdr00800::Credential& best = found.front();
  return {{"format", best.format},
          {"bits", best.bits},
          {"facility", Optional(best.facility)},
          {"card", Optional(best.card)},
          {"issue", Optional(best.issue)},
          {"oem", Optional(best.oem)},
          {"parity", ParityName(best.parity)},
          {"raw", best.raw}};
}

const char* StatusName(Rdr00800::ReadStatus status) {
  using Rdr00800::ReadStatus;
  switch (status) {
    case ReadStatus::Ok:
      return "Ok";
    case ReadStatus::NothingInTime:
      return "NothingInTime";
    case ReadStatus::NoSuchDevice:
      return "NoSuchDevice";
    case ReadStatus::PermissionDenied:
      return "PermissionDenied";
    case ReadStatus::Busy:
      return "Busy";
    case ReadStatus::NotASerialPort:
      return "NotASerialPort";
    case ReadStatus::LineRefused:
      return "LineRefused";
    case ReadStatus::HungUp:
      return "HungUp";
    case ReadStatus::IoError:
      return "IoError";
    case ReadStatus::BadFrame:
      return "BadFrame";
  }
  return "IoError";
}

}  // namespace

class ReaderWorker {
 public:
  // `report` is called on the loop thread with this worker's generation, so
  // that reports still on their way from a closed worker can be told apart.
  using Report = std::function<void(uint64_t generation, std::function<void(const ReaderReport&)>)>;
  ReaderWorker(ReaderConfig config, uint64_t generation, const PostToLoop& post, Report report)
      : config_(std::move(config)),
        generation_(generation),
        session_(config_.port, config_.baud),
        post_(post),
        report_(std::move(report)) {
    const CredentialSettings& credentials = config_.credentials;
    const bool em4100 = credentials.layout == "em4100";
    // EM4100 readers frame with STX/ETX and repeat a card while it lies there.
    if (credentials.framing == "stx-etx" || (credentials.framing.empty() && em4100)) {
      session_.SetFraming(Rdr00800::Framing::StxEtx);
    }
    session_.SetRepeatHold(std::chrono::milliseconds(credentials.repeatHoldMs.value_or(em4100 ? 1000 : 0)));
    thread_ = std::thread([this] { Run(); });
  }
  ~ReaderWorker() {
    RequestStop();
    thread_.join();
  }
  void RequestStop() {
    stop_ = true;
    session_.Cancel();
  }
  const ReaderConfig& Config() const { return config_; }
  uint64_t Generation() const { return generation_; }

 private:
  void Run() {
    std::string lastStatus;
    std::string lastMessage;
    bool reported = false;
    while (!stop_) {
      // The first call only opens the port, so that its status goes out at once.
      auto code = session_.NextCode(reported ? kStatusPatience : std::chrono::milliseconds(0));
      if (stop_) break;
      std::string status = StatusName(session_.Status());
      std::string message = session_.StatusMessage();
      if (!reported || status != lastStatus || message != lastMessage) {
        reported = true;
        lastStatus = status;
        lastMessage = message;
        Post([id = config_.id, status = std::move(status), message = std::move(message)](const ReaderReport& to) {
          to.status(id, status, message);
        });
      }
      if (code) {
        std::optional<nlohmann::ordered_json> credential;
        if (!config_.credentials.layout.empty()) credential = CredentialOf(*code, config_.credentials);
        Post([id = config_.id, code = std::move(*code), credential = std::move(credential)](const ReaderReport& to) {
          to.code(id, code, credential);
        });
      }
    }
  }

  void Post(std::function<void(const ReaderReport&)> deliver) {
    post_([report = report_, generation = generation_, deliver = std::move(deliver)] { report(generation, deliver); });
  }

  const ReaderConfig config_;
  const uint64_t generation_;
  Rdr00800::ReaderSession session_;
  const PostToLoop& post_;
  const Report report_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

ReaderSet::ReaderSet(PostToLoop post, ReaderReport report) : post_(std::move(post)), report_(std::move(report)) {}

ReaderSet::~ReaderSet() { StopAll(); }

ReaderSet::Change ReaderSet::Apply(const std::vector<ReaderConfig>& readers) {
  Change change;
  for (auto it = workers_.begin(); it != workers_.end();) {
    const auto wanted = std::find_if(readers.begin(), readers.end(), [&](const auto& r) { return r.id == it->first; });
    if (wanted == readers.end() || !(*wanted == it->second->Config())) {
      change.closed.push_back(it->first);
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& reader : readers) {
    if (workers_.count(reader.id) != 0) continue;
    change.opened.push_back(reader.id);
    auto deliver = [this, id = reader.id](uint64_t generation, const std::function<void(const ReaderReport&)>& call) {
      const auto worker = workers_.find(id);
      if (worker != workers_.end() && worker->second->Generation() == generation) call(report_);
    };
    workers_.emplace(reader.id, std::make_unique<ReaderWorker>(reader, ++generations_, post_, deliver));
  }
  return change;
}

void ReaderSet::StopAll() {
  for (auto& [id, worker] : workers_) worker->RequestStop();
  workers_.clear();
}

}  // namespace rdrd

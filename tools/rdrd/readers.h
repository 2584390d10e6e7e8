// The readers: one thread per reader holding its port in a reader session,
// posting each code and each status change to the loop thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "config.h"

namespace rdrd {

// Runs `work` on the loop thread; callable from any thread.
using PostToLoop = std::function<void(std::function<void()> work)>;

struct ReaderReport {
  // Loop thread: a code's bytes, without its line end, and the card it
  // decodes to (null when none) when the reader decodes credentials.
  std::function<void(const std::string& reader, const std::string& code,
                     const std::optional<nlohmann::ordered_json>& credential)>
      code;
  // Loop thread: the session's status name ("Ok", "NoSuchDevice", ...) and message.
  std::function<void(const std::string& reader, const std::string& status, const std::string& message)> status;
};

class ReaderWorker;

// The running readers. Loop thread.
class ReaderSet {
 public:
  ReaderSet(PostToLoop post, ReaderReport report);
  ~ReaderSet();

  // Opens the readers `readers` has and these do not, closes those it no
  // longer has; readers whose settings are unchanged keep their session.
  // Returns the ids opened and closed, for the log.
  struct Change {
    std::vector<std::string> opened;
    std::vector<std::string> closed;
  };
  Change Apply(const std::vector<ReaderConfig>& readers);
  // Stops every reader; returns once their threads ended.
  void StopAll();
  size_t Count() const { return workers_.size(); }

 private:
  PostToLoop post_;
  ReaderReport report_;
  std::map<std::string, std::unique_ptr<ReaderWorker>> workers_;
  uint64_t generations_ = 0;
};

}  // namespace rdrd

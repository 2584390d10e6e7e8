// The benchmark report: one table of the library against the ways a user
// would poll a reader otherwise (bare termios, libserialport, pyserial,
// Boost.Asio with a deadline timer), all measured in this one run, rounds
// interleaved; then the scanner and decoder figures of their own benchmarks,
// and rdrd's beside a minimal Python relay (rdrd_bench).
//
//   bench_report [rounds of the queued poll, default 2000] [rounds through ser2net, default 20]
//   (as root: libserialport needs a private mount)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// After <utility>: Boost 1.74 uses std::exchange in C++20 mode without including it.
#include <boost/asio.hpp>

#include "network_polls.h"
#include "poll_contenders.h"
#include "rdr00800/Rdr00800.h"
#include "support/pty_reader.h"

namespace {

using rdrbench::kFrame;
using rdrbench::Median;

constexpr const char* kPort = "COM7";
constexpr const char* kMissingPort = "COM8";
constexpr const char* kMissingDevice = "/dev/ttyRDR00800-missing";

// Boost.Asio: a serial port read racing a deadline timer on one io_context.
size_t AsioPoll(boost::asio::io_context& io, const std::string& path, std::chrono::milliseconds deadline) {
  boost::system::error_code error;
  boost::asio::serial_port port(io);
  if (port.open(path, error)) return 0;
  using boost::asio::serial_port_base;
  port.set_option(serial_port_base::baud_rate(9600), error);
  port.set_option(serial_port_base::character_size(8), error);
  port.set_option(serial_port_base::parity(serial_port_base::parity::none), error);
  port.set_option(serial_port_base::stop_bits(serial_port_base::stop_bits::one), error);
  std::array<char, kFrame> buffer;
  size_t count = 0;
  boost::asio::steady_timer timer(io, deadline);
  boost::asio::async_read(port, boost::asio::buffer(buffer), [&](const boost::system::error_code&, size_t got) {
    count = got;
    timer.cancel();
  });
  timer.async_wait([&](const boost::system::error_code& cancelled) {
    if (!cancelled) port.cancel();
  });
  io.restart();
  io.run();
  return count;
}

// A python3 interpreter running pyserial_poll.py, kept for the whole run.
class PyserialChild {
 public:
  PyserialChild() {
    int toChild[2], fromChild[2];
    // Close-on-exec, so the interpreter sees the end of its requests and
    // the benchmarks run later inherit none of these ends.
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(toChild[0], 0);
      ::dup2(fromChild[1], 1);
      ::execl(RDR00800_PYTHON, RDR00800_PYTHON, RDR00800_PYSERIAL_SCRIPT, static_cast<char*>(nullptr));
      std::_Exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    requests_ = ::fdopen(toChild[1], "w");
    answers_ = ::fdopen(fromChild[0], "r");
  }
  ~PyserialChild() {
    std::fclose(requests_);
    std::fclose(answers_);
    ::waitpid(pid_, nullptr, 0);
  }
  PyserialChild(const PyserialChild&) = delete;
  PyserialChild& operator=(const PyserialChild&) = delete;

  // One poll, timed by the interpreter; the frame is queued once the port is
  // open, since pyserial's open empties the input queue.
  rdrbench::PollOutcome Poll(const std::string& path, const std::function<void()>& queueFrame) {
    Tell(path + " " + std::to_string(std::chrono::duration<double>(rdrbench::kReadTimeout).count()));
    std::string answer = Answer();
    if (answer == "opened") {
      queueFrame();
      Tell("queued");
      answer = Answer();
    }
    rdrbench::PollOutcome outcome;
    if (std::sscanf(answer.c_str(), "%lf %zu", &outcome.micros, &outcome.count) != 2) {
      throw std::runtime_error("pyserial child answered '" + answer + "'");
    }
    return outcome;
  }

 private:
  void Tell(const std::string& line) {
    std::fprintf(requests_, "%s\n", line.c_str());
    std::fflush(requests_);
  }
  std::string Answer() {
    std::array<char, 256> line;
    if (!std::fgets(line.data(), line.size(), answers_)) throw std::runtime_error("pyserial child died");
    std::string answer(line.data());
    while (!answer.empty() && answer.back() == '\n') answer.pop_back();
    return answer;
  }

  pid_t pid_ = -1;
  FILE* requests_ = nullptr;
  FILE* answers_ = nullptr;
};

struct Contender {
  const char* name;
  rdrbench::Poll poll;
};

// The first number after `label` in the output of `command`, or after
// `field` in the rest of the line `label` begins; -1 without one.
double NumberAfter(const std::string& output, const std::string& label, const std::string& field = {}) {
  size_t at = output.find(label);
  if (at == std::string::npos) return -1;
  at += label.size();
  if (field.empty()) return std::atof(output.c_str() + at);
  const size_t fieldAt = output.find(field, at);
  if (fieldAt == std::string::npos || fieldAt > output.find('\n', at)) return -1;
  return std::atof(output.c_str() + fieldAt + field.size());
}

// The frames/s counter of one benchmark in Google Benchmark's JSON output.
double FramesPerSecond(const std::string& json, const std::string& benchmark) {
  const size_t at = json.find("\"name\": \"" + benchmark + "\"");
  if (at == std::string::npos) return -1;
  const std::string counter = "\"frames/s\": ";
  const size_t counterAt = json.find(counter, at);
  return counterAt == std::string::npos ? -1 : std::atof(json.c_str() + counterAt + counter.size());
}

std::string OutputOf(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    std::array<char, 4096> chunk;
    for (size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;) output.append(chunk.data(), got);
    ::pclose(pipe);
  }
  return output;
}

// The machine, for the figures to be read against.
std::string CpuModel() {
  const std::string cpuinfo = OutputOf("grep -m1 'model name' /proc/cpuinfo");
  const size_t colon = cpuinfo.find(": ");
  std::string model = colon == std::string::npos ? "unknown" : cpuinfo.substr(colon + 2);
  while (!model.empty() && model.back() == '\n') model.pop_back();
  return model;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  const int networkRounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  constexpr int kWarmupRounds = 50;
  constexpr int kOvershootRounds = 15;
  constexpr int kOpenFailureRounds = 500;
  rdrtest::PtyReader reader;
  const std::string pty = reader.SubordinatePath();
  if (!rdrbench::BindForLibserialport(pty)) {
    std::perror("binding the pty for libserialport (run as root)");
    return 1;
  }
  rdrbench::QueuedFrame queued(reader, pty);
  sp_port_config* config = rdrbench::NewLibserialportConfig();
  Rdr00800::SetPortDevice(kPort, pty);
  Rdr00800::SetPortDevice(kMissingPort, kMissingDevice);
  boost::asio::io_context io;
  PyserialChild python;

  const std::array<Contender, 5> contenders = {{
      {"rdr00800", rdrbench::TimedFromOutside([](const std::string& path) {
         return Rdr00800::GetProximidadeReaderValue("2", path == kMissingDevice ? kMissingPort : kPort, 9600).size();
       })},
      {"bare termios", rdrbench::TimedFromOutside([](const std::string& path) { return rdrbench::BarePoll(path); })},
      {"libserialport", rdrbench::TimedFromOutside([config](const std::string& path) {
         return rdrbench::LibserialportPoll(path == kMissingDevice ? path : rdrbench::kLibserialportName, config);
       })},
      {"pyserial", [&python](const std::string& path,
                             const std::function<void()>& queueFrame) { return python.Poll(path, queueFrame); }},
      {"Boost.Asio", rdrbench::TimedFromOutside(
                         [&io](const std::string& path) { return AsioPoll(io, path, rdrbench::kReadTimeout); })},
  }};
  std::vector<rdrbench::Poll> polls;
  for (const Contender& contender : contenders) polls.push_back(contender.poll);

  const rdrbench::Samples queuedPoll = rdrbench::TimeInterleaved(
      polls, pty, [&] { queued.Queue(std::string(rdrbench::kFrame, 'R')); }, rdrbench::kFrame, kWarmupRounds, rounds);
  const rdrbench::Samples shortFrame = rdrbench::TimeInterleaved(
      polls, pty, [&] { queued.Queue(std::string(12, 'S')); }, 12, 0, kOvershootRounds);
  const rdrbench::Samples openFailure = rdrbench::TimeInterleaved(
      polls, kMissingDevice, [] {}, 0, kWarmupRounds, kOpenFailureRounds);
  const rdrbench::NetworkPolls network =
      rdrbench::TimeNetworkPolls(networkRounds, [&python](const std::string& url) { return python.Poll(url, [] {}); });
  sp_free_config(config);
  Rdr00800::SetPortDevice(kPort, "");
  Rdr00800::SetPortDevice(kMissingPort, "");

  const std::string scanner = OutputOf(std::string(RDR00800_SCANNER_BENCH) + " 2000 5");
  const std::string decode =
      OutputOf(std::string(RDR00800_DECODE_BENCH) + " --benchmark_min_time=1 --benchmark_format=json");
  const std::string rdrd = OutputOf(RDR00800_RDRD_BENCH);

  constexpr size_t kOurs = 0, kBare = 1;
  const auto overshootMs = [](double micros) {
    return micros / 1000.0 - static_cast<double>(rdrbench::kReadTimeout.count());
  };
  std::printf("%-44s", "median of each");
  for (const Contender& contender : contenders) std::printf(" %14s", contender.name);
  std::printf("\n");
  // One line: `figure` of each contender's column.
  const auto row = [&](const char* label, auto figure, const char* format) {
    std::printf("%-44s", label);
    for (size_t i = 0; i < contenders.size(); ++i) {
      char cell[32];
      std::snprintf(cell, sizeof cell, format, figure(i));
      std::printf(" %14s", cell);
    }
    std::printf("\n");
  };
  const auto median = [](const rdrbench::Samples& samples, size_t i) { return Median(samples.micros[i]); };
  row(
      "poll, 51 bytes queued (us)", [&](size_t i) { return median(queuedPoll, i); }, "%.1f");
  row(
      "  vs bare termios", [&](size_t i) { return median(queuedPoll, i) / median(queuedPoll, kBare); }, "%.2fx");
  row(
      "  vs rdr00800", [&](size_t i) { return median(queuedPoll, i) / median(queuedPoll, kOurs); }, "%.2fx");
  row(
      "poll, 12-byte frame: past 1000 ms (ms)", [&](size_t i) { return overshootMs(median(shortFrame, i)); }, "%.3f");
  row(
      "  worst (ms)",
      [&](size_t i) {
        return overshootMs(*std::max_element(shortFrame.micros[i].begin(), shortFrame.micros[i].end()));
      },
      "%.3f");
  row(
      "open failure: time to fail (us)", [&](size_t i) { return median(openFailure, i); }, "%.1f");
  row(
      "  vs bare termios", [&](size_t i) { return median(openFailure, i) / median(openFailure, kBare); }, "%.2fx");
  // Only the library and pyserial speak RFC 2217: the other columns stay empty.
  const auto networkRow = [](const char* label, const std::string& ours, const std::string& pyserial) {
    std::printf("%-44s %14s %14s %14s %14s %14s\n", label, ours.c_str(), "-", "-", pyserial.c_str(), "-");
  };
  const auto figure = [](const char* format, double value) {
    char cell[32];
    std::snprintf(cell, sizeof cell, format, value);
    return std::string(cell);
  };
  const double oursTotal = Median(network.rfc2217Total), pyserialTotal = Median(network.pyserialTotal);
  networkRow("ser2net poll, frame sent at open (ms)", figure("%.2f", oursTotal), figure("%.1f", pyserialTotal));
  networkRow("  vs rdr00800", "1.00x", figure("%.1fx", pyserialTotal / oursTotal));
  for (const auto& [name, after] : {std::pair{"  from the frame's sending, ", &network.batched},
                                    std::pair{"  chardelay: false, ", &network.prompt}}) {
    for (const auto& [how, samples] : {std::pair{"rfc2217", &after->rfc2217}, std::pair{"tcp", &after->tcp},
                                       std::pair{"bare socket", &after->bareSocket}}) {
      const std::string label = name + std::string(how) + " (ms)";
      networkRow(label.c_str(), figure("%.2f", Median(*samples)), "");
    }
  }
  networkRow("  frames lost", std::to_string(network.lost) + "/" + std::to_string(6 * network.rounds),
             std::to_string(network.pyserialLost) + "/" + std::to_string(network.rounds));
  std::printf("%-44s %14.1f\n", "scanner relay latency, read -> Enter (us)", NumberAfter(scanner, "median "));
  std::printf("%-44s %14.3f\n", "scanner last byte -> Enter, session (ms)",
              NumberAfter(scanner, "end-to-end session: median "));
  std::printf("%-44s %14.3f\n", "  p99 (ms)", NumberAfter(scanner, "end-to-end session:", "p99 "));
  std::printf("%-44s %14.1f\n", "  interval polls, 20 ms (ms)", NumberAfter(scanner, "interval 20 ms: median "));
  std::printf("%-44s %14.1f\n", "  whole-second polls (ms)", NumberAfter(scanner, "whole second: median "));
  std::printf("%-44s %14.3f\n", "session line end -> NextCode (ms)", NumberAfter(scanner, "session NextCode: median "));
  std::printf("%-44s %14.3f\n", "  p99 (ms)", NumberAfter(scanner, "session NextCode:", "p99 "));
  std::printf("%-44s %14.3f\n", "  with a 1000 ms repeat hold (ms)",
              NumberAfter(scanner, "session NextCode, repeat hold 1000 ms: median "));
  std::printf("%-44s %14.3f\n", "  p99 (ms)", NumberAfter(scanner, "session NextCode, repeat hold 1000 ms:", "p99 "));
  std::printf("%-44s %14.3f\n", "session scanner, Terminate -> end (ms)",
              NumberAfter(scanner, "session Terminate: median "));
  std::printf("%-44s %13.2f%%\n", "scanner idle CPU, unplugged reader (core)",
              NumberAfter(scanner, "with the pause: "));
  const double proximityRate = FramesPerSecond(decode, "DecodeHexadecimalFrame");
  const double pinnedRate = FramesPerSecond(decode, "DecodeCredentialsOf/pinned");
  std::printf("%-44s %14.3g\n", "pure decode, 10-character frame (frames/s)", proximityRate);
  std::printf("%-44s %14.3g\n", "DecodeCredentials, H10301 pinned (frames/s)", pinnedRate);
  std::printf("%-44s %13.2fx\n", "  proximity decode vs pinned", proximityRate / pinnedRate);
  std::printf("%-44s %14.3g\n", "DecodeCredentials, \"auto\", 12 matches (frames/s)",
              FramesPerSecond(decode, "DecodeCredentialsOf/auto"));
  // rdrd in the first column, the Python relay in pyserial's.
  const double rdrdMedian = NumberAfter(rdrd, "rdrd line end -> WebSocket: median ");
  const double relayMedian = NumberAfter(rdrd, "python relay line end -> WebSocket: median ");
  networkRow("rdrd line end -> WebSocket message (ms)", figure("%.3f", rdrdMedian), figure("%.3f", relayMedian));
  networkRow("  p99 (ms)", figure("%.3f", NumberAfter(rdrd, "rdrd line end", "p99 ")),
             figure("%.3f", NumberAfter(rdrd, "python relay line end", "p99 ")));
  networkRow("  vs rdrd", "1.00x", figure("%.1fx", relayMedian / rdrdMedian));
  // Both with WebSocket clients only; rdrd's broker link beside it in the row after.
  networkRow("  CPU while relaying (% of a core)", figure("%.2f", NumberAfter(rdrd, "rdrd line end", "CPU ")),
             figure("%.2f", NumberAfter(rdrd, "python relay line end", "CPU ")));
  networkRow("  CPU per code (us)", figure("%.0f", NumberAfter(rdrd, "rdrd line end", "% (")),
             figure("%.0f", NumberAfter(rdrd, "python relay line end", "% (")));
  networkRow("  with the broker link: CPU per code (us)", figure("%.0f", NumberAfter(rdrd, "rdrd + broker", "% (")),
             "");
  networkRow("rdrd 1000 codes, 200 WS+SSE+MQTT: last (ms)",
             figure("%.1f", NumberAfter(rdrd, "rdrd fan-out: last client ")), "");
  networkRow("  events lost", figure("%.0f", NumberAfter(rdrd, "rdrd fan-out:", "lost ")), "");
  networkRow("rdrd 50 idle readers: CPU (% of a core)", figure("%.3f", NumberAfter(rdrd, "rdrd idle readers: CPU ")),
             "");
  networkRow("  resident memory (MiB)", figure("%.1f", NumberAfter(rdrd, "rdrd idle readers:", "RSS ")), "");
  std::printf(
      "\n%d rounds of the queued poll and %d of the open failure (after %d unrecorded each), %d of the 12-byte "
      "frame, the contenders in a new shuffled order each round; short reads %d, %d, %d.\n"
      "Each poll finds its frame already through the pty; pyserial's once its port is open, as its open empties "
      "the queue, its open and read+close timed in the interpreter.\n"
      "%d rounds through ser2net on loopback serving the pty, its reader sending a %zu-byte frame when ser2net "
      "opens it; the bare socket reads ser2net's raw accepter until the frame is in; chardelay: false, through a "
      "second ser2net with that option; pyserial through serial_for_url(\"rfc2217://...?ign_set_control\").\n"
      "rdrd: %s"
      "%ld CPUs, %s\n",
      rounds, kOpenFailureRounds, kWarmupRounds, kOvershootRounds, queuedPoll.shortReads, shortFrame.shortReads,
      openFailure.shortReads, networkRounds, rdrbench::kFrame,
      rdrd.substr(rdrd.rfind('\n', rdrd.size() - 2) + 1).c_str(), ::sysconf(_SC_NPROCESSORS_ONLN), CpuModel().c_str());
  return 0;
}

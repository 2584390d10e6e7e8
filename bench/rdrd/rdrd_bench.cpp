// rdrd's figures for the benchmark report, with a minimal Python relay
// (pyserial readline + python3-websockets, python_relay.py) measured on the
// same pty in the same run:
// - a line end on the reader's pty to the WebSocket client's message, with
//   the CPU the relaying process spent: rdrd with the relay's channels only
//   (WebSocket), then with its broker link beside them;
// - 200 WebSocket clients, an SSE client and an MQTT subscriber taking the
//   same codes: time to the last of them, and events lost;
// - CPU and memory of rdrd holding 50 idle readers.
//
//   rdrd_bench [latency rounds, default 500] [fan-out codes, default 1000]
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rdrd_harness.h"
#include "support/mosquitto_broker.h"
#include "support/mqtt_subscriber.h"
#include "support/pty_reader.h"
#include "support/ser2net_server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWarmupRounds = 20;
constexpr std::size_t kFanOutWebSockets = 200;
constexpr std::size_t kIdleReaders = 50;
constexpr std::chrono::seconds kIdleWindow{5};

// User and system time of a process so far, from /proc.
double CpuSeconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::vector<std::string> values{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
  // After the name: state is field 3, utime 14 and stime 15.
  return (std::stod(values.at(11)) + std::stod(values.at(12))) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double ResidentMiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stod(line.substr(6)) / 1024.0;
  }
  return -1;
}

bool IsCode(const std::string& message) {
  return message.find("\"type\":\"code\"") != std::string::npos ||
         message.find("\"type\": \"code\"") != std::string::npos;
}

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(share * static_cast<double>(values.size())))];
}

std::string Code(int i) {
  char code[16];
  std::snprintf(code, sizeof code, "C%05d\r\n", i);
  return code;
}

struct Latency {
  std::vector<double> millis;
  int lost = 0;
  double cpuPercent = 0;
  double cpuMicrosPerCode = 0;  // the relaying process's CPU time over the codes it relayed
};

// One line at a time on the pty, the next once the client has the last.
Latency TimeLineEnds(rdrtest::PtyReader& reader, uint16_t port, const std::string& target,
                     const std::vector<std::string>& protocols, int relayPid, int rounds) {
  std::mutex mutex;
  std::condition_variable arrived;
  int codes = 0;
  Clock::time_point last;
  rdrtest::StreamClients clients([&](std::size_t, const std::string& message) {
    if (!IsCode(message)) return;
    const auto now = Clock::now();
    std::lock_guard lock(mutex);
    ++codes;
    last = now;
    arrived.notify_all();
  });
  clients.AddWebSocket(port, target, protocols);
  Latency latency;
  double cpuStart = 0;
  Clock::time_point wallStart;
  for (int round = 0; round < kWarmupRounds + rounds; ++round) {
    if (round == kWarmupRounds) {
      cpuStart = CpuSeconds(relayPid);
      wallStart = Clock::now();
    }
    std::unique_lock lock(mutex);
    const int expected = codes + 1;
    lock.unlock();
    const auto sent = Clock::now();
    reader.Send(Code(round));
    lock.lock();
    if (!arrived.wait_for(lock, std::chrono::seconds(2), [&] { return codes >= expected; })) {
      ++latency.lost;
      codes = expected;
      continue;
    }
    if (round >= kWarmupRounds)
      latency.millis.push_back(std::chrono::duration<double, std::milli>(last - sent).count());
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
  const double cpu = CpuSeconds(relayPid) - cpuStart;
  latency.cpuPercent = 100.0 * cpu / wall;
  latency.cpuMicrosPerCode = latency.millis.empty() ? -1 : 1e6 * cpu / static_cast<double>(latency.millis.size());
  return latency;
}

struct FanOut {
  double lastClientMs = 0;
  std::size_t lost = 0;
};

FanOut TimeFanOut(rdrtest::PtyReader& reader, uint16_t port, uint16_t brokerPort, int codes) {
  std::mutex mutex;
  std::condition_variable done;
  std::vector<int> counts(kFanOutWebSockets + 1);
  std::size_t finished = 0;
  Clock::time_point lastFinished;
  rdrtest::StreamClients clients([&](std::size_t client, const std::string& message) {
    if (!IsCode(message)) return;
    const auto now = Clock::now();
    std::lock_guard lock(mutex);
    if (++counts[client] == codes) {
      ++finished;
      lastFinished = now;
      done.notify_all();
    }
  });
  for (std::size_t i = 0; i < kFanOutWebSockets; ++i) clients.AddWebSocket(port, "/v1/ws");
  clients.AddServerSentEvents(port, "/v1/events");
  rdrtest::MqttSubscriber subscriber(brokerPort, "bench/+/events");
  const auto mqttCodes = [](const std::vector<rdrtest::MqttMessage>& messages) {
    return static_cast<int>(std::count_if(messages.begin(), messages.end(),
                                          [](const rdrtest::MqttMessage& message) { return IsCode(message.payload); }));
  };
  // Codes from the latency rounds may still come in: only what follows counts.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int mqttBefore = mqttCodes(subscriber.WaitFor([](const auto&) { return true; }, std::chrono::milliseconds(0)));
  const auto start = Clock::now();
  for (int i = 0; i < codes; ++i) {
    reader.Send(Code(i));
    // A reader sends a code at a time; a few hundred a second here, more than any till.
    if (i % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::unique_lock lock(mutex);
  done.wait_for(lock, std::chrono::seconds(30), [&] { return finished == counts.size(); });
  FanOut fanOut;
  fanOut.lastClientMs = std::chrono::duration<double, std::milli>(lastFinished - start).count();
  for (int count : counts) fanOut.lost += static_cast<std::size_t>(codes - std::min(count, codes));
  lock.unlock();
  const auto messages = subscriber.WaitFor([&](const auto& got) { return mqttCodes(got) - mqttBefore >= codes; },
                                           std::chrono::seconds(30));
  const auto mqttDone = Clock::now();
  const int mqttGot = std::min(mqttCodes(messages) - mqttBefore, codes);
  fanOut.lost += static_cast<std::size_t>(codes - mqttGot);
  fanOut.lastClientMs =
      std::max(fanOut.lastClientMs, std::chrono::duration<double, std::milli>(mqttDone - start).count());
  return fanOut;
}

std::string ReaderTable(const std::string& id, const std::string& port) {
  return "[[reader]]\nid = \"" + id + "\"\nport = \"" + port + "\"\n";
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
  const int codes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000;
  rdrtest::PtyReader reader;
  rdrtest::MosquittoBroker broker;

  // With the relay's channels only (WebSocket), then with the broker link beside it.
  Latency webSocketOnly;
  {
    rdrtest::Rdrd rdrd(rdrtest::RdrdConfig{ReaderTable("front", reader.SubordinatePath())});
    webSocketOnly = TimeLineEnds(reader, rdrd.Port(), "/v1/ws", {"rdr.v1"}, rdrd.Process().Pid(), rounds);
  }
  reader.DropUnread();
  Latency withBroker;
  FanOut fanOut;
  {
    rdrtest::Rdrd rdrd(rdrtest::RdrdConfig{ReaderTable("front", reader.SubordinatePath()) +
                                           "[mqtt]\nurl = \"mqtt://127.0.0.1:" + std::to_string(broker.Port()) +
                                           "\"\ntopic_prefix = \"bench\"\n"});
    withBroker = TimeLineEnds(reader, rdrd.Port(), "/v1/ws", {"rdr.v1"}, rdrd.Process().Pid(), rounds);
    fanOut = TimeFanOut(reader, rdrd.Port(), broker.Port(), codes);
  }
  reader.DropUnread();

  Latency python;
  {
    const uint16_t port = rdrtest::FreeLoopbackPort();
    rdrtest::ChildProcess relay(
        {RDR00800_PYTHON, RDR00800_PYTHON_RELAY, reader.SubordinatePath(), std::to_string(port)});
    if (relay.ReadLine() != "listening") {
      std::fprintf(stderr, "the Python relay did not start: %s\n", relay.ErrorOutput().c_str());
      return 1;
    }
    python = TimeLineEnds(reader, port, "/", {}, relay.Pid(), rounds);
  }

  double idleCpu = 0, idleMiB = 0;
  {
    std::vector<std::unique_ptr<rdrtest::PtyReader>> readers;
    std::string tables;
    for (std::size_t i = 0; i < kIdleReaders; ++i) {
      readers.push_back(std::make_unique<rdrtest::PtyReader>());
      tables += ReaderTable("r" + std::to_string(i), readers.back()->SubordinatePath());
    }
    rdrtest::Rdrd rdrd(rdrtest::RdrdConfig{tables});
    // Past the start, when every session has opened its port.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpuStart = CpuSeconds(rdrd.Process().Pid());
    std::this_thread::sleep_for(kIdleWindow);
    idleCpu = 100.0 * (CpuSeconds(rdrd.Process().Pid()) - cpuStart) / static_cast<double>(kIdleWindow.count());
    idleMiB = ResidentMiB(rdrd.Process().Pid());
  }

  const auto row = [](const char* what, const Latency& latency) {
    std::printf("%s line end -> WebSocket: median %.3f p99 %.3f ms, lost %d, CPU %.2f%% (%.0f us per code)\n", what,
                Percentile(latency.millis, 0.5), Percentile(latency.millis, 0.99), latency.lost, latency.cpuPercent,
                latency.cpuMicrosPerCode);
  };
  row("rdrd", webSocketOnly);
  row("rdrd + broker", withBroker);
  row("python relay", python);
  std::printf("rdrd fan-out: last client %.1f ms, lost %zu\n", fanOut.lastClientMs, fanOut.lost);
  std::printf("rdrd idle readers: CPU %.3f%% RSS %.1f MiB\n", idleCpu, idleMiB);
  std::printf(
      "%d rounds (after %d unrecorded), a line every 2 ms after the last arrived; fan-out of %d codes to %zu "
      "WebSocket clients, an SSE client and an MQTT subscriber (QoS 1 through mosquitto); %zu idle readers "
      "over %lld s.\n",
      rounds, kWarmupRounds, codes, kFanOutWebSockets, kIdleReaders, static_cast<long long>(kIdleWindow.count()));
  return 0;
}

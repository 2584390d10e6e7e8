// A TCP connection to a reader's device server, one definition per platform
// (tcp_connection_linux.cpp, tcp_connection_win32.cpp).
//
// Callers: the network device backend (network_device.cpp), on the thread
// polling the device; a connection belongs to one thread at a time. Connect
// blocks up to its deadline, Send and Wait up to theirs; Receive never
// blocks. Nothing throws except std::bad_alloc: failures come back as values
// carrying the system's error code (errno; the Winsock error on Windows) and,
// where the system words it otherwise, its text.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace Rdr00800::detail {

class WakeSignal;

using Deadline = std::chrono::steady_clock::time_point;

// Why a connection could not be made or used.
struct ConnectionError {
  int systemError = 0;  // 0 when the text says it all
  std::string text;     // "cannot resolve reader.local: Name or service not known"
};

class TcpConnection {
 public:
  // Resolves `host` (an address or a name) and connects to the first of its
  // addresses that accepts, all before `deadline`. nullptr with `error` set
  // when the name does not resolve, nothing accepts, or time runs out.
  static std::unique_ptr<TcpConnection> Connect(const std::string& host, uint16_t port, Deadline deadline,
                                                ConnectionError& error);
  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // The address connected to, for a person: "127.0.0.1 port 2000".
  const std::string& PeerText() const noexcept { return peer_; }

  // Sends all of `bytes`, waiting for room until `deadline`; false with
  // `error` set when the connection fails or time runs out. Bytes to a
  // connection the server closed are dropped: what it said before closing is
  // still to be received, and Receive reports the close.
  bool Send(std::string_view bytes, Deadline deadline, ConnectionError& error);

  enum class Received : uint8_t { Bytes, Nothing, Closed, Failed };
  // Takes what has arrived, at most buffer.size() bytes, into `count`:
  // Nothing when no byte is waiting, Closed once the server closed or reset
  // the connection, Failed (with `error`) otherwise.
  Received Receive(std::span<char> buffer, size_t& count, ConnectionError& error);

  enum class Ready : uint8_t { Readable, TimedOut, Woken, Failed };
  // Waits until a Receive has something to tell (bytes or the close), until
  // `deadline`, or until `wake` (may be null) is raised.
  Ready Wait(Deadline deadline, const WakeSignal* wake, ConnectionError& error);

 private:
  struct Native;
  TcpConnection(std::unique_ptr<Native> native, std::string peer) noexcept;
  std::unique_ptr<Native> native_;
  std::string peer_;
};

}  // namespace Rdr00800::detail

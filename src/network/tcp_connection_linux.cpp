// TCP connections on Linux: non-blocking sockets waited on with ppoll, names
// resolved with getaddrinfo_a so that the resolver, too, keeps the deadline.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "device/wake_signal.h"
#include "network/tcp_connection.h"

namespace Rdr00800::detail {

namespace {

struct AddressListDeleter {
  void operator()(addrinfo* list) const noexcept { ::freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

// The time left until `deadline`, for ppoll; zero once it has passed.
timespec TimeLeft(Deadline deadline) {
  const auto left = std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  return {static_cast<time_t>(seconds.count()),
          static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count())};
}

// ppoll until `deadline`, retried while signals interrupt it: the count of
// ready descriptors, 0 at the deadline, -1 with errno.
int PollUntil(std::span<pollfd> waits, Deadline deadline) {
  for (;;) {
    const timespec left = TimeLeft(deadline);
    const int ready = ::ppoll(waits.data(), waits.size(), &left, nullptr);
    if (ready >= 0 || errno != EINTR) return ready;
  }
}

// Resolves `host`, giving up at `deadline`. Addresses are taken as they are
// without asking the resolver; names go to getaddrinfo_a, whose request is
// cancelled when time runs out.
AddressList Resolve(const std::string& host, uint16_t port, Deadline deadline, ConnectionError& error) {
  const std::string service = std::to_string(port);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) == 0) return AddressList(list);
  hints.ai_flags = AI_NUMERICSERV;
  gaicb request{};
  request.ar_name = host.c_str();
  request.ar_service = service.c_str();
  request.ar_request = &hints;
  gaicb* requests[] = {&request};
  int status = ::getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr);
  while (status == 0 && ::gai_error(&request) == EAI_INPROGRESS) {
    const timespec left = TimeLeft(deadline);
    const gaicb* waiting[] = {&request};
    if (::gai_suspend(waiting, 1, &left) == EAI_AGAIN && std::chrono::steady_clock::now() >= deadline) {
      // A request the resolver is already working on cannot be cancelled;
      // the wait for it is the resolver's own time-out, rarely beyond it.
      if (::gai_cancel(&request) == EAI_NOTCANCELED) ::gai_suspend(waiting, 1, nullptr);
      if (request.ar_result) ::freeaddrinfo(request.ar_result);
      error = {0, "no answer from the resolver for " + host + " within the second"};
      return nullptr;
    }
  }
  if (status == 0) status = ::gai_error(&request);
  if (status == 0) return AddressList(request.ar_result);
  error = {status == EAI_SYSTEM ? errno : 0, "cannot resolve " + host + ": " + ::gai_strerror(status)};
  return nullptr;
}

std::string AddressText(const addrinfo& address) {
  std::array<char, NI_MAXHOST> host{};
  std::array<char, NI_MAXSERV> service{};
  if (::getnameinfo(address.ai_addr, address.ai_addrlen, host.data(), host.size(), service.data(), service.size(),
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "an address";
  }
  return std::string(host.data()) + " port " + service.data();
}

}  // namespace

struct TcpConnection::Native {
  int fd = -1;
  ~Native() {
    if (fd >= 0) ::close(fd);
  }
};

TcpConnection::TcpConnection(std::unique_ptr<Native> native, std::string peer) noexcept
    : native_(std::move(native)), peer_(std::move(peer)) {}
TcpConnection::~TcpConnection() = default;

std::unique_ptr<TcpConnection> TcpConnection::Connect(const std::string& host, uint16_t port, Deadline deadline,
                                                      ConnectionError& error) {
  const AddressList addresses = Resolve(host, port, deadline, error);
  if (!addresses) return nullptr;
  for (const addrinfo* address = addresses.get(); address; address = address->ai_next) {
    auto native = std::make_unique<Native>();
    native->fd = ::socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (native->fd < 0) {
      error = {errno, "cannot make a socket for " + AddressText(*address)};
      continue;
    }
    if (::connect(native->fd, address->ai_addr, address->ai_addrlen) != 0 && errno != EINPROGRESS) {
      error = {errno, "cannot connect to " + AddressText(*address)};
      continue;
    }
    std::array<pollfd, 1> waits = {{{native->fd, POLLOUT, 0}}};
    const int ready = PollUntil(waits, deadline);
    int failure = 0;
    socklen_t size = sizeof failure;
    if (ready <= 0) {
      error = {ready < 0 ? errno : 0, "no answer from " + AddressText(*address) + " within the second"};
      if (ready == 0) return nullptr;  // no time left for the next address
      continue;
    }
    if (::getsockopt(native->fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0) failure = errno;
    if (failure != 0) {
      error = {failure, "cannot connect to " + AddressText(*address)};
      continue;
    }
    // Frames are a few bytes each way: send each at once.
    const int on = 1;
    ::setsockopt(native->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return std::unique_ptr<TcpConnection>(new TcpConnection(std::move(native), AddressText(*address)));
  }
  return nullptr;
}

bool TcpConnection::Send(std::string_view bytes, Deadline deadline, ConnectionError& error) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(native_->fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      bytes.remove_prefix(static_cast<size_t>(sent));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EPIPE || errno == ECONNRESET) return true;
    if (errno != EAGAIN) return error = {errno, "cannot send to " + peer_}, false;
    std::array<pollfd, 1> waits = {{{native_->fd, POLLOUT, 0}}};
    const int ready = PollUntil(waits, deadline);
    if (ready <= 0) return error = {ready < 0 ? errno : 0, peer_ + " took nothing within the second"}, false;
  }
  return true;
}

TcpConnection::Received TcpConnection::Receive(std::span<char> buffer, size_t& count, ConnectionError& error) {
  count = 0;
  for (;;) {
    const ssize_t got = ::recv(native_->fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got > 0) {
      // A server that sends its answers and then the frame in small pieces
      // holds the frame back (Nagle) until the answers are acknowledged; a
      // delayed acknowledgement would add 40 ms to the poll. Linux clears
      // the flag as it goes, so it is set again after each receive.
      const int on = 1;
      ::setsockopt(native_->fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
      count = static_cast<size_t>(got);
      return Received::Bytes;
    }
    if (got == 0) return Received::Closed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return Received::Nothing;
    if (errno == ECONNRESET || errno == ECONNABORTED || errno == EPIPE) return Received::Closed;
    error = {errno, "cannot receive from " + peer_};
    return Received::Failed;
  }
}

TcpConnection::Ready TcpConnection::Wait(Deadline deadline, const WakeSignal* wake, ConnectionError& error) {
  std::array<pollfd, 2> waits = {{{native_->fd, POLLIN, 0}, {-1, POLLIN, 0}}};
  if (wake) waits[1].fd = static_cast<int>(wake->NativeHandle());
  const int ready = PollUntil(waits, deadline);
  if (ready < 0) return error = {errno, "cannot wait for " + peer_}, Ready::Failed;
  if (ready == 0) return Ready::TimedOut;
  // A close or an error shows as POLLHUP/POLLERR: Receive tells which.
  if (waits[0].revents != 0) return Ready::Readable;
  return Ready::Woken;
}

}  // namespace Rdr00800::detail

// TCP connections on Windows: Winsock, started once for the process; a
// connection signals an event (WSAEventSelect) that is waited on together
// with the wake signal. Names are resolved on a thread of their own, which
// Connect stops waiting for at its deadline: Winsock's lookups take none.
#include <winsock2.h>
// After winsock2.h, which they need.
#include <mstcpip.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come first.
#include <windows.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <mutex>

#include "device/wake_signal.h"
#include "network/name_lookup_hold.h"
#include "network/tcp_connection.h"

namespace Rdr00800::detail {

namespace {

// Winsock is started at the first connection and left running for the
// process: stopping it could pull sockets from under another thread.
int WinsockStartError() {
  static const int error = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return error;
}

// The milliseconds left until `deadline`, rounded up so that a wait does not
// end just before it.
DWORD MillisecondsLeft(Deadline deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  return static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

struct AddressListDeleter {
  void operator()(addrinfo* list) const noexcept { ::freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

// HoldNameLookups' state; never destroyed, as a held lookup may still wait
// on it while the process exits.
struct LookupHold {
  std::mutex mutex;
  std::condition_variable released;
  bool holding = false;
};
LookupHold& TheLookupHold() {
  static auto* hold = new LookupHold;
  return *hold;
}

// One name lookup, shared by Connect and the thread that asks the resolver:
// whichever lets go last frees it, so a Connect that gave up leaves the
// thread to finish on its own.
struct Lookup {
  std::string host;
  std::string service;
  HMODULE module = nullptr;  // this code's module, kept loaded until the thread has left it
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  int status = 0;
  AddressList addresses;
};

// getaddrinfo for TCP to the port numbered `service`, with `flags` added: 0
// or getaddrinfo's error.
int LookUpAddresses(const std::string& host, const std::string& service, int flags, AddressList& addresses) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | flags;
  addrinfo* list = nullptr;
  const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  addresses.reset(list);
  return status;
}

DWORD WINAPI LookUp(void* context) {
  auto* handed = static_cast<std::shared_ptr<Lookup>*>(context);
  std::shared_ptr<Lookup> lookup = std::move(*handed);
  delete handed;
  {
    LookupHold& hold = TheLookupHold();
    std::unique_lock lock(hold.mutex);
    hold.released.wait(lock, [&] { return !hold.holding; });
  }
  AddressList addresses;
  const int status = LookUpAddresses(lookup->host, lookup->service, 0, addresses);
  const HMODULE module = lookup->module;
  {
    std::lock_guard lock(lookup->mutex);
    lookup->status = status;
    lookup->addresses = std::move(addresses);
    lookup->done = true;
  }
  lookup->finished.notify_all();
  lookup.reset();
  if (module) ::FreeLibraryAndExitThread(module, 0);
  return 0;
}

// Resolves `host`, giving up at `deadline`. Addresses are taken as they are
// without the resolver; a name is looked up on a thread of its own.
AddressList Resolve(const std::string& host, uint16_t port, Deadline deadline, ConnectionError& error) {
  const std::string service = std::to_string(port);
  if (AddressList addresses; LookUpAddresses(host, service, AI_NUMERICHOST, addresses) == 0) return addresses;

  auto lookup = std::make_shared<Lookup>();
  lookup->host = host;
  lookup->service = service;
  // A host may unload the library while the thread still waits on the
  // resolver; the thread holds the module and lets it go as it exits.
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&LookUp), &lookup->module);
  auto* handed = new std::shared_ptr<Lookup>(lookup);
  const HANDLE thread = ::CreateThread(nullptr, 0, LookUp, handed, 0, nullptr);
  if (!thread) {
    error = {static_cast<int>(::GetLastError()), "cannot start the lookup of " + host};
    delete handed;
    if (lookup->module) ::FreeLibrary(lookup->module);
    return nullptr;
  }
  ::CloseHandle(thread);
  std::unique_lock lock(lookup->mutex);
  if (!lookup->finished.wait_until(lock, deadline, [&] { return lookup->done; })) {
    error = {0, "no answer from the resolver for " + host + " within the second"};
    return nullptr;
  }
  if (lookup->status != 0) {
    error = {lookup->status, "cannot resolve " + host + ": " + ::gai_strerrorA(lookup->status)};
    return nullptr;
  }
  return std::move(lookup->addresses);
}

std::string AddressText(const addrinfo& address) {
  std::array<char, NI_MAXHOST> host{};
  std::array<char, NI_MAXSERV> service{};
  if (::getnameinfo(address.ai_addr, static_cast<socklen_t>(address.ai_addrlen), host.data(),
                    static_cast<DWORD>(host.size()), service.data(), static_cast<DWORD>(service.size()),
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "an address";
  }
  return std::string(host.data()) + " port " + service.data();
}

// Waits until `socket` can be written to (a connect finished, room to send)
// or `deadline`: 1, 0 at the deadline, SOCKET_ERROR with the last error.
int WaitWritable(SOCKET socket, Deadline deadline) {
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(socket, &writable);
  FD_SET(socket, &failed);
  const DWORD left = MillisecondsLeft(deadline);
  timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
  return ::select(0, nullptr, &writable, &failed, &wait);
}

}  // namespace

void HoldNameLookups() {
  std::lock_guard lock(TheLookupHold().mutex);
  TheLookupHold().holding = true;
}

void ReleaseNameLookups() {
  LookupHold& hold = TheLookupHold();
  {
    std::lock_guard lock(hold.mutex);
    hold.holding = false;
  }
  hold.released.notify_all();
}

struct TcpConnection::Native {
  SOCKET socket = INVALID_SOCKET;
  HANDLE event = nullptr;  // signalled when bytes or the close arrive
  ~Native() {
    if (socket != INVALID_SOCKET) ::closesocket(socket);
    if (event) ::WSACloseEvent(event);
  }
};

TcpConnection::TcpConnection(std::unique_ptr<Native> native, std::string peer) noexcept
    : native_(std::move(native)), peer_(std::move(peer)) {}
TcpConnection::~TcpConnection() = default;

std::unique_ptr<TcpConnection> TcpConnection::Connect(const std::string& host, uint16_t port, Deadline deadline,
                                                      ConnectionError& error) {
  if (const int started = WinsockStartError()) {
    error = {started, "cannot start Winsock"};
    return nullptr;
  }
  const AddressList addresses = Resolve(host, port, deadline, error);
  if (!addresses) return nullptr;
  for (const addrinfo* address = addresses.get(); address; address = address->ai_next) {
    auto native = std::make_unique<Native>();
    native->socket = ::socket(address->ai_family, SOCK_STREAM, IPPROTO_TCP);
    native->event = ::WSACreateEvent();
    u_long nonBlocking = 1;
    if (native->socket == INVALID_SOCKET || native->event == WSA_INVALID_EVENT ||
        ::ioctlsocket(native->socket, FIONBIO, &nonBlocking) != 0) {
      error = {::WSAGetLastError(), "cannot make a socket for " + AddressText(*address)};
      if (native->event == WSA_INVALID_EVENT) native->event = nullptr;
      continue;
    }
    if (::connect(native->socket, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
      error = {::WSAGetLastError(), "cannot connect to " + AddressText(*address)};
      continue;
    }
    const int ready = WaitWritable(native->socket, deadline);
    if (ready <= 0) {
      error = {ready < 0 ? ::WSAGetLastError() : 0, "no answer from " + AddressText(*address) + " within the second"};
      if (ready == 0) return nullptr;  // no time left for the next address
      continue;
    }
    int failure = 0;
    int size = sizeof failure;
    if (::getsockopt(native->socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &size) != 0) {
      failure = ::WSAGetLastError();
    }
    if (failure != 0) {
      error = {failure, "cannot connect to " + AddressText(*address)};
      continue;
    }
    if (::WSAEventSelect(native->socket, native->event, FD_READ | FD_CLOSE) != 0) {
      error = {::WSAGetLastError(), "cannot wait on " + AddressText(*address)};
      continue;
    }
    // Frames are a few bytes each way: send each at once, and acknowledge
    // each at once, or a server's Nagle holds the frame behind its option
    // answers until the delayed acknowledgement. Older systems lack the
    // second; the frame then comes later, but it comes.
    const BOOL on = TRUE;
    ::setsockopt(native->socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    DWORD everySegment = 1;
    DWORD unused = 0;
    ::WSAIoctl(native->socket, SIO_TCP_SET_ACK_FREQUENCY, &everySegment, sizeof everySegment, nullptr, 0, &unused,
               nullptr, nullptr);
    return std::unique_ptr<TcpConnection>(new TcpConnection(std::move(native), AddressText(*address)));
  }
  return nullptr;
}

bool TcpConnection::Send(std::string_view bytes, Deadline deadline, ConnectionError& error) {
  while (!bytes.empty()) {
    const int sent = ::send(native_->socket, bytes.data(), static_cast<int>(bytes.size()), 0);
    if (sent != SOCKET_ERROR) {
      bytes.remove_prefix(static_cast<size_t>(sent));
      continue;
    }
    const int failure = ::WSAGetLastError();
    if (failure == WSAECONNRESET || failure == WSAECONNABORTED || failure == WSAESHUTDOWN) return true;
    if (failure != WSAEWOULDBLOCK) return error = {failure, "cannot send to " + peer_}, false;
    const int ready = WaitWritable(native_->socket, deadline);
    if (ready <= 0) {
      return error = {ready < 0 ? ::WSAGetLastError() : 0, peer_ + " took nothing within the second"}, false;
    }
  }
  return true;
}

TcpConnection::Received TcpConnection::Receive(std::span<char> buffer, size_t& count, ConnectionError& error) {
  count = 0;
  const int got = ::recv(native_->socket, buffer.data(), static_cast<int>(buffer.size()), 0);
  if (got > 0) {
    count = static_cast<size_t>(got);
    return Received::Bytes;
  }
  if (got == 0) return Received::Closed;
  switch (const int failure = ::WSAGetLastError()) {
    case WSAEWOULDBLOCK:
      return Received::Nothing;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
      return Received::Closed;
    default:
      error = {failure, "cannot receive from " + peer_};
      return Received::Failed;
  }
}

TcpConnection::Ready TcpConnection::Wait(Deadline deadline, const WakeSignal* wake, ConnectionError& error) {
  std::array<HANDLE, 2> handles = {native_->event, nullptr};
  DWORD count = 1;
  if (wake) handles[count++] = reinterpret_cast<HANDLE>(wake->NativeHandle());
  const DWORD result = ::WaitForMultipleObjects(count, handles.data(), FALSE, MillisecondsLeft(deadline));
  if (result == WAIT_TIMEOUT) return Ready::TimedOut;
  if (result == WAIT_OBJECT_0 + 1) return Ready::Woken;
  if (result != WAIT_OBJECT_0)
    return error = {static_cast<int>(::GetLastError()), "cannot wait for " + peer_}, Ready::Failed;
  // Resets the event: the next recv re-arms it for bytes still to come, so a
  // Wait after a Receive that found nothing sleeps until new ones arrive.
  WSANETWORKEVENTS events{};
  ::WSAEnumNetworkEvents(native_->socket, native_->event, &events);
  return Ready::Readable;
}

}  // namespace Rdr00800::detail

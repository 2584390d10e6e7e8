// A resolver that does not answer, for tests of the poll's second: while
// held, every name lookup TcpConnection::Connect hands to the system waits
// before it asks, until released. Only Windows' connections have it
// (tcp_connection_win32.cpp), whose lookups run on threads of their own; on
// Linux the resolver's request itself is cancelled at the deadline.
#pragma once

namespace Rdr00800::detail {

// Tests only; any thread. Lookups already waiting go on once released.
void HoldNameLookups();
void ReleaseNameLookups();

}  // namespace Rdr00800::detail

// TADOConnection over ODBC (unixODBC here, the system's ODBC on Windows): the
// wide entry points throughout, so connection strings keep every character.
#include "runtime/odbc_connection.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

#include "decode/ascii_case.h"
#include "rdr00800/Rdr00800.h"
#include "runtime/codepage.h"

namespace Rdr00800 {
namespace detail {
namespace {

std::atomic<int> liveHandles{0};

// Constant-initialized and never destroyed, so a connection that dies during
// static destruction can still forget itself safely.
TADOConnection* rememberedSession = nullptr;

// One element "key=value" of a connection string, with its place in it.
struct Attribute {
  std::wstring key;    // trimmed, upper-case ASCII
  std::wstring value;  // as written, braces included
  size_t begin = 0;
  size_t end = 0;
};

std::wstring Trim(const std::wstring& text) {
  const auto first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return {};
  return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

std::vector<Attribute> ParseAttributes(const std::wstring& text) {
  std::vector<Attribute> attributes;
  size_t position = 0;
  while (position < text.size()) {
    Attribute attribute;
    attribute.begin = position;
    const size_t equals = text.find(L'=', position);
    const size_t semicolon = text.find(L';', position);
    if (equals == std::wstring::npos || (semicolon != std::wstring::npos && semicolon < equals)) {
      // An element without "=" names nothing; skip it.
      position = semicolon == std::wstring::npos ? text.size() : semicolon + 1;
      continue;
    }
    attribute.key = AsciiUpper(Trim(text.substr(position, equals - position)));
    size_t valueEnd = equals + 1;
    const size_t valueStart = text.find_first_not_of(L" \t", valueEnd);
    if (valueStart != std::wstring::npos && text[valueStart] == L'{') {
      const size_t close = text.find(L'}', valueStart);
      valueEnd = close == std::wstring::npos ? text.size() : close + 1;
    }
    valueEnd = std::min(text.find(L';', valueEnd), text.size());
    attribute.value = Trim(text.substr(equals + 1, valueEnd - equals - 1));
    attribute.end = valueEnd;
    attributes.push_back(std::move(attribute));
    position = valueEnd + 1;
  }
  return attributes;
}

std::wstring Unbraced(const std::wstring& value) {
  if (value.size() >= 2 && value.front() == L'{' && value.back() == L'}') return value.substr(1, value.size() - 2);
  return value;
}

// SQLWCHAR is UTF-16 both on unixODBC and on Windows; wchar_t is UTF-32 on
// Linux, so code points above the BMP become surrogate pairs.
std::vector<SQLWCHAR> ToSqlWide(const std::wstring& text) {
  std::vector<SQLWCHAR> wide;
  wide.reserve(text.size() + 1);
  for (const wchar_t c : text) {
    const auto code = static_cast<char32_t>(c);
    if (code >= 0x10000 && code <= 0x10FFFF) {
      wide.push_back(static_cast<SQLWCHAR>(0xD800 + ((code - 0x10000) >> 10)));
      wide.push_back(static_cast<SQLWCHAR>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      wide.push_back(static_cast<SQLWCHAR>(code));
    }
  }
  wide.push_back(0);
  return wide;
}

std::string SqlWideToUtf8(const SQLWCHAR* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    char32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, code);
  }
  return out;
}

std::string WideToUtf8(const std::wstring& text) {
  const auto wide = ToSqlWide(text);
  return SqlWideToUtf8(wide.data(), wide.size() - 1);
}

// An ODBC handle freed on destruction; counted so leaks show in tests.
class OdbcHandle {
 public:
  OdbcHandle() = default;
  OdbcHandle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
    if (SQL_SUCCEEDED(::SQLAllocHandle(type, parent, &handle_))) {
      ++liveHandles;
    } else {
      handle_ = SQL_NULL_HANDLE;
    }
  }
  OdbcHandle(OdbcHandle&& other) noexcept : type_(other.type_), handle_(std::exchange(other.handle_, nullptr)) {}
  OdbcHandle& operator=(OdbcHandle&& other) noexcept {
    if (this != &other) {
      Free();
      type_ = other.type_;
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  OdbcHandle(const OdbcHandle&) = delete;
  OdbcHandle& operator=(const OdbcHandle&) = delete;
  ~OdbcHandle() { Free(); }

  SQLHANDLE Get() const noexcept { return handle_; }
  SQLSMALLINT Type() const noexcept { return type_; }

 private:
  void Free() noexcept {
    if (handle_ != SQL_NULL_HANDLE) {
      ::SQLFreeHandle(type_, handle_);
      --liveHandles;
      handle_ = SQL_NULL_HANDLE;
    }
  }
  SQLSMALLINT type_ = SQL_HANDLE_ENV;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

bool IsWordCharacter(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Replaces `secret` where it stands as a token of its own, so a short
// password does not mangle the words that happen to contain it.
void BlankOut(std::string& text, const std::string& secret) {
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 1)) {
    const size_t after = at + secret.size();
    if ((at > 0 && IsWordCharacter(text[at - 1])) || (after < text.size() && IsWordCharacter(text[after]))) continue;
    text.replace(at, secret.size(), "***");
  }
}

// Every diagnostic record of `handle` as "[state] text"; the values of the
// password keys are blanked out in case a driver echoes them.
std::string Diagnostics(const OdbcHandle& handle, const std::vector<std::string>& secrets) {
  std::string all;
  for (SQLSMALLINT record = 1;; ++record) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    std::vector<SQLWCHAR> text(1024);
    SQLSMALLINT length = 0;
    const SQLRETURN rc = ::SQLGetDiagRecW(handle.Type(), handle.Get(), record, state, &native, text.data(),
                                          static_cast<SQLSMALLINT>(text.size()), &length);
    if (!SQL_SUCCEEDED(rc)) break;
    const size_t used = std::min(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)), text.size() - 1);
    if (!all.empty()) all += "; ";
    // Appended piece by piece: GCC 12 sees a false overlap (-Wrestrict) in
    // the inlined copies of one chained concatenation.
    all += '[';
    all += SqlWideToUtf8(state, 5);
    all += "] ";
    all += SqlWideToUtf8(text.data(), used);
  }
  for (const auto& secret : secrets) BlankOut(all, secret);
  return all.empty() ? std::string("no diagnostics from the driver manager") : all;
}

std::vector<std::string> Secrets(const std::wstring& connectionString) {
  std::vector<std::string> secrets;
  for (const auto& attribute : ParseAttributes(connectionString)) {
    if ((attribute.key == L"PWD" || attribute.key == L"PASSWORD") && !Unbraced(attribute.value).empty()) {
      secrets.push_back(WideToUtf8(Unbraced(attribute.value)));
    }
  }
  return secrets;
}

[[noreturn]] void ThrowDatabaseError(const std::string& what, const OdbcHandle& handle,
                                     const std::wstring& connectionString) {
  throw EDatabaseError("Could not open the database connection: " + what + ": " +
                       Diagnostics(handle, Secrets(connectionString)));
}

}  // namespace

std::wstring WithDriverFromProvider(const std::wstring& connectionString, const std::string& provider) {
  const auto attributes = ParseAttributes(connectionString);
  const auto names = [](const Attribute& a) { return a.key == L"DRIVER" || a.key == L"DSN" || a.key == L"FILEDSN"; };
  if (std::any_of(attributes.begin(), attributes.end(), names)) return connectionString;
  const auto own =
      std::find_if(attributes.begin(), attributes.end(), [](const Attribute& a) { return a.key == L"PROVIDER"; });
  if (own != attributes.end()) {
    std::wstring result = connectionString;
    result.replace(own->begin, own->end - own->begin, L"DRIVER={" + Unbraced(own->value) + L"}");
    return result;
  }
  if (provider.empty()) return connectionString;
  return L"DRIVER={" + WidenCp1252(provider) + L"};" + connectionString;
}

std::wstring WidenCp1252(const std::string& text) {
  const std::string utf8 = Cp1252ToUtf8(text);
  std::wstring wide;
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const size_t count = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t code = count == 1 ? lead : lead & (0x7F >> count);
    for (size_t k = 1; k < count && i + k < utf8.size(); ++k) {
      code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    wide += static_cast<wchar_t>(code);
    i += count;
  }
  return wide;
}

int LiveOdbcHandleCount() noexcept { return liveHandles.load(); }

void RememberADODBSession(TADOConnection* connection) noexcept { rememberedSession = connection; }

TADOConnection* RememberedADODBSession() noexcept { return rememberedSession; }

}  // namespace detail

struct TADOConnection::Impl {
  // Members go in reverse order: the connection before its environment.
  detail::OdbcHandle environment;
  detail::OdbcHandle connection;
  bool open = false;

  void Close() noexcept {
    if (open) ::SQLDisconnect(connection.Get());
    open = false;
    connection = detail::OdbcHandle();
    environment = detail::OdbcHandle();
  }
};

TADOConnection::TADOConnection() : impl_(std::make_unique<Impl>()) {}

TADOConnection::~TADOConnection() {
  impl_->Close();
  if (detail::RememberedADODBSession() == this) detail::RememberADODBSession(nullptr);
}

void TADOConnection::SetConnected(bool connected) {
  if (connected == Connected()) return;
  if (!connected) {
    impl_->Close();
    return;
  }
  if (BeforeConnect) BeforeConnect(this);

  Impl opening;
  opening.environment = detail::OdbcHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
  if (!opening.environment.Get()) throw EDatabaseError("Could not open the database connection: no ODBC environment");
  ::SQLSetEnvAttr(opening.environment.Get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  opening.connection = detail::OdbcHandle(SQL_HANDLE_DBC, opening.environment.Get());
  if (!opening.connection.Get()) {
    ThrowDatabaseError("no ODBC connection handle", opening.environment, ConnectionString);
  }
  // Without a login time-out a server that accepts and never answers would
  // hold the host's main thread forever; 0 or less leaves the driver's own.
  if (LoginTimeout > 0) {
    ::SQLSetConnectAttrW(opening.connection.Get(), SQL_ATTR_LOGIN_TIMEOUT,
                         reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(LoginTimeout)), SQL_IS_UINTEGER);
  }
  auto text = detail::ToSqlWide(detail::WithDriverFromProvider(ConnectionString, Provider));
  // The completed string would echo the password; it is not asked for.
  const SQLRETURN rc = ::SQLDriverConnectW(opening.connection.Get(), nullptr, text.data(), SQL_NTS, nullptr, 0, nullptr,
                                           LoginPrompt ? SQL_DRIVER_COMPLETE : SQL_DRIVER_NOPROMPT);
  std::fill(text.begin(), text.end(), SQLWCHAR{0});
  if (!SQL_SUCCEEDED(rc)) ThrowDatabaseError("the driver refused the connection", opening.connection, ConnectionString);
  opening.open = true;
  std::swap(*impl_, opening);

  if (AfterConnect) AfterConnect(this);
}

bool TADOConnection::Connected() const { return impl_->open; }

void* TADOConnection::Handle() const { return impl_->open ? impl_->connection.Get() : nullptr; }

}  // namespace Rdr00800

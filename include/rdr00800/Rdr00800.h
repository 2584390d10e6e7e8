// rdr00800: badge-reader support for host applications.
//
// The library polls two badge readers on serial ports (an optical scanner and a
// proximity card reader), or holds a reader's port open in a session, relays
// scanned codes into a host window as keystrokes, decodes proximity frames and
// hands encrypted consumer codes to an external decryption library.
//
// Threads. The host calls every operation on its main thread: the thread that
// ran Initialize(), or, when the host never calls it, the thread that loaded
// the library. One exception is the scanner thread (TScannerThread), which
// runs its own polling loop and the optical read; everything it delivers to the
// host runs on the main thread through TThread::Synchronize, which the host
// serves with CheckSynchronize (or TThread::WaitFor). Reader settings read by
// the scanner thread are atomics, and its tables' entries TableTexts, which
// the host may change while it polls; everything else is plain state of the
// main thread and takes no lock. A ReaderSession is the other exception: it makes
// no synchronized calls and works on whichever thread uses it (see there).
//
// Errors. Reads and decodes report "nothing" as the empty text (a reader
// session as std::nullopt), with the reason kept for LastReadStatus (a
// session's Status()); the decryption gateway reports through its bool result
// and the host framework's message service. Errors that pass to the caller are exceptions
// (std::invalid_argument for a speed text that is not a number,
// EDatabaseError for a database that cannot be opened). The C interface turns
// them into Rdr00800_LastError, which describes the last call only: a call
// that succeeds clears it.
//
// Text. std::string holds 8-bit characters exactly as the devices and the
// decryption library give them; no character-set conversion is made anywhere
// except where a declaration says so. Stored messages are Windows-1252.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "rdr00800/export.h"

// Calling convention of the decryption library's entry: stdcall on 32-bit
// Windows, where the vendor libraries live; the platform's C convention elsewhere.
// The entry is looked up by its plain name, so a 32-bit library exports it
// undecorated ("DescriptografaMatricula", not "_DescriptografaMatricula@8":
// link with -Wl,--kill-at or a .def file).
#if defined(_WIN32) && !defined(_WIN64)
#define RDR00800_DECRYPT_CALL __stdcall
#else
#define RDR00800_DECRYPT_CALL
#endif

namespace Rdr00800 {

// ---------------------------------------------------------------------------
// Package lifecycle
// ---------------------------------------------------------------------------

// The unit's own initialization and finalization. The unit keeps one counter,
// 0 at load: initialization() decrements it, Finalization() increments it and
// cleans up only when that brings it back to 0, so a unit initialized once is
// finalized once however often Finalization() runs. The clean-up empties
// Velocidades, then Portas, then IdCriptoCons. An initialization that starts a
// new round (counter 0 -> -1) puts the tables' texts back. Main thread only.
RDR00800_API void initialization();
RDR00800_API void Finalization();
// The unit counter, for hosts and tests that check the lifecycle.
RDR00800_API int32_t UnitInitializationCounter();

// One unit of the package: its initialization and finalization entries.
struct PackageUnitEntry {
  void (*Initialization)();
  void (*Finalization)();
};

// The package's unit table: Count pairs in initialization order, Rdr00800 last.
struct PackageInfoTable {
  int32_t Count;
  const PackageUnitEntry* Units;
};

namespace Pkg_Rdr00800 {
// Runs every unit's initialization in table order and makes the calling thread
// the main thread.
RDR00800_API void PackageLoad();
// Runs the units' finalizations in reverse order. Scanner threads, the
// resident decryption library and dtmLeitor stay the host's to release.
RDR00800_API void PackageUnload();
RDR00800_API const PackageInfoTable* GetPackageInfoTable();
}  // namespace Pkg_Rdr00800

// A resource the package carries (for example "SHOWAVI" of type "AVI"), as its
// bytes; the empty text when the package has no such resource. Names and types
// compare ignoring ASCII letter case.
RDR00800_API std::string FindPackageResource(const std::string& name, const std::string& type);

// ---------------------------------------------------------------------------
// Port and speed tables, reader settings
// ---------------------------------------------------------------------------

// An entry of a table the scanner thread reads at every poll while the host
// may change it on its main thread. An assignment publishes a new immutable
// text with one atomic store, so a poll neither waits for a lock nor sees a
// text half written; it reads the text it finds, as a std::string. Replaced
// texts stay alive as long as the entry (until the library is unloaded): a
// poll may still be reading one. Reads on any thread, writes on the main
// thread only.
class TableText {
 public:
  TableText() : TableText(std::string_view()) {}
  RDR00800_API explicit TableText(std::string_view text);
  TableText(const TableText& other) : TableText(std::string_view(other.Text())) {}
  RDR00800_API TableText& operator=(std::string_view text);
  TableText& operator=(const TableText& other) { return *this = std::string_view(other.Text()); }
  ~TableText() = default;

  const std::string& Text() const noexcept { return *current_.load(std::memory_order_acquire); }
  operator const std::string&() const noexcept { return Text(); }
  const char* c_str() const noexcept { return Text().c_str(); }
  size_t size() const noexcept { return Text().size(); }
  bool empty() const noexcept { return Text().empty(); }

  friend bool operator==(const TableText& entry, std::string_view text) noexcept { return entry.Text() == text; }
  friend bool operator==(const TableText& left, const TableText& right) noexcept { return left.Text() == right.Text(); }
  friend std::string operator+(std::string_view left, const TableText& right) {
    return std::string(left) + right.Text();
  }
  friend std::string operator+(const TableText& left, std::string_view right) {
    return left.Text() + std::string(right);
  }
  // Any output stream; a template, so that this header needs no <ostream>.
  template <class Stream>
  friend Stream& operator<<(Stream& out, const TableText& entry) {
    out << entry.Text();
    return out;
  }

 private:
  std::atomic<const std::string*> current_;
  std::vector<std::unique_ptr<const std::string>> texts_;  // every text it held, the current one last
};

// Port names: index 0 is "", 1..12 are "COM1".."COM12", 13 is "LPT1".
RDR00800_API extern std::array<TableText, 14> Portas;
// Line speeds as decimal texts, "110" to "921600" (there is no 600).
RDR00800_API extern std::array<TableText, 13> Velocidades;

// Optical reader: indices into Portas and Velocidades, and the reader type
// (2 drops the last character of each frame). Read by the scanner thread at
// every poll, so a change takes effect at the next poll.
RDR00800_API extern std::atomic<int32_t> IdPortaOpt;
RDR00800_API extern std::atomic<int32_t> IdVelocOpt;
RDR00800_API extern std::atomic<int32_t> IdTipoOpt;
// Proximity reader settings, kept for the host; GetProximidadeReaderValue
// stores the baud rate it is given into IdVelocProx.
RDR00800_API extern std::atomic<int32_t> IdPortaProx;
RDR00800_API extern std::atomic<int32_t> IdVelocProx;
RDR00800_API extern std::atomic<int32_t> IdTipoProx;
// A text the host may keep here; emptied at finalization. Main thread only.
RDR00800_API extern std::string IdCriptoCons;
// Interval mode of both one-shot reads, in milliseconds; 0 (the default) or
// below turns it off. Above 0, a read that has received at least one byte
// also ends once no further byte has arrived for that long, so a reader's
// frame comes back a few milliseconds after its last byte instead of at the
// end of the second. The 51-byte and one-second bounds still hold. On Windows
// it is the ReadIntervalTimeout of the port's time-outs. Read at every poll.
RDR00800_API extern std::atomic<int32_t> ReadIntervalTimeoutMs;
// When true, a TScannerThread holds its port open in a ReaderSession and
// relays each code as its line end arrives, instead of polling; false (the
// default) keeps the one-shot polls. Read by the scanner thread between
// codes, so a change takes effect at the next code boundary.
RDR00800_API extern std::atomic<bool> ScannerHoldsPort;
// When true, LeitorProximidade checks the H10301 parity bits of a frame from a
// hexadecimal reader type (bits 9 and 34 of its bit text) and gives the empty
// text, with LastReadStatus BadFrame, when one fails. False (the default)
// keeps the frame unchecked, as readers that leave those bits 0 need.
RDR00800_API extern std::atomic<bool> CheckProximityParity;

// ---------------------------------------------------------------------------
// One-shot serial read
// ---------------------------------------------------------------------------

// Each read opens the port exclusively, sets the speed with 8 data bits, no
// parity and one stop bit, waits up to 1000 ms for at most 51 bytes (less in
// interval mode, see ReadIntervalTimeoutMs) and closes the port. The frame is the bytes read up to the first NUL. Any
// failure (no such device, port busy, line refused, nothing within the second, hang-up in the middle of the read) is
// the empty text.
//
// Port names: a mapping set with SetPortDevice comes first; on POSIX "COMn"
// (any letter case, n >= 1) is /dev/ttyS{n-1}, "LPT1" is /dev/lp0 and a text
// beginning with "/" is that path; anything else names no device.

// Reads the optical reader: port Portas[IdPortaOpt], speed
// Velocidades[IdVelocOpt], dropping the frame's last character when IdTipoOpt
// is 2. Indices outside the tables give the empty text. A speed text that is
// not a number throws std::invalid_argument after the port is closed. Any
// thread (the scanner thread calls it).
RDR00800_API std::string GetOpticalReaderValue();

// Reads the proximity reader on `port` at `baud` bits per second; stores
// `baud` into IdVelocProx first, whatever the outcome. `readerType` is not
// used by the read.
RDR00800_API std::string GetProximidadeReaderValue(const std::string& readerType, const std::string& port,
                                                   int32_t baud);

// Maps a port text (compared ignoring ASCII case) to a device path, for
// example "COM3" to "/dev/ttyUSB0"; an empty path removes the mapping. The
// empty port text names no device and is never mapped: mapping it throws
// std::invalid_argument. Safe to call while a scanner thread polls.
RDR00800_API void SetPortDevice(const std::string& port, const std::string& devicePath);

// The device a port text names on this platform, as the readers would open it
// (SetPortDevice mappings first); the empty text when it names none. Any
// thread.
RDR00800_API std::string PortDevicePath(const std::string& port);
// What makes a network port text unusable as written ("port 99999 is out of
// range 1-65535"); "" for a well-formed one and for any text that is not a
// network port's (neither rfc2217:// nor tcp://, nor mapped to one). Any
// thread.
RDR00800_API std::string NetworkPortProblem(const std::string& port);

// Why a one-shot read gave what it gave. The frame stays exactly as described
// above; the status comes in addition to it.
enum class ReadStatus : int32_t {
  Ok = 0,             // bytes arrived (the frame may still be empty after the NUL cut)
  NothingInTime = 1,  // port open and line set, no byte within the second
  NoSuchDevice = 2,   // the port text names no device, or the device does not exist
  PermissionDenied = 3,
  Busy = 4,            // another reader holds the port
  NotASerialPort = 5,  // the device has no serial line (a directory, /dev/null, a file)
  LineRefused = 6,     // the device refused the speed or line settings (a speed of 0 or below included)
  HungUp = 7,          // the device went away during the read; the partial bytes were dropped
  IoError = 8,         // any other system error
  BadFrame = 9,        // bytes arrived but the frame failed its check (see CheckProximityParity)
};

// The status of the last one-shot read (GetOpticalReaderValue,
// GetProximidadeReaderValue, LeitorProximidade) made on the calling thread;
// Ok before the first. Any thread; each thread has its own.
RDR00800_API ReadStatus LastReadStatus();
// The same read's outcome as one line for a person: the port, its device, what
// went wrong and, where the system can tell, what to do. "" after Ok, except
// when the frame ends at a NUL with other bytes after it: then how many the
// cut left out (the frame itself ends at its first NUL).
RDR00800_API std::string LastReadMessage();
// Whether a poll could open `port` now: opens it exclusively, reads its line
// settings and closes it again, without changing the line or reading a byte.
// Ok when it could; otherwise the status a poll would have ended with. Records
// the outcome for LastReadStatus and LastReadMessage as a poll does. Any
// thread; does not block.
RDR00800_API ReadStatus CheckPortOpens(const std::string& port);

// A short name of a status ("ok", "nothing in time", "busy", ...), for logs
// and tools.
RDR00800_API const char* ReadStatusName(ReadStatus status);

// Receives one line for each step of a poll (open, line settings, read with
// its bytes and milliseconds, close) and of the decryption gateway (load,
// entry lookup, call), on the thread doing the work; the line is valid only
// during the call. An empty function removes it. Off by default, and a step
// costs nothing measurable while no handler is set. Any thread; an exception
// the handler throws is dropped.
using TraceHandler = std::function<void(std::string_view line)>;
RDR00800_API void SetTraceHandler(TraceHandler handler);

// ---------------------------------------------------------------------------
// A reader held open between codes
// ---------------------------------------------------------------------------

// How a reader marks where its codes begin and end.
enum class Framing : int32_t {
  LineEnds = 0,  // a code ends at CR or LF, or after the quiet time
  // STX (0x02) begins a code and ETX (0x03) ends it, both left out; CR and LF
  // inside are dropped, and so is every byte outside a frame. A frame that a
  // new STX interrupts is dropped, and one without its ETX is never handed
  // out (the quiet time does not end it). EM4100 readers send this way.
  StxEtx = 1,
};

// Keeps a reader's port open and hands out each code as soon as its line end
// arrives: no poll to wait for, no 51-byte limit, and no byte lost between
// codes while the session is open (bytes that arrive while nobody asks wait,
// in order, in the driver's queue).
//
// Codes end at CR or LF (Framing::LineEnds, the default; SetFraming chooses
// STX/ETX frames instead); CR LF and LF CR are one end, empty codes are
// skipped, and a code without a line end ends after `quietEnd` without a
// byte. Bytes other than CR and LF pass unchanged. A code longer than 4096
// bytes is handed out in 4096-byte pieces, and StatusMessage says so.
//
// The port is opened on the first NextCode exactly as a poll opens it
// (exclusively, the speed with 8 data bits, no parity, one stop bit, raw), so
// while a session holds it a one-shot poll of it gets ReadStatus::Busy with a
// message that names this process. A port that cannot be opened, or that
// fails or goes away, sets Status() and is tried again every 250 ms while
// NextCode waits; a reader plugged in again at the same path (a by-id link) is
// read again without the caller doing anything.
//
// Threads: one thread at a time calls NextCode and Close; Cancel, Status and
// StatusMessage work from any thread. A session makes no synchronized calls,
// so it works on any thread, the main thread's loop running or not. Nothing
// throws except std::bad_alloc and, from the constructor, std::system_error
// when the system has no wake-up signal to give.
class RDR00800_API ReaderSession {
 public:
  // `port`: a port text (COMn, mapped as for polls) or a device path. Opens
  // nothing yet. A code that has no line end ends after `quietEnd` without a
  // byte.
  ReaderSession(std::string port, int32_t baud, std::chrono::milliseconds quietEnd = std::chrono::milliseconds(20));
  ~ReaderSession();  // closes the port
  ReaderSession(const ReaderSession&) = delete;
  ReaderSession& operator=(const ReaderSession&) = delete;

  // Waits up to `timeout` for the next code and returns it without its line
  // end; std::nullopt when none came in time, after Cancel(), or while the
  // port cannot be read (Status() says why). A timeout of 0 takes what has
  // already arrived without waiting.
  std::optional<std::string> NextCode(std::chrono::milliseconds timeout);
  // The thread that calls NextCode: whether the code NextCode handed out last
  // is a 4096-byte piece of a longer one, which the next codes go on with;
  // false for a whole code, the last piece, and once the port failed (a code
  // the failure cut short has no more pieces).
  bool CodeContinues() const;
  // Any thread: a waiting NextCode returns std::nullopt at once; when none is
  // waiting, the next one does.
  void Cancel();
  // Any thread: Ok while the port is open (and before it is first opened),
  // otherwise why not, with the ReadStatus values of the polls.
  ReadStatus Status() const;
  // Any thread: as LastReadMessage() words it; "" while Ok, except after a
  // piece of a code longer than 4096 bytes.
  std::string StatusMessage() const;
  // Releases the port and drops what it had not handed out; the next
  // NextCode opens it again.
  void Close();
  // How codes are framed; LineEnds until set. A change drops the bytes read
  // and not yet handed out, which were split the other way. Called by the
  // thread that calls NextCode.
  void SetFraming(Framing framing);
  // A code equal to the one that arrived just before it, and within `hold` of
  // that one's arrival, is not handed out. Every arrival counts, handed out
  // or not, so a card that a reader repeats every 65 ms while it lies there
  // is one code until it has been away for the hold. 0 (the default, and any
  // negative hold) hands out every code. Called by the thread that calls
  // NextCode; applies from the next code on.
  void SetRepeatHold(std::chrono::milliseconds hold);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------
// Digit conversions and proximity decoding (pure)
// ---------------------------------------------------------------------------

// Four binary digits for one hexadecimal digit ("0".."9", "A".."F"; small
// letters are not digits here). A text whose first character is "A".."F" counts
// that letter alone; any other text is read as a signed decimal 32-bit integer
// (optional sign, digits only) and gives its four most significant binary
// digits (four zeros below 1). Any failure is the empty text.
RDR00800_API std::string HexaToBin(const std::string& text);

// The decimal value of a text of binary digits, read from the last character
// to the first; "|" takes no position, and other decimal digits are weighted
// like binary ones. Below 10^15 the result is the plain integer; from 10^15 on
// it is the "%.15g" form (for example "1e+15"). A character that is not a
// digit or "|", a text with no digit, or a sum too large for a double gives
// the empty text.
RDR00800_API std::string BinToDec(const std::string& text);

// `text` with "0" put in front up to `width`, then cut to its first `width`
// characters.
RDR00800_API std::string ZeroPadLeft(const std::string& text, int32_t width);

// Decodes a frame already read from a proximity reader of type `readerType`,
// using the current host framework's EmptyString and Ajusta:
// - "3": the frame without a trailing CR LF 0x12 or CR LF;
// - any other: the hexadecimal digits before the first CR become bits; the
//   facility code (bits 10..17; the fixed "000" for type "1") fitted to 3 and
//   the card number (bits 18..33) fitted to 5 characters. A frame that gives
//   fewer than 33 bits is the empty text, as is a frame EmptyString calls empty.
RDR00800_API std::string DecodeProximityFrame(const std::string& readerType, const std::string& frame);

// Reads the proximity reader once (GetProximidadeReaderValue) and decodes the
// frame (DecodeProximityFrame). Main thread; blocks up to about one second.
// With CheckProximityParity, a hexadecimal reader type's frame whose H10301
// parity bits fail gives the empty text, and LastReadStatus is BadFrame.
RDR00800_API std::string LeitorProximidade(const std::string& readerType, const std::string& port, int32_t baud);

// ---------------------------------------------------------------------------
// Credentials: card formats, parity, printed numbers (pure)
// ---------------------------------------------------------------------------

// A reader sends a card's word of `bits` bits (position 1 the most
// significant) in one of these layouts, named by the same texts in C, Python
// and rdr:
//   "hex40"   this library's proximity frame: 10 hexadecimal digits, the word
//             from bit 9 of their 40 bits, the bits after it 0;
//   "hex"     the word alone, right-aligned; every length from the value's
//             significant bits up to four per digit is tried; "hex:N" fixes
//             the length to N;
//   "packed"  26 to 36 bits: bit 38 (the least significant being 1) set as a
//             header and a 1 just above the word as its length's sentinel;
//             37 bits: the word alone;
//   "em4100"  STX, 10 digits, 2 digits of XOR checksum, optional CR LF, ETX;
//             also the 12 digits, or the 10 digits without checksum, alone.
// Digits count in either case and a trailing CR/LF is ignored in every
// layout; the empty layout text is "hex40".
//
// The catalogue holds the built-in formats (H10301, ind26, ..., IR56, and
// EM4100) followed by those registered with RegisterCredentialFormat, in
// registration order. Every function here may be called on any thread,
// concurrently with RegisterCredentialFormat.

// Whether a word's parity bits (or an EM4100 frame's checksum) hold.
enum class ParityCheck { Ok, Failed, None };  // None: the format carries no parity or checksum

// One format's reading of a word. Fields the format does not have are
// std::nullopt. An EM4100 word's oem is b0b1, facility b2 and card b3b4.
struct RDR00800_API Credential {
  std::string format;  // "H10301", "C1k35s", "EM4100", or a registered name
  int bits = 0;        // the word's length
  std::optional<uint64_t> facility, card, issue, oem;
  ParityCheck parity = ParityCheck::None;
  std::string raw;  // the word in hexadecimal, upper case, right-aligned

  // A number as printed or typed:
  //   "code"   facility then card, each zero-padded to the decimal width of
  //            its field's largest value (H10301: "12345678"); the card
  //            alone for a format without facility;
  //   "fc,cn"  "123,45678" (the card alone without facility);
  //   "dez10", "dez8", "dez13"  the low 32 and 24 bits, and the whole word,
  //            in decimal of 10, 8 and 13 digits (EM4100's printed numbers);
  //   "hex"    raw.
  // An unknown form name, or "code" for a format the catalogue does not
  // hold, throws std::invalid_argument naming it.
  RDR00800_API std::string Form(std::string_view name) const;
};

// Every catalogue format that reads `frame` in `layout`, best first: parity
// Ok, then None, then Failed; within each, the shorter word first, then
// catalogue order. `format` pins one format by name (letter case ignored);
// "auto" tries every format whose length fits; "" is the layout's default
// (H10301 for hex40, EM4100 for em4100, "auto" otherwise). A pinned format
// whose parity fails is still given, with Failed. A frame that fits no format
// (wrong length, not hexadecimal, a bad EM4100 checksum, fixed bits wrong) is
// the empty vector: bad frames never throw, and nothing past the frame is
// read. An unknown layout or format name throws std::invalid_argument.
RDR00800_API std::vector<Credential> DecodeCredentials(std::string_view frame, std::string_view layout = "hex40",
                                                       std::string_view format = "");

// The frame `layout` carries for that card, with the parity bits computed
// (the EM4100 checksum too); hex40 and packed give 10 digits, hex the word's
// digits, em4100 the 14-byte STX/ETX frame. Fields the format does not have
// are ignored. std::invalid_argument for an unknown format or layout, a value
// wider than its field, a value that contradicts the format's fixed bits, or a
// word the layout cannot hold (hex40 holds up to 32 bits, packed up to 37,
// em4100 exactly 40).
RDR00800_API std::string EncodeCredential(std::string_view format, uint64_t facility, uint64_t card,
                                          std::string_view layout = "hex40", uint64_t issue = 0, uint64_t oem = 0);

// The catalogue's format names, in catalogue order.
RDR00800_API std::vector<std::string> CredentialFormats();

// Adds a site's format under `name` (1 to 23 letters, digits, "_", "-" or
// "."), for example "bits=36 facility=2-13 card=14-35 even=1:2-18
// odd=36:19-35": fields facility=, card= (required), issue=, oem= as
// comma-separated positions or ranges read most significant first; parity
// bits even=P:LIST and odd=P:LIST, computed and checked in the order written
// (one may cover another); xor=LIST:LIST, each check bit even over every
// n-th covered position (xor=33-40:1-32 is the byte XOR of bits 1-32);
// fixed=LIST:V, those positions always hold V (a field's may). Registering a
// name again replaces its definition. A definition that is malformed, runs
// past bits (1 to 64), overlaps itself, or a name that is taken by a built-in
// format or "auto", throws std::invalid_argument saying which part is wrong.
// Any thread; decodes under way keep the catalogue they started with.
RDR00800_API void RegisterCredentialFormat(std::string_view name, std::string_view definition);

// ---------------------------------------------------------------------------
// Host framework services
// ---------------------------------------------------------------------------

class TADOConnection;
class TDataModule;
class TClientDataSet;

// Message table component: each item is "key|text".
class RDR00800_API TMessages {
 public:
  std::vector<std::string> Messages;
  // The text stored for `key` (everything after the first "|" of the first
  // item whose key matches exactly); the empty text when there is none.
  std::string Msg(const std::string& key) const;
};

// Message kinds of the framework's message service; the library passes only
// Aviso (ordinal 3).
enum class TTipoMsg : uint8_t { Informacao = 0, Confirmacao = 1, Erro = 2, Aviso = 3, Pergunta = 4 };

// The services the library takes from the host framework. The host derives
// from it and installs its own with SetHostFramework; every method has the
// built-in default's behaviour unless overridden. Called on the main thread.
class RDR00800_API HostFramework {
 public:
  virtual ~HostFramework() = default;
  // True when nothing was read. Default: no character above 0x20.
  virtual bool EmptyString(const std::string& text);
  // Fits a field to `width`. Default: "0" on the left up to the width; a
  // longer text keeps its last `width` characters; width <= 0 gives "".
  virtual std::string Ajusta(const std::string& text, int32_t width);
  // The host database's connection string (always asked with ""). Default:
  // the text given to SetDefaultConnectionString.
  virtual std::string GetStringConexLum(const std::string& text);
  // Adopts an open connection as the framework's database session. Default:
  // remembers it until that connection is destroyed (see CurrentADODBSession).
  virtual void SetADODBSession(TADOConnection* connection);
  // Translates a form's texts. Default: leaves them as they are.
  virtual void Trad(TDataModule* form);
  // Shows a message (text in Windows-1252). Default: the handler set with
  // SetDefaultMessageHandler, else one UTF-8 line on standard error.
  virtual void Mensagem(const std::string& text, const std::string& caption, const std::string& confirmFlag,
                        const std::string& logFlag, TTipoMsg kind, const std::string& helpContext,
                        const std::string& detail, int32_t buttons, TClientDataSet* dataSet);
};

// Installs the host's framework; the host keeps ownership. nullptr restores
// the built-in default. Main thread.
RDR00800_API void SetHostFramework(HostFramework* framework);
RDR00800_API HostFramework& CurrentHostFramework();

// Settings of the built-in default framework.
RDR00800_API void SetDefaultConnectionString(const std::string& connectionString);
// Receives each message of the default Mensagem, converted to UTF-8; an empty
// function restores the standard-error line.
RDR00800_API void SetDefaultMessageHandler(std::function<void(const std::string& utf8Text)> handler);
// The session the default framework was given, or nullptr once that
// connection was destroyed.
RDR00800_API TADOConnection* CurrentADODBSession();

// Windows-1252 text to UTF-8.
RDR00800_API std::string Cp1252ToUtf8(const std::string& text);

// ---------------------------------------------------------------------------
// Threads with synchronized calls
// ---------------------------------------------------------------------------

// Priority ordinals of TThread (only the low 8 bits of a value count; values
// above 6 are taken as 6). Each maps to the thread's own scheduling:
//                   Linux           Windows (SetThreadPriority)
//   0 idle          SCHED_IDLE      THREAD_PRIORITY_IDLE
//   1 lowest        nice +10        THREAD_PRIORITY_LOWEST
//   2 lower         nice +5         THREAD_PRIORITY_BELOW_NORMAL
//   3 normal        nice 0 (the process's) THREAD_PRIORITY_NORMAL
//   4 higher        nice -5         THREAD_PRIORITY_ABOVE_NORMAL
//   5 highest       nice -10        THREAD_PRIORITY_HIGHEST
//   6 time-critical nice -20        THREAD_PRIORITY_TIME_CRITICAL
// A raise the process has no privilege for quietly stays at normal.
enum : uint8_t { tpIdle = 0, tpLowest = 1, tpLower = 2, tpNormal = 3, tpHigher = 4, tpHighest = 5, tpTimeCritical = 6 };

// A thread whose body is Execute(). Created suspended or running; the host
// (or, with FreeOnTerminate, the thread itself) deletes it. An exception that
// escapes Execute ends the thread and is kept in FatalException().
class RDR00800_API TThread {
 public:
  // A thread created running may enter Execute before a derived class's
  // constructor has finished: a derived class with members of its own creates
  // suspended and calls Start().
  explicit TThread(bool createSuspended);
  // A thread still running is terminated and waited for first (serving
  // synchronized calls meanwhile when on the main thread).
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();      // runs a suspended thread; no effect otherwise
  void Terminate();  // sets the termination flag and ends Sleep() waits
  bool Terminated() const;
  bool Finished() const;
  bool Suspended() const;
  // Waits for the end of Execute and returns ReturnValue(). On the main
  // thread it keeps running synchronized calls meanwhile. A thread never
  // started returns at once.
  uint32_t WaitFor();
  void SetPriority(uint8_t priority);
  uint8_t Priority() const;
  void SetFreeOnTerminate(bool freeOnTerminate);
  bool FreeOnTerminate() const;
  std::exception_ptr FatalException() const;
  uint32_t ReturnValue() const;

 protected:
  virtual void Execute() = 0;
  // Runs `method` on the main thread and waits for it; at once when already
  // on it. An exception from `method` is rethrown here. While the object is
  // destroyed on the main thread, calls still run (the last code is
  // delivered); while it is destroyed on another thread, which cannot serve
  // them, they are dropped instead of waited for.
  void Synchronize(const std::function<void()>& method);
  // Sleeps up to `milliseconds`; Terminate() ends the sleep at once.
  void Sleep(uint32_t milliseconds);
  // Called by Terminate(), on the terminating thread, once Terminated() is
  // true: a derived class that waits on something Sleep does not cover ends
  // that wait here. Does nothing by default; must not throw.
  virtual void TerminatedSet();
  void SetReturnValue(uint32_t value);
  // What the destructor does first: terminates, then waits for the end as
  // described there. A derived class whose Execute uses its own members calls
  // it first in its destructor, before those members are destroyed.
  void TerminateAndWait();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// On the main thread: runs every queued synchronized call, waiting up to
// `timeoutMs` for the first. True when any ran. On another thread: false.
RDR00800_API bool CheckSynchronize(int32_t timeoutMs = 0);
// Called on the queuing thread whenever a call is queued, so an event loop
// can schedule CheckSynchronize. An empty function removes it.
RDR00800_API void SetWakeMainThread(std::function<void()> wake);

// ---------------------------------------------------------------------------
// Window messages
// ---------------------------------------------------------------------------

inline constexpr uint32_t kWmKeyDown = 0x0100;
inline constexpr uint32_t kWmChar = 0x0102;
inline constexpr uintptr_t kVkReturn = 13;

// A window's message procedure; runs on the thread that sends the message.
using WindowProc = std::function<intptr_t(uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

// Registers a host window's procedure under `handle`, replacing an earlier
// one. Any thread.
RDR00800_API void RegisterWindow(uint32_t handle, WindowProc proc);
RDR00800_API void UnregisterWindow(uint32_t handle);
// Calls the window's procedure on the calling thread and returns its result;
// a handle with no window returns 0.
RDR00800_API intptr_t SendMessageA(uint32_t handle, uint32_t msg, uintptr_t wParam, intptr_t lParam);

// ---------------------------------------------------------------------------
// Scanner thread and keystroke relay
// ---------------------------------------------------------------------------

// Types `text` into window `handle`: one WM_CHAR per byte (its unsigned value)
// and then one WM_KEYDOWN with VK_RETURN, each sent synchronously. Main thread.
RDR00800_API void PostTextHandle(uint32_t handle, const std::string& text);

// Polls the optical reader without end and relays every frame that begins
// with an ASCII letter or digit into window FTargetHandle, through a
// synchronized call. Created suspended with free-on-terminate off: the host
// starts it, terminates it, waits for it and deletes it. After a poll that
// ended before its second without bytes (the port could not be opened or set
// up, or failed at once) it waits 100 ms before the next one, so an unplugged
// reader costs no processor time; Terminate ends the wait at once.
//
// With ScannerHoldsPort it holds the port in a ReaderSession instead and
// relays each code as soon as its line end arrives, under the same rule and
// through the same synchronized call; IdTipoOpt does not apply there (the
// line end is already gone). A change of IdPortaOpt or IdVelocOpt takes effect
// at the next code boundary, and Terminate ends the wait for a code at once.
class RDR00800_API TScannerThread : public TThread {
 public:
  TScannerThread(uint32_t priority, uint32_t targetHandle);
  // Terminates and waits (see ~TThread) before FReadValue goes away.
  ~TScannerThread() override;
  // Runs on the main thread inside the synchronized call: relays FReadValue
  // and empties it.
  void SendMessageToHandle();

  uint32_t FTargetHandle;
  // The last poll's frame; touched by the main thread only while the scanner
  // thread waits in the synchronized call.
  std::string FReadValue;

  // The status of this thread's latest poll, or of its session while it
  // holds the port (Ok before the first). Any thread.
  ReadStatus LastStatus() const;

 protected:
  void Execute() override;
  void TerminatedSet() override;

 private:
  // Relays codes through a session until ScannerHoldsPort is cleared, the
  // port or speed is changed, or the thread is terminated.
  void RelayFromSession();

  std::atomic<ReadStatus> lastStatus_{ReadStatus::Ok};
  // The session RelayFromSession reads through, for TerminatedSet to cancel.
  std::mutex sessionMutex_;
  ReaderSession* session_ = nullptr;
};

// ---------------------------------------------------------------------------
// Database connection and data modules
// ---------------------------------------------------------------------------

// A database error; the message carries the driver's diagnostics (never the
// connection string or its password).
class RDR00800_API EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An ODBC connection. Main thread.
class RDR00800_API TADOConnection {
 public:
  using Handler = std::function<void(void* sender)>;

  TADOConnection();
  // Closes the connection and frees every ODBC handle.
  ~TADOConnection();
  TADOConnection(const TADOConnection&) = delete;
  TADOConnection& operator=(const TADOConnection&) = delete;

  // Kept in wide form and passed through the wide ODBC calls.
  std::wstring ConnectionString;
  // Names the driver when the connection string names none of DRIVER=, DSN=
  // or FILEDSN= and has no "Provider=" key of its own.
  std::string Provider;
  // False: the driver never prompts (SQL_DRIVER_NOPROMPT).
  bool LoginPrompt = true;
  // Seconds the login may take before it fails.
  int32_t LoginTimeout = 15;
  Handler BeforeConnect;
  Handler AfterConnect;

  // true: BeforeConnect, open, AfterConnect; a failed open throws
  // EDatabaseError and AfterConnect does not run. false: closes.
  void SetConnected(bool connected);
  bool Connected() const;
  // The ODBC connection handle (SQLHDBC), null while closed.
  void* Handle() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A non-visual container of components. A derived class raises its creation
// event, OnCreate, at the end of its constructor with RaiseCreate().
class RDR00800_API TDataModule {
 public:
  TDataModule() = default;
  virtual ~TDataModule() = default;
  TDataModule(const TDataModule&) = delete;
  TDataModule& operator=(const TDataModule&) = delete;

  std::function<void(void* sender)> OnCreate;

 protected:
  void RaiseCreate();
};

// The reader data module: message table and database connection of the
// decryption gateway.
class RDR00800_API TdtmLeitor : public TDataModule {
 public:
  TdtmLeitor();
  ~TdtmLeitor() override;

  TMessages msgPadrao;
  TADOConnection adcLeitor;

  void DataModuleCreate(void* sender);
  void adcLeitorBeforeConnect(void* sender);
  void adcLeitorAfterConnect(void* sender);
};

// The one data module, null at load; the one-shot gateway creates and frees it.
RDR00800_API extern TdtmLeitor* dtmLeitor;

// ---------------------------------------------------------------------------
// Decryption library gateway
// ---------------------------------------------------------------------------

// The decryption library's entry "DescriptografaMatricula": (directory, code)
// -> decrypted code, or "CLIENTE.CFG" when the library found no configuration
// file in the directory. The returned text belongs to the library.
using DescriptografaMatriculaFunc = const char*(RDR00800_DECRYPT_CALL*)(const char* directory, const char* code);
using ModuleHandle = void*;

// Resident style (main thread).
RDR00800_API extern bool DigVerifOK;
RDR00800_API extern ModuleHandle DigVerifDLLHandle;
RDR00800_API extern DescriptografaMatriculaFunc DVDescriptografaMatricula;
// One-shot style (main thread).
RDR00800_API extern ModuleHandle ImpDescriptoDLLHandle;
RDR00800_API extern DescriptografaMatriculaFunc DescriptografaMatricula;

// The decryption library directory: where the gateway looks for "KQZR32.dll"
// first, in place of the host executable's directory, which for an
// interpreter (python3 in /usr/bin) holds no library of the host's. The
// resident style also passes it to the library. The empty text goes back to
// the executable's directory. Takes effect at the next load. Main thread.
RDR00800_API void SetDecryptionLibraryDirectory(const std::string& directory);

// Loads "KQZR32.dll" and finds its entry. The library is searched for by
// full path, in this order: the decryption library directory (the host
// executable's unless set); on Windows the system directory, the Windows
// directory and each absolute PATH entry (on Linux the dynamic loader's search
// path); never the working directory. The trace names the file loaded. A
// second start releases the earlier load first.
RDR00800_API void StartDigVerif();
// Unloads the resident library.
RDR00800_API void StopDigVerif();
// Decrypts with the resident library, passing the decryption library
// directory (the host executable's unless set); the empty text while it is
// not loaded.
RDR00800_API std::string GetMatriculaDV(const std::string& code);
// Decrypts one code with the library, which must exist as "KQZR32.DLL" in
// `directory` (given with its trailing separator). That is only checked: the
// library is loaded through the search order of StartDigVerif, so the copy in
// `directory` is the one loaded only when the directory is on that order (set
// it with SetDecryptionLibraryDirectory to be sure).
// Creates dtmLeitor and opens its database connection (EDatabaseError passes
// to the caller), shows a message through the host framework on failure, and
// always frees dtmLeitor. `result` is written only when the library was
// called.
RDR00800_API bool LeitorDescriptoDll(std::string& result, const std::string& directory, const std::string& code);

}  // namespace Rdr00800

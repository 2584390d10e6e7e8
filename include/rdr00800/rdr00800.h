/* rdr00800 C interface, for hosts written in C, Pascal, Python (ctypes) and
 * other languages that cannot use the C++ header.
 *
 * Texts go in as NUL-terminated 8-bit strings. Texts that come out are
 * allocated by the library and released by the caller with Rdr00800_FreeText;
 * a NULL argument where a text is expected counts as the empty text. No C++
 * exception ever crosses this interface: an operation that fails returns the
 * empty text (never NULL), 0 or false. Threads as in the C++ header: every call
 * on the host's main thread, except where a declaration says otherwise. */
#ifndef RDR00800_C_H
#define RDR00800_C_H

#include <stddef.h>
#include <stdint.h>

#include "rdr00800/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Releases a text (or resource bytes) returned by the library. NULL is fine. */
RDR00800_CAPI void Rdr00800_FreeText(char* text);
/* Why the last call of an entry of this interface on the calling thread
 * failed (for example a database that could not be opened); the empty text
 * when it did not. It describes that call only: a call that succeeds clears
 * it. Every entry sets it except this one and Rdr00800_FreeText. */
RDR00800_CAPI char* Rdr00800_LastError(void);

/* ---- Package lifecycle ---- */
typedef struct Rdr00800PackageUnitEntry {
  void (*Initialization)(void);
  void (*Finalization)(void);
} Rdr00800PackageUnitEntry;

typedef struct Rdr00800PackageInfoTable {
  int32_t Count;
  const Rdr00800PackageUnitEntry* Units;
} Rdr00800PackageInfoTable;

RDR00800_CAPI void Initialize(void);
RDR00800_CAPI void Finalize(void);
/* The same entries as Initialize and Finalize, for hosts whose own symbols
 * use those names. */
RDR00800_CAPI void Rdr00800_Initialize(void);
RDR00800_CAPI void Rdr00800_Finalize(void);
RDR00800_CAPI const Rdr00800PackageInfoTable* GetPackageInfoTable(void);
/* A resource's bytes (for example "SHOWAVI", "AVI"), with their count in
 * *size; NULL and *size 0 when there is none. Release with Rdr00800_FreeText. */
RDR00800_CAPI char* Rdr00800_FindPackageResource(const char* name, const char* type, size_t* size);

/* ---- Tables and settings ---- */
#define RDR00800_PORTAS_COUNT 14
#define RDR00800_VELOCIDADES_COUNT 13

/* Table entries; an index outside the table gives the empty text. */
RDR00800_CAPI char* Rdr00800_Porta(int32_t index);
RDR00800_CAPI char* Rdr00800_Velocidade(int32_t index);

typedef enum Rdr00800Setting {
  RDR00800_ID_PORTA_OPT = 0,
  RDR00800_ID_VELOC_OPT = 1,
  RDR00800_ID_TIPO_OPT = 2,
  RDR00800_ID_PORTA_PROX = 3,
  RDR00800_ID_VELOC_PROX = 4,
  RDR00800_ID_TIPO_PROX = 5,
  /* ReadIntervalTimeoutMs: interval mode of the one-shot reads, 0 for off. */
  RDR00800_READ_INTERVAL_MS = 6,
  /* ScannerHoldsPort: nonzero makes scanner threads hold their port in a
   * session and relay each code at its line end; 0 (the default) polls.
   * Reads back as 0 or 1. */
  RDR00800_SCANNER_HOLDS_PORT = 7,
  /* CheckProximityParity: nonzero makes LeitorProximidade give the empty text,
   * with RDR00800_READ_BAD_FRAME, for a frame whose H10301 parity fails; 0
   * (the default) leaves frames unchecked. Reads back as 0 or 1. */
  RDR00800_CHECK_PROXIMITY_PARITY = 8
} Rdr00800Setting;

/* An unknown setting reads as 0 and is not written (the setter returns 0). */
RDR00800_CAPI int32_t Rdr00800_GetSetting(int32_t setting);
RDR00800_CAPI int Rdr00800_SetSetting(int32_t setting, int32_t value);
RDR00800_CAPI char* Rdr00800_GetIdCriptoCons(void);
RDR00800_CAPI void Rdr00800_SetIdCriptoCons(const char* text);

/* ---- Serial reads (any thread) ---- */
RDR00800_CAPI char* Rdr00800_GetOpticalReaderValue(void);
RDR00800_CAPI char* Rdr00800_GetProximidadeReaderValue(const char* readerType, const char* port, int32_t baud);
/* An empty or NULL devicePath removes the mapping. The empty port text is
 * never mapped: the call is refused and the reason kept for
 * Rdr00800_LastError. */
RDR00800_CAPI void Rdr00800_SetPortDevice(const char* port, const char* devicePath);
/* The device a port text names on this platform; the empty text for none. */
RDR00800_CAPI char* Rdr00800_PortDevicePath(const char* port);

/* Why the last serial read on the calling thread gave what it gave (the C++
 * ReadStatus values; RDR00800_READ_OK before the first read). */
#define RDR00800_READ_OK 0
#define RDR00800_READ_NOTHING_IN_TIME 1
#define RDR00800_READ_NO_SUCH_DEVICE 2
#define RDR00800_READ_PERMISSION_DENIED 3
#define RDR00800_READ_BUSY 4
#define RDR00800_READ_NOT_A_SERIAL_PORT 5
#define RDR00800_READ_LINE_REFUSED 6
#define RDR00800_READ_HUNG_UP 7
#define RDR00800_READ_IO_ERROR 8
#define RDR00800_READ_BAD_FRAME 9
RDR00800_CAPI int32_t Rdr00800_LastReadStatus(void);
/* The same read's outcome as one line for a person; the empty text after
 * RDR00800_READ_OK, except when a NUL ended the frame with other bytes after
 * it: then how many it left out. Release with Rdr00800_FreeText. */
RDR00800_CAPI char* Rdr00800_LastReadMessage(void);
/* Opens the port exclusively, reads its line settings and closes it, without
 * reading: RDR00800_READ_OK when a poll could open it now, else the status a
 * poll would end with. Recorded for Rdr00800_LastReadStatus/Message. */
RDR00800_CAPI int32_t Rdr00800_CheckPortOpens(const char* port);
/* A short name of a RDR00800_READ_* status ("ok", "busy", ...); a static
 * text, never freed. An unknown value gives "unknown". */
RDR00800_CAPI const char* Rdr00800_ReadStatusName(int32_t status);
/* Receives one line for each step of a poll and of the decryption gateway,
 * on the thread doing the work; `line` is valid only during the call. NULL
 * removes it. Off by default. Any thread. */
RDR00800_CAPI void Rdr00800_SetTraceHandler(void (*handler)(void* context, const char* line), void* context);

/* ---- A reader held open between codes (see ReaderSession in the C++ header) ----
 * The port is opened on the first NextCode, exclusively, as a poll opens it;
 * codes end at CR or LF (CR LF and LF CR are one end, empty codes skipped)
 * or after quietEndMs without a byte; codes over 4096 bytes come in
 * 4096-byte pieces. A port that cannot be read is tried again every 250 ms
 * while NextCode waits. One thread at a time calls NextCode; Status,
 * StatusMessage and Cancel work from any thread. A NULL session is ignored. */
typedef struct Rdr00800Session Rdr00800Session;
/* Opens nothing yet; NULL only when the session cannot be made (see
 * Rdr00800_LastError). */
RDR00800_CAPI Rdr00800Session* Rdr00800_Session_Open(const char* port, int32_t baud, int32_t quietEndMs);
/* The next code without its line end, waiting up to timeoutMs (0: only what
 * has arrived); NULL when none came in time, after Rdr00800_Session_Cancel,
 * or while the port cannot be read (Rdr00800_Session_Status says why).
 * Release with Rdr00800_FreeText. */
RDR00800_CAPI char* Rdr00800_Session_NextCode(Rdr00800Session* session, int32_t timeoutMs);
/* As Rdr00800_Session_NextCode, with the code's exact bytes: a NUL inside
 * the code is kept, and *length receives the byte count (a NUL follows the
 * bytes, not counted). NULL and *length -1 when there is no code. A NULL
 * length is refused (NULL, see Rdr00800_LastError). Release with
 * Rdr00800_FreeText. */
RDR00800_CAPI char* Rdr00800_Session_NextCodeBytes(Rdr00800Session* session, int32_t timeoutMs, int32_t* length);
/* RDR00800_READ_OK while the port is open, else the RDR00800_READ_* reason. */
RDR00800_CAPI int32_t Rdr00800_Session_Status(const Rdr00800Session* session);
/* The status as one line for a person; the empty text while OK. */
RDR00800_CAPI char* Rdr00800_Session_StatusMessage(const Rdr00800Session* session);
/* Ends a waiting NextCode at once (or the next one, when none waits). */
RDR00800_CAPI void Rdr00800_Session_Cancel(Rdr00800Session* session);
/* Releases the port and frees the session; no other call may be under way. */
RDR00800_CAPI void Rdr00800_Session_Close(Rdr00800Session* session);
/* How codes are framed: RDR00800_FRAMING_LINE_ENDS (the default) or
 * RDR00800_FRAMING_STX_ETX (STX begins a code and ETX ends it, both left out;
 * CR and LF inside and every byte outside a frame dropped). A change drops
 * the bytes not yet handed out. 1 when set; 0 for another value (see
 * Rdr00800_LastError) or a NULL session. The thread that calls NextCode. */
#define RDR00800_FRAMING_LINE_ENDS 0
#define RDR00800_FRAMING_STX_ETX 1
RDR00800_CAPI int32_t Rdr00800_Session_SetFraming(Rdr00800Session* session, int32_t framing);
/* A code equal to the one that arrived just before it, within holdMs of that
 * one's arrival (handed out or not), is not handed out: a card held on the
 * reader is one code until it has been away for the hold. 0 (the default,
 * and below) hands out every code. The thread that calls NextCode. */
RDR00800_CAPI void Rdr00800_Session_SetRepeatHold(Rdr00800Session* session, int32_t holdMs);

/* ---- Digit conversions and proximity decoding ---- */
RDR00800_CAPI char* Rdr00800_HexaToBin(const char* text);
RDR00800_CAPI char* Rdr00800_BinToDec(const char* text);
RDR00800_CAPI char* Rdr00800_DecodeProximityFrame(const char* readerType, const char* frame);
/* Reads the proximity reader once and decodes its frame (plain export name). */
RDR00800_CAPI char* LeitorProximidade(const char* readerType, const char* port, int32_t baud);

/* ---- Credentials (see DecodeCredentials in the C++ header; any thread) ----
 * Layouts: "hex40" (also NULL or ""), "hex", "hex:N", "packed", "em4100".
 * Formats: a catalogue name, "auto", or NULL/"" for the layout's default. */
typedef struct {
  char format[24];
  int bits;
  int parity;                           /* 1 ok, 0 failed, -1 none */
  long long facility, card, issue, oem; /* -1 absent */
  char raw[32];
} Rdr00800_Credential;

/* Decodes a frame: returns the number of formats that read it (all of them,
 * even beyond capacity; only the first `capacity`, best first, are written to
 * out), 0 for a frame no format reads, or -1 for an unknown layout or format
 * (see Rdr00800_LastError). out may be NULL when capacity is 0. */
RDR00800_CAPI int Rdr00800_DecodeCredentials(const char* frame, const char* layout, const char* format,
                                             Rdr00800_Credential* out, int capacity);
/* The frame a layout carries for that card, parity computed; NULL on error
 * (see Rdr00800_LastError). Release with Rdr00800_FreeText. */
RDR00800_CAPI char* Rdr00800_EncodeCredential(const char* format, unsigned long long facility, unsigned long long card,
                                              const char* layout, unsigned long long issue, unsigned long long oem);
/* A printed form ("code", "fc,cn", "dez10", "dez8", "dez13", "hex") of a
 * decoded credential; the empty text and Rdr00800_LastError for an unknown
 * form. Release with Rdr00800_FreeText. */
RDR00800_CAPI char* Rdr00800_CredentialForm(const Rdr00800_Credential* credential, const char* form);
/* The number of catalogue formats; Rdr00800_CredentialFormatName gives each
 * name by index (the empty text outside 0..count-1). */
RDR00800_CAPI int Rdr00800_CredentialFormatCount(void);
RDR00800_CAPI char* Rdr00800_CredentialFormatName(int index);
/* Adds or replaces a site's format ("bits=36 facility=2-13 card=14-35
 * even=1:2-18 odd=36:19-35"); 1 when registered, 0 with the reason in
 * Rdr00800_LastError. */
RDR00800_CAPI int Rdr00800_RegisterCredentialFormat(const char* name, const char* definition);

/* ---- Host framework ----
 * Message kinds Mensagem receives (TTipoMsg); the library passes only
 * RDR00800_MSG_AVISO. */
#define RDR00800_MSG_INFORMACAO 0
#define RDR00800_MSG_CONFIRMACAO 1
#define RDR00800_MSG_ERRO 2
#define RDR00800_MSG_AVISO 3
#define RDR00800_MSG_PERGUNTA 4
/*
 * Callbacks run on the main thread. Texts a callback returns are copied at
 * once and never freed by the library. A NULL member keeps the built-in
 * default for that service. */
typedef struct Rdr00800HostFramework {
  void* context;
  int (*EmptyString)(void* context, const char* text);
  const char* (*Ajusta)(void* context, const char* text, int32_t width);
  const char* (*GetStringConexLum)(void* context, const char* text);
  /* odbcConnection: the open SQLHDBC, valid until the gateway call returns. */
  void (*SetADODBSession)(void* context, void* odbcConnection);
  void (*Trad)(void* context, void* form);
  void (*Mensagem)(void* context, const char* text, const char* caption, const char* confirmFlag, const char* logFlag,
                   uint8_t kind, const char* helpContext, const char* detail, int32_t buttons, void* dataSet);
} Rdr00800HostFramework;

/* Copies *framework and installs it; NULL restores the built-in default. */
RDR00800_CAPI void Rdr00800_SetHostFramework(const Rdr00800HostFramework* framework);
RDR00800_CAPI void Rdr00800_SetDefaultConnectionString(const char* connectionString);

/* ---- Threads, windows and the scanner ---- */
/* The messages the scanner sends a window for each code: one WM_CHAR per
 * byte, then WM_KEYDOWN with VK_RETURN. */
#define RDR00800_WM_KEYDOWN 0x0100
#define RDR00800_WM_CHAR 0x0102
#define RDR00800_VK_RETURN 13
/* Thread priorities for Rdr00800_ScannerThread_Create (see the C++ header
 * for what each means on each system). */
#define RDR00800_TP_IDLE 0
#define RDR00800_TP_LOWEST 1
#define RDR00800_TP_LOWER 2
#define RDR00800_TP_NORMAL 3
#define RDR00800_TP_HIGHER 4
#define RDR00800_TP_HIGHEST 5
#define RDR00800_TP_TIME_CRITICAL 6

typedef intptr_t (*Rdr00800WindowProc)(void* context, uint32_t msg, uintptr_t wParam, intptr_t lParam);

/* Any thread. A NULL proc unregisters the window. */
RDR00800_CAPI void Rdr00800_RegisterWindow(uint32_t handle, Rdr00800WindowProc proc, void* context);
RDR00800_CAPI void Rdr00800_UnregisterWindow(uint32_t handle);
RDR00800_CAPI intptr_t Rdr00800_SendMessageA(uint32_t handle, uint32_t msg, uintptr_t wParam, intptr_t lParam);
RDR00800_CAPI void Rdr00800_PostTextHandle(uint32_t handle, const char* text);

/* Runs queued synchronized calls on the main thread; nonzero when any ran. */
RDR00800_CAPI int Rdr00800_CheckSynchronize(int32_t timeoutMs);
/* wake(context) is called on the queuing thread whenever a call is queued;
 * NULL removes it. */
RDR00800_CAPI void Rdr00800_SetWakeMainThread(void (*wake)(void* context), void* context);

typedef struct Rdr00800ScannerThread Rdr00800ScannerThread;
/* Created suspended. */
RDR00800_CAPI Rdr00800ScannerThread* Rdr00800_ScannerThread_Create(uint32_t priority, uint32_t targetHandle);
RDR00800_CAPI void Rdr00800_ScannerThread_Start(Rdr00800ScannerThread* thread);
RDR00800_CAPI void Rdr00800_ScannerThread_Terminate(Rdr00800ScannerThread* thread);
/* Waits for the end while serving synchronized calls; nonzero when the thread
 * ended with an error. */
RDR00800_CAPI int Rdr00800_ScannerThread_WaitFor(Rdr00800ScannerThread* thread);
RDR00800_CAPI int Rdr00800_ScannerThread_Finished(const Rdr00800ScannerThread* thread);
/* Terminates, waits and frees. NULL is fine. */
RDR00800_CAPI void Rdr00800_ScannerThread_Free(Rdr00800ScannerThread* thread);
/* The RDR00800_READ_* status of the thread's latest poll; any thread. NULL
 * gives RDR00800_READ_OK. */
RDR00800_CAPI int32_t Rdr00800_ScannerThread_LastStatus(const Rdr00800ScannerThread* thread);

/* ---- Decryption gateway ----
 * The library "KQZR32.dll" is searched for by full path: the decryption
 * library directory (the host executable's unless set below); on Windows the
 * system directory, the Windows directory and each absolute PATH entry (on
 * Linux the dynamic loader's search path); never the working directory.
 * LeitorDescriptoDll checks that "KQZR32.DLL" exists in the given directory
 * but loads the library through this order, so that copy is loaded only when
 * its directory is on it. The trace names the file loaded. */
/* Where to look first in place of the executable's directory (an
 * interpreter's holds no library of the host's); the resident style also
 * passes it to the library. NULL or "" goes back to the executable's. */
RDR00800_CAPI void Rdr00800_SetDecryptionLibraryDirectory(const char* directory);
RDR00800_CAPI void Rdr00800_StartDigVerif(void);
RDR00800_CAPI void Rdr00800_StopDigVerif(void);
RDR00800_CAPI int Rdr00800_DigVerifOK(void);
RDR00800_CAPI char* Rdr00800_GetMatriculaDV(const char* code);
/* Plain export name. *result is replaced by a new library text only when the
 * library was called; what the caller had there is never freed by the library.
 * Nonzero when *result holds a decrypted code. On 0, Rdr00800_LastError says
 * why in one English line, after the message shown through the host framework
 * (or the database's diagnostics) and a line feed when there was one. A
 * database error leaves *result alone. */
RDR00800_CAPI int LeitorDescriptoDll(char** result, const char* directory, const char* code);

#ifdef __cplusplus
}
#endif

#endif /* RDR00800_C_H */

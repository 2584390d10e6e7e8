/* The scanner's C entries, used from C: a window procedure with a context,
 * the relay through CheckSynchronize, and the thread's create/free pair. */
#include <stdint.h>
#include <string.h>

#include "rdr00800/rdr00800.h"

#define TYPED_LIMIT 64

typedef struct TypedWindow {
  char typed[TYPED_LIMIT];
  size_t length;
  int enters;
} TypedWindow;

static intptr_t RecordMessage(void* context, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  TypedWindow* window = (TypedWindow*)context;
  (void)lParam;
  if (window->length + 1 >= TYPED_LIMIT) return 0;
  window->typed[window->length++] = msg == RDR00800_WM_CHAR ? (char)wParam : '\n';
  if (msg == RDR00800_WM_KEYDOWN && wParam == RDR00800_VK_RETURN) ++window->enters;
  return 1;
}

static int wakes;
static void CountWake(void* context) {
  (void)context;
  ++wakes;
}

const char* RunScannerCAbiChecks(const char* devicePath) {
  const uint32_t handle = 0xC0DE;
  TypedWindow window;
  Rdr00800ScannerThread* thread;
  int round;
  memset(&window, 0, sizeof window);
  wakes = 0;

  Rdr00800_RegisterWindow(handle, RecordMessage, &window);
  if (Rdr00800_SendMessageA(handle, 0x0102, 'x', 0) != 1) return "SendMessageA did not reach the procedure";
  Rdr00800_PostTextHandle(handle, NULL);
  if (strcmp(window.typed, "x\n") != 0) return "a NULL text is not the empty text";
  memset(&window, 0, sizeof window);

  Rdr00800_SetPortDevice("COM5", devicePath);
  Rdr00800_SetSetting(RDR00800_ID_PORTA_OPT, 5);
  Rdr00800_SetSetting(RDR00800_ID_VELOC_OPT, 5);
  Rdr00800_SetWakeMainThread(CountWake, NULL);
  thread = Rdr00800_ScannerThread_Create(RDR00800_TP_NORMAL, handle);
  if (!thread) return "create failed";
  Rdr00800_ScannerThread_Start(thread);
  for (round = 0; round < 500 && window.enters == 0; ++round) Rdr00800_CheckSynchronize(20);
  Rdr00800_ScannerThread_Terminate(thread);
  if (Rdr00800_ScannerThread_WaitFor(thread) != 0) return "the thread ended with an error";
  if (!Rdr00800_ScannerThread_Finished(thread)) return "not finished after WaitFor";
  Rdr00800_ScannerThread_Free(thread);
  Rdr00800_ScannerThread_Free(NULL);
  Rdr00800_SetWakeMainThread(NULL, NULL);
  Rdr00800_SetPortDevice("COM5", NULL);
  Rdr00800_RegisterWindow(handle, NULL, NULL);

  if (strcmp(window.typed, "C1\r\n") != 0) return "the code was not typed";
  if (wakes != 1) return "the host was not woken once";
  if (Rdr00800_SendMessageA(handle, 0x0102, 'x', 0) != 0) return "a NULL procedure did not unregister";
  return NULL;
}

/* The session's C entries: codes one by one (a repeat within the hold
 * left out), status, cancel, NULL handles, and the setting that puts scanner
 * threads on a session. */
const char* RunSessionCAbiChecks(const char* devicePath) {
  Rdr00800Session* session = Rdr00800_Session_Open(devicePath, 9600, 20);
  char* code;
  char* message;
  int same;
  if (!session) return "open failed";
  if (Rdr00800_Session_SetFraming(session, 2) != 0 ||
      Rdr00800_Session_SetFraming(session, RDR00800_FRAMING_LINE_ENDS) != 1) {
    return "framing 2 was not refused, or line ends not taken";
  }
  Rdr00800_Session_SetRepeatHold(session, 60000);
  code = Rdr00800_Session_NextCode(session, 10000);
  same = code && strcmp(code, "S1") == 0;
  Rdr00800_FreeText(code);
  if (!same) return "the first code is not S1";
  code = Rdr00800_Session_NextCode(session, 10000);
  same = code && strcmp(code, "S2") == 0;
  Rdr00800_FreeText(code);
  if (!same) return "the second code is not S2";
  if (Rdr00800_Session_Status(session) != RDR00800_READ_OK) return "status is not OK while the port is open";
  message = Rdr00800_Session_StatusMessage(session);
  same = message && message[0] == '\0';
  Rdr00800_FreeText(message);
  if (!same) return "the message is not empty while OK";
  Rdr00800_Session_Cancel(session);
  if (Rdr00800_Session_NextCode(session, 60000) != NULL) return "a cancelled wait gave a code";
  Rdr00800_Session_Close(session);

  if (Rdr00800_Session_NextCode(NULL, 10) != NULL || Rdr00800_Session_Status(NULL) != RDR00800_READ_OK) {
    return "a NULL session is not ignored";
  }
  Rdr00800_Session_Cancel(NULL);
  Rdr00800_Session_SetRepeatHold(NULL, 10);
  if (Rdr00800_Session_SetFraming(NULL, RDR00800_FRAMING_STX_ETX) != 0) return "a NULL session took a framing";
  Rdr00800_Session_Close(NULL);
  Rdr00800_FreeText(Rdr00800_Session_StatusMessage(NULL));

  if (Rdr00800_SetSetting(RDR00800_SCANNER_HOLDS_PORT, 5) != 1 ||
      Rdr00800_GetSetting(RDR00800_SCANNER_HOLDS_PORT) != 1) {
    return "the setting does not read back as 1";
  }
  Rdr00800_SetSetting(RDR00800_SCANNER_HOLDS_PORT, 0);
  if (Rdr00800_GetSetting(RDR00800_SCANNER_HOLDS_PORT) != 0) return "the setting does not read back as 0";
  return NULL;
}

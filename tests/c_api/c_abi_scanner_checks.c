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

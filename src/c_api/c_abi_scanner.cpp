// C interface of the window layer, the synchronized-call queue and the
// scanner thread.
#include "c_api/c_abi_support.h"
#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"

static_assert(RDR00800_WM_KEYDOWN == Rdr00800::kWmKeyDown && RDR00800_WM_CHAR == Rdr00800::kWmChar &&
              RDR00800_VK_RETURN == Rdr00800::kVkReturn);
static_assert(RDR00800_TP_IDLE == Rdr00800::tpIdle && RDR00800_TP_LOWEST == Rdr00800::tpLowest &&
              RDR00800_TP_LOWER == Rdr00800::tpLower && RDR00800_TP_NORMAL == Rdr00800::tpNormal &&
              RDR00800_TP_HIGHER == Rdr00800::tpHigher && RDR00800_TP_HIGHEST == Rdr00800::tpHighest &&
              RDR00800_TP_TIME_CRITICAL == Rdr00800::tpTimeCritical);

// The opaque handle is the C++ object itself.
struct Rdr00800ScannerThread : Rdr00800::TScannerThread {
  using TScannerThread::TScannerThread;
};

extern "C" {

using namespace Rdr00800;

void Rdr00800_RegisterWindow(uint32_t handle, Rdr00800WindowProc proc, void* context) {
  detail::GuardedVoid([&] {
    if (!proc) {
      UnregisterWindow(handle);
      return;
    }
    RegisterWindow(handle, [proc, context](uint32_t msg, uintptr_t wParam, intptr_t lParam) {
      return proc(context, msg, wParam, lParam);
    });
  });
}

void Rdr00800_UnregisterWindow(uint32_t handle) {
  detail::GuardedVoid([&] { UnregisterWindow(handle); });
}

intptr_t Rdr00800_SendMessageA(uint32_t handle, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  return detail::Guarded<intptr_t>(0, [&] { return SendMessageA(handle, msg, wParam, lParam); });
}

void Rdr00800_PostTextHandle(uint32_t handle, const char* text) {
  detail::GuardedVoid([&] { PostTextHandle(handle, detail::TextArg(text)); });
}

int Rdr00800_CheckSynchronize(int32_t timeoutMs) {
  return detail::Guarded(0, [&] { return CheckSynchronize(timeoutMs) ? 1 : 0; });
}

void Rdr00800_SetWakeMainThread(void (*wake)(void* context), void* context) {
  detail::GuardedVoid([&] {
    if (wake)
      SetWakeMainThread([wake, context] { wake(context); });
    else
      SetWakeMainThread(nullptr);
  });
}

Rdr00800ScannerThread* Rdr00800_ScannerThread_Create(uint32_t priority, uint32_t targetHandle) {
  return detail::Guarded<Rdr00800ScannerThread*>(nullptr,
                                                 [&] { return new Rdr00800ScannerThread(priority, targetHandle); });
}

void Rdr00800_ScannerThread_Start(Rdr00800ScannerThread* thread) {
  detail::GuardedVoid([&] {
    if (thread) thread->Start();
  });
}

void Rdr00800_ScannerThread_Terminate(Rdr00800ScannerThread* thread) {
  detail::GuardedVoid([&] {
    if (thread) thread->Terminate();
  });
}

int Rdr00800_ScannerThread_WaitFor(Rdr00800ScannerThread* thread) {
  return detail::Guarded(0, [&] {
    if (!thread) return 0;
    thread->WaitFor();
    return thread->FatalException() ? 1 : 0;
  });
}

int Rdr00800_ScannerThread_Finished(const Rdr00800ScannerThread* thread) {
  return detail::Guarded(0, [&] { return thread && thread->Finished() ? 1 : 0; });
}

void Rdr00800_ScannerThread_Free(Rdr00800ScannerThread* thread) {
  detail::GuardedVoid([&] { delete thread; });
}

int32_t Rdr00800_ScannerThread_LastStatus(const Rdr00800ScannerThread* thread) {
  return detail::Guarded(0, [&] { return static_cast<int32_t>(thread ? thread->LastStatus() : ReadStatus::Ok); });
}

}  // extern "C"

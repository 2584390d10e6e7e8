// TThread over std::thread, and the main thread's queue of synchronized calls.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "rdr00800/Rdr00800.h"
#include "runtime/main_thread.h"
#include "runtime/thread_priority.h"

namespace Rdr00800 {

struct TThread::State {
  explicit State(TThread* self) : owner(self) {}

  TThread* const owner;
  std::thread worker;
  std::atomic<bool> terminated{false};
  std::atomic<bool> finished{false};
  std::atomic<bool> freeOnTerminate{false};
  std::atomic<uint32_t> returnValue{0};

  // Guards what follows; `changed` signals termination (for Sleep) and the end.
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;
  uint8_t priority = tpNormal;
  std::optional<int64_t> nativeId;  // set while the thread runs
  std::exception_ptr fatal;

  // Guarded by the call queue's mutex: set when the object is destroyed off the
  // main thread, so this thread's calls are dropped instead of waited for.
  bool dropCalls = false;
};

namespace {

// A synchronized call waiting for the main thread. It lives on the stack of
// the thread that queued it until `done` or `dropped` is set.
struct QueuedCall {
  const std::function<void()>* method = nullptr;
  const void* owner = nullptr;  // the queuing thread's state, only compared
  std::exception_ptr error;
  bool done = false;
  bool dropped = false;
  std::condition_variable completed;
};

struct CallQueue {
  std::mutex mutex;
  // Signalled when a call is queued or a thread ends, both of which the main
  // thread may be waiting for.
  std::condition_variable activity;
  std::deque<QueuedCall*> calls;
  std::function<void()> wake;
};

// Never destroyed: a free-on-terminate thread may still be finishing (and
// touching the queue) while the process runs its exit handlers.
CallQueue& Queue() {
  static CallQueue* queue = new CallQueue;
  return *queue;
}

// Runs every call queued so far; `lock` holds the queue's mutex on entry and
// on return, and is released while each call runs. Main thread only.
bool RunQueuedCalls(std::unique_lock<std::mutex>& lock) {
  CallQueue& queue = Queue();
  std::deque<QueuedCall*> batch;
  batch.swap(queue.calls);
  for (QueuedCall* call : batch) {
    lock.unlock();
    std::exception_ptr error;
    try {
      (*call->method)();
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    call->error = error;
    call->done = true;
    // Notified under the lock: once it is released the caller may return and
    // take the condition variable with it.
    call->completed.notify_one();
  }
  return !batch.empty();
}

// Serves synchronized calls until `finished` is set. Main thread only.
void ServeCallsUntil(const std::atomic<bool>& finished) {
  CallQueue& queue = Queue();
  std::unique_lock lock(queue.mutex);
  while (!finished.load()) {
    if (queue.calls.empty())
      queue.activity.wait(lock);
    else
      RunQueuedCalls(lock);
  }
}

void NotifyMainThreadOfActivity() {
  CallQueue& queue = Queue();
  // Taking the mutex orders this after a waiter's check of its condition.
  { std::lock_guard lock(queue.mutex); }
  queue.activity.notify_all();
}

}  // namespace

TThread::TThread(bool createSuspended) : state_(std::make_shared<State>(this)) {
  if (!createSuspended) Start();
}

TThread::~TThread() {
  TerminateAndWait();
  if (!state_->worker.joinable()) return;
  if (state_->worker.get_id() == std::this_thread::get_id())
    state_->worker.detach();  // free-on-terminate: the thread deletes itself
  else
    state_->worker.join();
}

void TThread::TerminateAndWait() {
  Terminate();
  if (!detail::IsMainThread()) {
    // Nobody may be serving calls while this thread waits: drop ours.
    CallQueue& queue = Queue();
    std::lock_guard lock(queue.mutex);
    state_->dropCalls = true;
    auto ours = std::stable_partition(queue.calls.begin(), queue.calls.end(),
                                      [this](const QueuedCall* call) { return call->owner != state_.get(); });
    for (auto it = ours; it != queue.calls.end(); ++it) {
      (*it)->dropped = true;
      (*it)->completed.notify_one();
    }
    queue.calls.erase(ours, queue.calls.end());
  }
  WaitFor();
}

void TThread::Start() {
  std::lock_guard starting(state_->mutex);
  if (state_->started) return;
  state_->started = true;
  state_->worker = std::thread([state = state_] {
    {
      // Start holds the mutex until `worker` is assigned.
      std::lock_guard lock(state->mutex);
      state->nativeId = detail::CurrentNativeThreadId();
      detail::ApplyThreadPriority(*state->nativeId, state->priority);
    }
    std::exception_ptr fatal;
    try {
      state->owner->Execute();
    } catch (...) {
      fatal = std::current_exception();
    }
    bool freeSelf;
    {
      std::lock_guard lock(state->mutex);
      state->fatal = fatal;
      state->nativeId.reset();
      freeSelf = state->freeOnTerminate.load();
      state->finished = true;
    }
    state->changed.notify_all();
    NotifyMainThreadOfActivity();
    // Without free-on-terminate the owner may already be gone; with it,
    // nobody else may delete it.
    if (freeSelf) delete state->owner;
  });
}

void TThread::Terminate() {
  {
    std::lock_guard lock(state_->mutex);
    state_->terminated = true;
  }
  state_->changed.notify_all();
  TerminatedSet();
}

void TThread::TerminatedSet() {}

bool TThread::Terminated() const { return state_->terminated.load(); }
bool TThread::Finished() const { return state_->finished.load(); }

bool TThread::Suspended() const {
  std::lock_guard lock(state_->mutex);
  return !state_->started;
}

uint32_t TThread::WaitFor() {
  {
    std::lock_guard lock(state_->mutex);
    // Waiting on itself would never end.
    if (!state_->started || state_->worker.get_id() == std::this_thread::get_id()) return ReturnValue();
  }
  if (detail::IsMainThread()) {
    ServeCallsUntil(state_->finished);
  } else {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [this] { return state_->finished.load(); });
  }
  return ReturnValue();
}

void TThread::SetPriority(uint8_t priority) {
  std::lock_guard lock(state_->mutex);
  state_->priority = std::min<uint8_t>(priority, tpTimeCritical);
  if (state_->nativeId) detail::ApplyThreadPriority(*state_->nativeId, state_->priority);
}

uint8_t TThread::Priority() const {
  std::lock_guard lock(state_->mutex);
  return state_->priority;
}

void TThread::SetFreeOnTerminate(bool freeOnTerminate) { state_->freeOnTerminate = freeOnTerminate; }
bool TThread::FreeOnTerminate() const { return state_->freeOnTerminate.load(); }

std::exception_ptr TThread::FatalException() const {
  std::lock_guard lock(state_->mutex);
  return state_->fatal;
}

uint32_t TThread::ReturnValue() const { return state_->returnValue.load(); }
void TThread::SetReturnValue(uint32_t value) { state_->returnValue = value; }

void TThread::Synchronize(const std::function<void()>& method) {
  if (detail::IsMainThread()) {
    method();
    return;
  }
  CallQueue& queue = Queue();
  QueuedCall call;
  call.method = &method;
  call.owner = state_.get();
  std::function<void()> wake;
  {
    std::lock_guard lock(queue.mutex);
    if (state_->dropCalls) return;
    queue.calls.push_back(&call);
    wake = queue.wake;
  }
  queue.activity.notify_all();
  if (wake) wake();
  std::unique_lock lock(queue.mutex);
  call.completed.wait(lock, [&call] { return call.done || call.dropped; });
  if (call.error) std::rethrow_exception(call.error);
}

void TThread::Sleep(uint32_t milliseconds) {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return state_->terminated.load(); });
}

bool CheckSynchronize(int32_t timeoutMs) {
  if (!detail::IsMainThread()) return false;
  CallQueue& queue = Queue();
  std::unique_lock lock(queue.mutex);
  if (timeoutMs > 0)
    queue.activity.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&queue] { return !queue.calls.empty(); });
  return RunQueuedCalls(lock);
}

void SetWakeMainThread(std::function<void()> wake) {
  CallQueue& queue = Queue();
  std::lock_guard lock(queue.mutex);
  queue.wake = std::move(wake);
}

}  // namespace Rdr00800

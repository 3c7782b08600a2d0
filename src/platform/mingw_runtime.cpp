// The Windows DLL's share of its compiler's runtime (it carries libgcc and
// libstdc++ inside), replaced or released so that unloading the DLL leaves
// nothing behind: a host that loads the plugin for each job would otherwise
// lose some every time.  No operating-system service; it sits here because it
// talks to Windows.  Linked into the module only: in a test program the
// runtime's own storage lasts as long as the process anyway.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <mutex>

#include "platform/platform.h"

namespace __gnu_cxx {
// libstdc++'s own way to free its reserve for exceptions (eh_alloc.cc).
void __freeres() noexcept;
}  // namespace __gnu_cxx

// Thread-local storage.  Why: GCC emulates it (the exception machinery's
// per-thread record, any thread_local) through winpthreads keys, whose lock,
// event, thread handle and TLS slot outlive the DLL.  This keeps every
// variable on one native TLS slot of the module's own instead.

namespace {

// The compiler's record of one thread-local variable, laid out as GCC's
// emulated TLS expects (libgcc's __emutls_object).
struct EmulatedTlsVariable {
  std::uintptr_t size;
  std::uintptr_t align;
  std::uintptr_t number;  // 1-based, given on first use; 0 until then
  const void* initial;    // initial bytes, or null for zeros
};

// One thread's variables, listed so that unloading can free every thread's.
struct ThreadVariables {
  ThreadVariables* next;
  ThreadVariables* previous;
  std::size_t count;
  void** values;
};

// All constant-initialized: thread-local variables may be used by static
// constructors before any of this module's own code has run.
platform::Mutex tls_lock;
DWORD tls_slot = TLS_OUT_OF_INDEXES;
std::uintptr_t tls_numbers_given = 0;
ThreadVariables* tls_threads = nullptr;
bool unloading = false;

[[noreturn]] void OutOfThreadStorage() {
  // There is no way to go on without the variable; the runtime's own
  // emulation gives up the same way.
  std::abort();
}

void* NewVariable(const EmulatedTlsVariable& variable) {
  const std::size_t align = std::max<std::size_t>(variable.align, sizeof(void*));
  void* value = ::_aligned_malloc(std::max<std::size_t>(variable.size, 1), align);
  if (!value) OutOfThreadStorage();
  if (variable.initial) {
    std::memcpy(value, variable.initial, variable.size);
  } else {
    std::memset(value, 0, variable.size);
  }
  return value;
}

void FreeVariables(ThreadVariables* thread) {
  for (std::size_t i = 0; i < thread->count; ++i) ::_aligned_free(thread->values[i]);
  std::free(thread->values);
  std::free(thread);
}

// The calling thread's variables with room for `number`; tls_lock held.
ThreadVariables* ThreadVariablesFor(ThreadVariables* thread, std::uintptr_t number) {
  if (!thread) {
    thread = static_cast<ThreadVariables*>(std::calloc(1, sizeof(ThreadVariables)));
    if (!thread || !::TlsSetValue(tls_slot, thread)) OutOfThreadStorage();
    thread->next = tls_threads;
    if (tls_threads) tls_threads->previous = thread;
    tls_threads = thread;
  }
  if (thread->count < number) {
    const std::size_t count = std::max<std::size_t>(tls_numbers_given, number) + 8;
    auto* values = static_cast<void**>(std::realloc(thread->values, count * sizeof(void*)));
    if (!values) OutOfThreadStorage();
    std::fill(values + thread->count, values + count, nullptr);
    thread->values = values;
    thread->count = count;
  }
  return thread;
}

// The calling thread's variables go when the thread ends.
void ReleaseThreadVariables() noexcept {
  std::lock_guard guard(tls_lock);
  if (tls_slot == TLS_OUT_OF_INDEXES) return;
  auto* thread = static_cast<ThreadVariables*>(::TlsGetValue(tls_slot));
  if (!thread) return;
  ::TlsSetValue(tls_slot, nullptr);
  if (thread->previous) thread->previous->next = thread->next;
  if (thread->next) thread->next->previous = thread->previous;
  if (tls_threads == thread) tls_threads = thread->next;
  FreeVariables(thread);
}

// Every thread's variables and the slot go when the module is unloaded: no
// code of the module runs any more on any thread.
void ReleaseAllThreadVariables() noexcept {
  std::lock_guard guard(tls_lock);
  while (ThreadVariables* thread = tls_threads) {
    tls_threads = thread->next;
    FreeVariables(thread);
  }
  if (tls_slot != TLS_OUT_OF_INDEXES) ::TlsFree(tls_slot);
  tls_slot = TLS_OUT_OF_INDEXES;
}

// The release at unload.  Why: nothing else frees the variables of threads
// still alive, nor the 70 KiB libstdc++ keeps for exceptions thrown when
// memory runs out.  This runs after every other static destructor of the
// module (it is constructed first), when nothing needs a variable any more.
struct RuntimeRelease {
  RuntimeRelease() = default;
  RuntimeRelease(const RuntimeRelease&) = delete;
  RuntimeRelease& operator=(const RuntimeRelease&) = delete;
  ~RuntimeRelease() {
    // At the end of the process the system takes everything back, and other
    // threads may have stopped anywhere.
    if (!unloading) return;
    ReleaseAllThreadVariables();
    __gnu_cxx::__freeres();
  }
};

RuntimeRelease runtime_release __attribute__((init_priority(101)));

}  // namespace

// The compiler calls this for every use of a thread-local variable; this
// definition takes the place of libgcc's.
extern "C" void* __emutls_get_address(EmulatedTlsVariable* variable) {
  // GetLastError stays as it was: code reading an error after a failed call
  // may touch a thread-local variable (the exception being thrown) first.
  const DWORD last_error = ::GetLastError();
  std::uintptr_t number = __atomic_load_n(&variable->number, __ATOMIC_ACQUIRE);
  ThreadVariables* thread = nullptr;
  if (number != 0) thread = static_cast<ThreadVariables*>(::TlsGetValue(tls_slot));
  if (number == 0 || !thread || thread->count < number) {
    std::lock_guard guard(tls_lock);
    if (tls_slot == TLS_OUT_OF_INDEXES) {
      tls_slot = ::TlsAlloc();
      if (tls_slot == TLS_OUT_OF_INDEXES) OutOfThreadStorage();
    }
    number = variable->number;
    if (number == 0) {
      number = ++tls_numbers_given;
      __atomic_store_n(&variable->number, number, __ATOMIC_RELEASE);
    }
    thread = ThreadVariablesFor(static_cast<ThreadVariables*>(::TlsGetValue(tls_slot)), number);
  }
  void*& value = thread->values[number - 1];
  if (!value) value = NewVariable(*variable);
  ::SetLastError(last_error);
  return value;
}

// DllMain.  Why: only the DLL's entry point hears that a thread ends, so its
// variables can go at once, and whether the DLL is unloaded or the process
// ends.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_THREAD_DETACH) ReleaseThreadVariables();
  // A null `reserved` means FreeLibrary, not the end of the process.
  if (reason == DLL_PROCESS_DETACH) unloading = reserved == nullptr;
  return TRUE;
}

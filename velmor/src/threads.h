// A registry of running threads and the system's sleeping helper. thread_create starts a
// detached POSIX thread and registers it with a name and a caller-chosen numeric kind, so that a
// program can list or count its threads. The start routine receives the thread's ThreadInfo
// (its own argument is in arg) and calls info->remove(info) as the last thing it does, which
// takes the record out of the registry and frees it.
//
// Thread rules: every function may be called from any thread. The registry changes only under
// the registry mutex (thread_registry_mutex). A ThreadInfo is valid until its thread removes
// itself (or thread_cancel removes it); a thread should use pthread_self() rather than reading
// its handle from the record.
#ifndef VELMOR_THREADS_H_
#define VELMOR_THREADS_H_

#include <pthread.h>
#include <stdint.h>

#include "Mutex_pthreads.h"

struct ThreadInfo;

// Start routine of a registered thread; it receives its ThreadInfo*.
typedef void* (*ThreadProc)(void* info);
typedef int (*ThreadRemoveProc)(ThreadInfo* info);

// One per registered thread; allocated zero-filled with the untracked allocator.
struct ThreadInfo {
  pthread_t handle;         // set by thread_create before the thread can remove itself
  int32_t kind;             // groups threads for print_threads_of_kind / thread_count_of_kind
  void* arg;                // the caller's argument for the thread
  char name[256];           // the thread's name, cut to 255 bytes, terminated
  ThreadRemoveProc remove;  // always thread_remove
};

// Registers and starts a detached thread running proc(info); name may be null. Returns the
// record, or null if the thread could not be started (nothing stays registered then).
ThreadInfo* thread_create(ThreadProc proc, void* arg, const char* name, int32_t kind);
// Takes info out of the registry and frees it. A record that is no longer registered is left
// alone. Returns 0.
int thread_remove(ThreadInfo* info);
// Requests cancellation of the thread; on success removes its record and returns true. If the
// request fails, returns false and leaves the record registered.
bool thread_cancel(ThreadInfo* info);
// Starts an unregistered thread running proc(arg) and detaches it; true on success.
bool thread_create_detached(ThreadProc proc, void* arg);
// Sets the system name of thread when name is not null (names the system refuses are ignored).
void thread_set_name(pthread_t thread, const char* name);
// Prints "Running threads:", " [name]" per registered thread and a newline to standard output.
void print_threads();
// The same for the threads of one kind.
void print_threads_of_kind(int32_t kind);
// Number of registered threads.
int32_t thread_count();
// Number of registered threads of one kind.
int32_t thread_count_of_kind(int32_t kind);
// The registry mutex, for callers that must hold it across several calls.
Orvex_Mutex_pthreads* thread_registry_mutex();

// Sleeps amount milliseconds when msec is set, amount seconds otherwise; returns at once for 0
// or less. Signals do not shorten the sleep.
void safe_sleep(int32_t amount, bool msec);

#endif  // VELMOR_THREADS_H_

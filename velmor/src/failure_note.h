// Failure notes: the last low-level failure of the calling thread, as the place it concerns
// (a URL, host or path) and the operating system's reason ("Connection refused"). Layers that
// report failures as codes or fixed texts write a note where they fail; a program that shows
// an error reads the note to say where and why. A note is only a hint: read it right after a
// failed call, and clear it before a call whose failure you want to explain.
//
// Detail lines: layers also describe what they do (the address fetched, its outcome) through
// Detail; a program that shows them (--verbose) installs a sink, others drop them.
//
// Thread rules: each thread has its own note; no locks. The detail sink is process-wide: set it
// before other threads start; the sink itself must be safe to call from any thread.
#ifndef VELMOR_FAILURE_NOTE_H_
#define VELMOR_FAILURE_NOTE_H_

#include <string>

struct FailureNote {
  std::string target;  // URL, host or path; empty when no failure was noted
  std::string reason;  // the system's text for the failure; may be empty
};

// Replaces the calling thread's note. A null text counts as empty.
void NoteFailure(const char* target, const char* reason);
// Like NoteFailure, with strerror(err) as the reason (no reason when err is 0).
void NoteFailureErrno(const char* target, int err);
// Replaces the calling thread's note with one taken on another thread (a worker's failure
// handed to the thread that reports it); no detail line, the worker's note gave it already.
void SetFailureNote(const FailureNote& note);
// The calling thread's note; empty target when nothing was noted since the last clear.
FailureNote LastFailureNote();
// Empties the calling thread's note.
void ClearFailureNote();

// Installs the receiver of detail lines (text without a newline); null drops them.
void SetDetailSink(void (*sink)(const char* line));
// Formats one detail line and hands it to the sink, if any. NoteFailure passes on every note
// with a reason ("TARGET: REASON") the same way.
void Detail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#endif  // VELMOR_FAILURE_NOTE_H_

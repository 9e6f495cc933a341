// Failure notes: the last low-level failure of the calling thread, as the place it concerns
// (a URL, host or path) and the operating system's reason ("Connection refused"). Layers that
// report failures as codes or fixed texts write a note where they fail; a program that shows
// an error reads the note to say where and why. A note is only a hint: read it right after a
// failed call, and clear it before a call whose failure you want to explain.
//
// Thread rules: each thread has its own note; no locks.
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
// The calling thread's note; empty target when nothing was noted since the last clear.
FailureNote LastFailureNote();
// Empties the calling thread's note.
void ClearFailureNote();

#endif  // VELMOR_FAILURE_NOTE_H_

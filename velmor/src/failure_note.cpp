#include "failure_note.h"

#include <string.h>

namespace {

thread_local FailureNote t_note;

}  // namespace

void NoteFailure(const char* target, const char* reason) {
  t_note.target = target ? target : "";
  t_note.reason = reason ? reason : "";
}

void NoteFailureErrno(const char* target, int err) {
  char buf[256];
  // The GNU strerror_r may return a static text instead of filling buf.
  const char* text = err ? strerror_r(err, buf, sizeof(buf)) : "";
  NoteFailure(target, text);
}

FailureNote LastFailureNote() { return t_note; }

void ClearFailureNote() { t_note = FailureNote(); }

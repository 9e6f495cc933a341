#include "failure_note.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

thread_local FailureNote t_note;
void (*g_detail_sink)(const char* line) = nullptr;

}  // namespace

void NoteFailure(const char* target, const char* reason) {
  t_note.target = target ? target : "";
  t_note.reason = reason ? reason : "";
  if (!t_note.reason.empty()) Detail("%s: %s", t_note.target.c_str(), t_note.reason.c_str());
}

void NoteFailureErrno(const char* target, int err) {
  char buf[256];
  // The GNU strerror_r may return a static text instead of filling buf.
  const char* text = err ? strerror_r(err, buf, sizeof(buf)) : "";
  NoteFailure(target, text);
}

void SetFailureNote(const FailureNote& note) { t_note = note; }

FailureNote LastFailureNote() { return t_note; }

void ClearFailureNote() { t_note = FailureNote(); }

void SetDetailSink(void (*sink)(const char* line)) { g_detail_sink = sink; }

void Detail(const char* fmt, ...) {
  if (!g_detail_sink) return;
  char line[1024];
  va_list args;
  va_start(args, fmt);
  vsnprintf(line, sizeof(line), fmt, args);
  va_end(args);
  g_detail_sink(line);
}

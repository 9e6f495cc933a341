// Text form of the commit journal.
#include "journal.h"

#include <stdlib.h>

#include <sstream>

namespace journal_paths {
const char kJournal[] = "tmp/updater/journal";
const char kStage[] = "tmp/updater/stage";
const char kUndo[] = "tmp/updater/undo";
const char kBackup[] = "tmp/updater/backup";
const char kManifest[] = "manifest";
}  // namespace journal_paths

namespace {

const char kHeader[] = "updater-journal 1";
const char kEnd[] = "end";

std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

bool parseMode(const std::string& text, uint32_t* mode) {
  char* end = nullptr;
  unsigned long v = strtoul(text.c_str(), &end, 8);
  if (text.empty() || *end != '\0' || v > 07777) return false;
  *mode = static_cast<uint32_t>(v);
  return true;
}

bool decodeStep(const std::vector<std::string>& f, JournalStep* step) {
  if (f[0] == "I" && f.size() == 4) {
    step->kind = JournalStep::kInstall;
    step->target = f[1];
    step->staged = f[2];
    step->backup = f[3];
    return !step->target.empty() && !step->staged.empty();
  }
  if (f[0] == "R" && f.size() == 3) {
    step->kind = JournalStep::kRemove;
    step->target = f[1];
    step->backup = f[2];
    return !step->target.empty() && !step->backup.empty();
  }
  if (f[0] == "M" && f.size() == 4) {
    step->kind = JournalStep::kModes;
    step->target = f[1];
    return !step->target.empty() && parseMode(f[2], &step->oldMode) &&
           parseMode(f[3], &step->newMode);
  }
  return false;
}

}  // namespace

std::string EncodeJournal(const Journal& j) {
  std::ostringstream out;
  out << kHeader << "\n"
      << (j.direction == Journal::kForward ? "forward" : "back") << "\n"
      << j.backupDir << "\n";
  for (const JournalStep& s : j.steps) {
    switch (s.kind) {
      case JournalStep::kInstall:
        out << "I\t" << s.target << "\t" << s.staged << "\t" << s.backup << "\n";
        break;
      case JournalStep::kRemove:
        out << "R\t" << s.target << "\t" << s.backup << "\n";
        break;
      case JournalStep::kModes:
        out << "M\t" << s.target << "\t" << std::oct << s.oldMode << "\t" << s.newMode << std::dec
            << "\n";
        break;
    }
  }
  out << kEnd << "\n";
  return out.str();
}

bool DecodeJournal(const std::string& text, Journal* j) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) return false;
  if (!std::getline(in, line) || (line != "forward" && line != "back")) return false;
  j->direction = line == "forward" ? Journal::kForward : Journal::kBack;
  if (!std::getline(in, j->backupDir) || j->backupDir.empty()) return false;
  j->steps.clear();
  while (std::getline(in, line)) {
    if (line == kEnd) return true;
    JournalStep step;
    if (!decodeStep(splitTabs(line), &step)) return false;
    j->steps.push_back(step);
  }
  return false;
}

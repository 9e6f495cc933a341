// The Updater object itself: settings, reset, messages and read-only views. The steps of an
// update live in parse.cpp, plan.cpp, stage.cpp, commit.cpp and state.cpp.
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include "GenLib.h"
#include "confined_dir.h"
#include "engine_internal.h"
#include "file_check.h"
#include "libupdater.h"
#include "memleak.h"
#include "run_guard.h"

#define UPD_SRC "libupdater/updater"

namespace engine {

const char kInfoFile[] = "updater-info.xml";
const char kUnpackSuffix[] = ".unpacked";
const char kStagingDir[] = "tmp/updater";
const char kStateFile[] = "stat cache";

std::string vformat(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = vsnprintf(small, sizeof(small), fmt, copy);
  va_end(copy);
  if (n < 0) return "vasprintf error";
  if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
  std::string s(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&s[0], s.size(), fmt, args);
  s.resize(static_cast<size_t>(n));
  return s;
}

bool pathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool endsWith(const std::string& path, const char* suffix) {
  size_t n = strlen(suffix);
  return path.size() >= n && path.compare(path.size() - n, std::string::npos, suffix) == 0;
}

}  // namespace engine

Updater::Updater() : lock_(DEFAULT_LOCK_TIMEOUT) {}

Updater::~Updater() {
  AutoMutex hold(lock_);
  reset();
  closeInfoFile();
}

bool Updater::setup(const char* channelUrl, const char* baseDir, const char* programName,
                    const char* iniFile, UpdaterCallbacks* callbacks) {
  AutoMutex hold(lock_);
  reset();
  channelUrl_ = channelUrl ? channelUrl : "";
  baseDir_ = baseDir ? baseDir : "";
  programName_ = programName ? programName : "";
  iniFile_ = iniFile ? iniFile : "";
  callbacks_ = callbacks;
  return true;
}

void Updater::reset() {
  AutoMutex hold(lock_);
  discardParsed();
  verifyAll_ = false;
  hashThreads_ = 0;
  checkClock_ = nullptr;
  hashedCount_ = 0;
  streamed_ = false;
  callbacks_ = nullptr;
  channelUrl_.clear();
  baseDir_.clear();
  iniFile_.clear();
  transport_.reset();
  connector_.reset();
  dir_ = nullptr;
  runLock_.reset();
  ownDir_.reset();
  remove(engine::kInfoFile);
}

void Updater::discardParsed() {
  // Answers still owed go to the records, so the check ends first.
  fileCheck_.reset();
  filesHead_ = filesTail_ = nullptr;
  std::deque<UpdateFile>().swap(files_);
  std::deque<std::vector<UpdatePatch>>().swap(patchLists_);
  groupListIndex_.clear();
  std::deque<std::vector<UpdateGroup*>>().swap(groupLists_);
  texts_.clear();
  while (groupsHead_) {
    UpdateGroup* next = groupsHead_->next;
    delete groupsHead_;
    groupsHead_ = next;
  }
  groupsTail_ = nullptr;
  defaultGroup_ = nullptr;
  outdated_.clear();
  mirrors_.clear();
  fileCount_ = 0;
  pendingCount_ = 0;
  infoVersion_ = 0;
  appName_.clear();
  author_.clear();
  homeUrl_.clear();
  fileBase_.clear();
  acceptedSerial_ = 0;
}

const char* Updater::lastError() {
  AutoMutex hold(lock_);
  return lastError_.c_str();
}

bool Updater::setError(const char* fmt, ...) {
  AutoMutex hold(lock_);
  va_list args;
  va_start(args, fmt);
  lastError_ = engine::vformat(fmt, args);
  va_end(args);
  return false;
}

void Updater::message(bool (*slot)(const char*), const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char* text = zvmprintf(fmt, copy);
  va_end(copy);
  if (text) {
    slot(text);
    zfree(text, UPD_SRC, __LINE__);
  } else {
    // No tracked memory left: the line still gets through.
    slot(engine::vformat(fmt, args).c_str());
  }
}

void Updater::debugf(const char* fmt, ...) {
  AutoMutex hold(lock_);
  if (!callbacks_ || !callbacks_->debugMessage) return;
  va_list args;
  va_start(args, fmt);
  if (heldDebug_) {
    heldDebug_->push_back(engine::vformat(fmt, args));
  } else {
    message(callbacks_->debugMessage, fmt, args);
  }
  va_end(args);
}

void Updater::statusf(const char* fmt, ...) {
  AutoMutex hold(lock_);
  if (!callbacks_ || !callbacks_->statusMessage) return;
  va_list args;
  va_start(args, fmt);
  message(callbacks_->statusMessage, fmt, args);
  va_end(args);
}

UpdateGroup* Updater::firstGroup() {
  AutoMutex hold(lock_);
  return groupsHead_;
}

UpdateFile* Updater::firstFile() {
  AutoMutex hold(lock_);
  return filesHead_;
}

UpdateGroup* Updater::findGroup(const char* name) {
  AutoMutex hold(lock_);
  if (!name) return nullptr;
  for (UpdateGroup* g = groupsHead_; g; g = g->next) {
    if (strcasecmp(g->name.c_str(), name) == 0) return g;
  }
  return nullptr;
}

int32_t Updater::infoVersion() {
  AutoMutex hold(lock_);
  return infoVersion_;
}

void Updater::setCheckOptions(bool verifyAll, unsigned hashThreads, int64_t (*clock)()) {
  AutoMutex hold(lock_);
  verifyAll_ = verifyAll;
  hashThreads_ = hashThreads;
  checkClock_ = clock;
}

bool Updater::saveFileStates() {
  AutoMutex hold(lock_);
  if (!fileCheck_) return true;
  // The state file lives in the staging directory, which the run prepares.
  if (!beginRun()) return false;
  std::string error;
  if (!fileCheck_->save(&error)) return setError("Error saving the file states: %s", error.c_str());
  return true;
}

bool Updater::streamedLastParse() {
  AutoMutex hold(lock_);
  return streamed_;
}

int32_t Updater::hashedCount() {
  AutoMutex hold(lock_);
  return hashedCount_;
}

int32_t Updater::fileCount() {
  AutoMutex hold(lock_);
  return fileCount_;
}

int32_t Updater::pendingCount() {
  AutoMutex hold(lock_);
  return pendingCount_;
}

std::vector<std::string> Updater::outdatedFiles() {
  AutoMutex hold(lock_);
  return outdated_;
}

UpdateGroup* Updater::defaultGroup() {
  AutoMutex hold(lock_);
  return defaultGroup_;
}

std::string Updater::appName() {
  AutoMutex hold(lock_);
  return appName_;
}

std::string Updater::author() {
  AutoMutex hold(lock_);
  return author_;
}

std::string Updater::homeUrl() {
  AutoMutex hold(lock_);
  return homeUrl_;
}

std::string Updater::fileBase() {
  AutoMutex hold(lock_);
  return fileBase_;
}

std::vector<std::string> Updater::mirrors() {
  AutoMutex hold(lock_);
  return mirrors_;
}

void Updater::setTransfer(const TransportSettings& settings, TransportClock* clock) {
  AutoMutex hold(lock_);
  transferSettings_ = settings;
  transferClock_ = clock;
  transport_.reset();
  connector_.reset();
}

std::string Updater::infoText() {
  AutoMutex hold(lock_);
  std::string text;
  wholeInfoText(&text);
  return text;
}

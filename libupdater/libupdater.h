// The update engine. One Updater holds the settings of a run (channel URL, base directory,
// program name, INI file name, output callbacks), the update information read from the channel
// document (package groups, file records, obsolete files) and the last error text. It fetches
// the document, parses it while checking every listed file on disk, plans from the group
// states, and performs the update: download packs into tmp/updater, decipher and inflate them,
// verify, move them into place, delete removed and obsolete files. It never prints; all output
// goes through the caller's UpdaterCallbacks table.
//
// Thread rules: an Updater may be shared between threads. Every public operation holds the
// object's recursive lock for its whole run, callbacks included; a callback may call back into
// the same object from the same thread but must not wait for another thread that needs it.
// performUpdate may download on worker threads of its own (setParallel): they call no callback,
// take no lock of the object and touch only the data of their own download.
// UpdateGroup and UpdateFile records belong to the Updater and stay valid until the next
// setup, reset or the object's destruction.
#ifndef LIBUPDATER_LIBUPDATER_H_
#define LIBUPDATER_LIBUPDATER_H_

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Mutex_pthreads.h"
#include "download_nocurl.h"
#include "lean_text.h"
#include "plan.h"
#include "transport.h"
#include "trust.h"

class TiXmlElement;
class FileCheck;
class XmlScanner;
struct HashContext;
class ConfinedDir;
class DirStatus;
struct Journal;
struct JournalStep;
namespace engine {
struct FileCloser;
class UnpackSink;
class ElementView;
enum class StreamOutcome;
class DownloadJob;
}  // namespace engine
class RunLock;

// One pack download under way, as the overall progress shows it.
struct DownloadShown {
  const char* name;   // the file's base name
  uint64_t received;  // bytes held so far
  uint64_t total;     // bytes expected, 0 when not known yet
};

// Progress of the pack downloads of a run that fetches several at once.
struct DownloadsProgress {
  uint64_t received;             // bytes of all the run's packs held so far
  uint64_t total;                // bytes of all the run's packs and patches
  const DownloadShown* running;  // the downloads under way, in plan order
  size_t count;                  // entries in running
  bool done;                     // the last call of the run: the display ends
};

// Output channel of the engine, owned by the caller and borrowed by the Updater (it must
// outlive the object). Any slot may be null; the engine then drops that output.
struct UpdaterCallbacks {
  // Progress of the update-information download; user value null.
  DownloadProgressCallback infoProgress;
  // Progress of one pack download; user value is the file's base name as text.
  DownloadProgressCallback fileProgress;
  // Informational lines ("Info version: %d", "Building file list..."); result ignored.
  bool (*debugMessage)(const char* text);
  // Progress of the update proper: banners, empty lines, per-file steps; result ignored.
  bool (*statusMessage)(const char* text);
};

// The permission bits "modes" may set: never setuid, setgid or sticky, never writable by others.
const uint32_t kModesMask = 0775;

// Group states.
enum {
  UPDATE_GROUP_NOT_SELECTED = 0,
  UPDATE_GROUP_INSTALL = 1,
  UPDATE_GROUP_REMOVE = 2,
};

// One package group of the update information, in the Updater's sorted group list.
struct UpdateGroup {
  std::string name;        // "name": key in the INI file, matched by file records
  std::string dispName;    // "dispName", or the name; sort key
  std::string menu;        // "menu"
  std::string desc;        // "desc" with each backslash-n turned into a line break
  int32_t state = 0;       // 0 not selected, 1 install, 2 remove
  bool isDefault = false;  // "defaultgrp" non-zero
  int32_t priority = 50;   // "priority"; higher sorts first
  UpdateGroup* prev = nullptr;
  UpdateGroup* next = nullptr;
};

// A patch that builds the file from one older version of it ("patch" element inside the file's
// record, version 2+; docs/delta-format.md).
struct UpdatePatch {
  char from[65] = {};          // "from": SHA-256 of the older version
  std::string url;             // full download URL
  int64_t packSize = 0;        // "packsize": bytes of the patch
  char packChecksum[65] = {};  // "packsha": SHA-256 of the patch
};

// A read-only view of a list that the Updater keeps (group lists are shared by the records
// that name the same groups); the empty list by default.
template <typename T>
class RecordList {
 public:
  RecordList() : list_(&none()) {}
  explicit RecordList(const std::vector<T>* list) : list_(list ? list : &none()) {}
  typename std::vector<T>::const_iterator begin() const { return list_->begin(); }
  typename std::vector<T>::const_iterator end() const { return list_->end(); }
  size_t size() const { return list_->size(); }
  bool empty() const { return list_->empty(); }
  const T& operator[](size_t i) const { return (*list_)[i]; }
  operator const std::vector<T>&() const { return *list_; }  // reads like the vector
  bool operator==(const std::vector<T>& other) const { return *list_ == other; }

 private:
  static const std::vector<T>& none() {
    static const std::vector<T> none;
    return none;
  }
  const std::vector<T>* list_;
};

// One file of the update information, in document order. Its texts live in the Updater's
// arena and its digests are kept as bytes, so that half a million records fit in little memory.
struct UpdateFile {
  TextRef name;                  // "file": path relative to the base directory
  TextRef url;                   // full download URL (file base and "%20" rules applied)
  DigestText checksum;           // "sha" (version 2+) or "md5" (version 1), at most 64 characters
  DigestText packChecksum;       // "packsha" or "packmd5"
  DigestText installedChecksum;  // digest of the installed copy when it differs, else empty
  int64_t size = 0;              // "size": bytes after unpacking
  int64_t packSize = 0;          // "packsize": bytes of the pack, 0 = not given
  uint32_t modes = 0;  // "modes": permission bits to set (masked with kModesMask), 0 = leave
  // Content current, "modes" not 0, and the installed permission bits differ from it; they are
  // in installedModes.
  uint32_t installedModes = 0;
  bool modesDiffer = false;
  bool needsUpdate = false;  // local copy missing, unreadable or different
  // The verified new copy was built from a patch and waits at the pack's download path +
  // ".unpacked".
  bool stagedFromPatch = false;
  char key[17] = {};                // RC4 key, empty = pack not enciphered; always used as 16 bytes
  RecordList<UpdateGroup*> groups;  // groups named in "group", in order, repeats kept
  RecordList<UpdatePatch> patches;  // usable "patch" elements, in order
  UpdateFile* prev = nullptr;
  UpdateFile* next = nullptr;
};

class Updater {
 public:
  Updater();
  virtual ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Starts over (reset), then takes the settings. baseDir must end in "/"; iniFile may be empty
  // (no group states are read or written); callbacks may be null. Always true.
  bool setup(const char* channelUrl, const char* baseDir, const char* programName,
             const char* iniFile, UpdaterCallbacks* callbacks);
  // Trusted certificates and proxies for every download (https and proxies, see connector.h);
  // kept across setup and reset.
  void setNetOptions(const NetOptions& options) {
    net_ = options;
    transport_.reset();
    connector_.reset();
  }

  // Time-outs, crawl limit and retries of every download (the document and each pack), and
  // the clock they run on (null: the real one; tests give their own). Kept across setup and
  // reset.
  void setTransfer(const TransportSettings& settings, TransportClock* clock = nullptr);

  // Downloads the channel document, at most the trust settings' maxInfoSize, into the
  // temporary file "updater-info.xml" in the working directory, whose name is removed at once;
  // the file stays open and parseInfo reads it in pieces (a signed document is held as text
  // instead, for its signature check). True on success; false with lastError() (a line naming
  // what failed goes out as a status message first).
  bool fetchInfo();
  // Parses the info text into groups, file records and obsolete files, checking every listed
  // file on disk. True on success; false with lastError() (records built so far stay). Names
  // that would leave the base directory, URLs that name no file and missing required
  // attributes fail the parse with a message naming the entry.
  bool parseInfo();
  // First group of the sorted list, or null.
  UpdateGroup* firstGroup();
  // Stores state in group (when not null), then recomputes the pending count.
  void setGroupState(UpdateGroup* group, int32_t state);
  // True when a file is to install, remove or have its modes set, or an obsolete file is to be
  // deleted.
  bool needsUpdate();
  // What performUpdate would do now: computed from the records, the group states and the
  // installation (existence of files to remove, packs already in tmp/updater, which it hashes).
  // Changes nothing.
  Plan plan();
  // Carries out plan(), after finishing any interrupted commit: checks the free space, downloads
  // the packs not already in tmp/updater, unpacks and verifies every file into the staging
  // directory (nothing installed changes until all are good), then commits through a flushed
  // journal: replaced and removed files are moved into a backup area (kept for rollback until
  // the next update), staged files renamed into place, modes set, emptied directories removed.
  // True on success; false with lastError(), the installation then as it was before (packs
  // downloaded so far stay for the next run). The running program's file, and a file whose
  // place a directory takes, go beside it as name + ".upd", with a note.
  bool performUpdate();
  // Finishes a commit or rollback that a killed run left unfinished (its journal in
  // tmp/updater), before anything else, without the server; then the parsed records are checked
  // against the installation again. True when there was none or it was finished; false with
  // lastError() otherwise. performUpdate calls it first.
  bool finishInterrupted();
  // Puts back the release before the last update from the backup that update kept (contents,
  // modes, removed files restored, added files removed), or undoes an unfinished commit,
  // reporting each file through statusMessage. True when done; false with lastError() when
  // there is nothing to roll back or a step failed (the journal then stays for the next run).
  bool rollback();
  // True when rollback has something to undo.
  bool rollbackAvailable();

  // Downloads up to transfers packs (and patches) at once, each worker keeping its own
  // connection alive; 1, the default, fetches them one after the other on the calling thread.
  // Values are bounded to 1..kMaxParallel. Every download follows the same rules either way
  // (size bounds, resumption, digests, mirrors, retries) and the status lines come in plan
  // order; a failure stops the downloads still running after it in the plan and leaves what
  // arrived for the next run. A clock given to setTransfer must then be safe to call from
  // several threads. Kept across setup and reset.
  void setParallel(unsigned transfers);
  static constexpr unsigned kMaxParallel = 16;
  // Progress of the pack downloads when several run at once, in place of the callbacks'
  // fileProgress: called on the thread of performUpdate at most once a tenth of a second while
  // they run, and once more with done set when they end. Null (the default) shows nothing.
  // Kept across setup and reset.
  void setDownloadsProgress(void (*show)(const DownloadsProgress* progress));

  // Turns the use of patches on (the default) or off; with them off every file comes from its
  // full pack.
  void setUseDeltas(bool on);
  // Writes every group's state to section "groups" of the INI file. True when written, when no
  // INI file is set, and when the file cannot be written for another reason (an existing empty
  // or unreadable file: it is left as it is, noted on the debug channel); false with
  // lastError() only for a symbolic link or another user's file at its name, which is never
  // written.
  bool saveGroupStates();

  // Opens the installation (creating the base directory when missing), refuses as root a base
  // directory that other users can write (unless setAllowSharedDir), prepares the private
  // staging directory tmp/updater and takes the run lock in it, held until endRun, setup, reset
  // or destruction. Call it before fetchInfo so that the whole run holds the lock; performUpdate
  // takes it itself when it is not held yet. True when held; false with lastError() at once
  // when another process holds it ("another update is running (pid N) in BASE; ...") or when
  // the directories are unsafe, nothing changed then.
  bool beginRun();
  // Releases the run lock, if held.
  void endRun();
  // With allow set, a run as root also writes into directories that other users can write.
  void setAllowSharedDir(bool allow);
  // Puts layer (borrowed; a fault-injecting wrapper in tests) in place of the POSIX
  // installation-directory layer for everything the engine does to the installation; null
  // returns to the POSIX one. Kept across setup and reset.
  void setDirectoryLayer(ConfinedDir* layer);
  // The last error text, empty when none was set.
  const char* lastError();
  // Frees all records and settings and removes "updater-info.xml" from the working directory.
  void reset();
  // Takes the info text from a local file. True on success; false with lastError().
  bool loadInfoFile(const char* path);
  // Writes the info text to path; a path that cannot be opened is silently skipped.
  void saveInfoText(const char* path);
  // First group whose name equals name without regard to case, or null.
  UpdateGroup* findGroup(const char* name);
  // First file record (document order), or null.
  UpdateFile* firstFile();

  // Creates every missing directory along path with mode 0755; errors are ignored.
  void makeDirectories(const char* path);
  // Unpacks a pack (RC4 with the 16-byte key when key is not empty, then one zlib stream) into
  // destination, which may be the source itself. Memory use is bounded whatever the sizes; the
  // output is written to a temporary file beside destination and renamed over it only when
  // complete. Output longer than size fails with zlib code -5, damaged or truncated data with
  // -3. True on success; false with lastError() and destination untouched.
  bool unpackFile(const char* source, const char* destination, const char* key, int64_t size);

  // Formats the message as the last error text and returns false.
  bool setError(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Formats the message and passes it to the debugMessage slot, if any.
  void debugf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Formats the message and passes it to the statusMessage slot, if any.
  void statusf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  // How parseInfo checks the installed files. With verifyAll every listed file is read and
  // hashed; otherwise a file whose stat data (size, times, inode, device) match what an earlier
  // run recorded in the staging directory is taken as recorded without being read. Hashing
  // runs on hashThreads threads (0: one per core). clock gives the time of recording for the
  // rule that distrusts files changed just before (null: the system clock). Kept until the next
  // setup or reset.
  void setCheckOptions(bool verifyAll, unsigned hashThreads, int64_t (*clock)() = nullptr);
  // Writes what the last parse and update learnt about the installed files to the state file
  // in the staging directory, creating the directory when needed. True on success or when
  // there is nothing to write; false with lastError().
  bool saveFileStates();
  // Number of installed files the last parseInfo read to check them (the others were taken
  // from their records, or were missing).
  int32_t hashedCount();
  // Whether the last parseInfo read the document element by element, without a tree of the
  // whole document (it does for documents laid out as the publisher writes them).
  bool streamedLastParse();
  // Trust in the documents (see trust.h): the keys, whether a signature is required, the size
  // limit and the clock. Takes effect from the next fetchInfo.
  void setTrust(const TrustSettings& trust);
  // Keeps the serial of the document parsed last as the highest accepted for the channel, when
  // documents are checked. True on success; false with lastError() when the INI file cannot be
  // written.
  bool recordSerial();

  // Read-only views of the parsed information (lock held while copying). The pending count is
  // the number of files to install plus those to remove (mode-only changes not included).
  int32_t infoVersion();
  int32_t fileCount();
  int32_t pendingCount();
  std::vector<std::string> outdatedFiles();
  UpdateGroup* defaultGroup();
  std::string appName();
  std::string author();
  std::string homeUrl();
  std::string fileBase();
  std::string infoText();
  // The mirrors of the document (<mirrors><mirror url=.../>), in order.
  std::vector<std::string> mirrors();

 private:
  // parse.cpp: one step each of parseInfo.
  bool parseDocument();
  bool parseRootElements(TiXmlElement* root);
  bool parseGroups(TiXmlElement* groups);
  // Takes the url of a <mirror> element when it is an absolute address.
  void addMirror(const TiXmlElement* mirror);
  bool parseGroup(TiXmlElement* element, int index);
  bool parseFiles(TiXmlElement* files);
  void beginFiles(const char** sumAttr, const char** packAttr);
  // parse_stream.cpp: reads the document element by element, in one pass over the text (from
  // the fetched file in pieces, or from the text held), when it is laid out as expected
  // (*handled then true, result as parseDocument's); otherwise leaves it to the tree reading,
  // with nothing of the attempt kept.
  bool parseStreamed(bool* handled);
  // The pass itself: builds what the document holds until a step fails, then only checks the
  // rest. *row is set for kTooDeep.
  engine::StreamOutcome streamDocument(XmlScanner* s, int* row);
  // Drops everything a parse built (records, groups, document settings, checks under way).
  void discardParsed();
  // The whole document text (the held text, or the fetched file read back). True on success;
  // false when the file cannot be read.
  bool wholeInfoText(std::string* text);
  // Closes the fetched file the document is read from, if one is held.
  void closeInfoFile();
  // element's children are the record's patches (null: none); the record is read from e.
  bool parseFileRecord(const engine::ElementView& e, TiXmlElement* children, int index,
                       const char* sumAttr, const char* packAttr);
  bool formUrl(const engine::ElementView& e, int index, const char* name, std::string* url);
  RecordList<UpdateGroup*> readFileGroups(const engine::ElementView& e);
  void finishChecks();
  static void onFileChecked(void* item, bool current, const char* digestHex, const struct stat& st,
                            void* user);
  void recordInstalled(const Plan& p, const Journal& j);
  bool parseDeletes(TiXmlElement* del);
  void appendGroup(UpdateGroup* g);
  void appendFile(UpdateFile* f);
  // delta.cpp: patches in the document, the plan and the staging area.
  void readFilePatches(TiXmlElement* element, UpdateFile* f);
  void planPatches(Plan* p);
  // Downloads and applies the patch of item; false (a line said why) when the full pack must
  // follow, or when the job was stopped.
  bool stagePatch(const PlanInstall& item, engine::DownloadJob* job);
  bool applyPatch(const PlanInstall& item, const std::string& unpacked, std::string* why);
  void sortGroups();

  // plan.cpp: the rules that turn records and group states into a plan.
  bool isSelected(const UpdateFile* f) const;
  bool isToInstall(const UpdateFile* f) const;
  bool isModeChange(const UpdateFile* f) const;
  bool isToRemove(const UpdateFile* f) const;
  void recountPending();
  void planInstalls(Plan* p);
  const char* digestName() const;

  // state.cpp
  int32_t storedGroupState(const std::string& name, int32_t fallback);

  // guard.cpp: the installation-directory layer and the checks that keep a run inside it.
  // The layer bound to the base directory, opened on first use; null when the base directory
  // cannot be opened (it does not exist yet, for instance).
  ConfinedDir* installation() const;
  // The path of name below the base directory as the layer takes it; full paths (baseDir_
  // followed by the name) are cut to it.
  std::string relativeToBase(const std::string& path) const;
  // Whether anything stands at name; a symbolic link on the way counts, so that the step that
  // would write there reports it.
  bool installedEntryExists(const std::string& name) const;
  // Before anything of the plan is changed: every path it writes or deletes is reached without
  // a symbolic link, and, as root, through directories root alone can write. True when so;
  // false with lastError() naming the entry and the link or directory.
  bool checkPlanTargets(const Plan& p);
  // Removes the file or link a run left at path in the staging directory (a link as the link)
  // before a new file is made there. Always true: what it cannot remove, a directory for
  // instance, makes the open that follows fail with its own message.
  bool discardLeftover(const std::string& path);
  // A stdio stream on path: below the base directory opened through the layer (for writing a
  // new file, 0600, whatever stood there removed first), elsewhere with fopen. Null with errno
  // set when it cannot be opened.
  FILE* openStagingStream(const std::string& path, bool write);
  // A stdio stream on path positioned at its end, *held its length: what an interrupted run
  // left there when it is a regular file of ours (opened through the layer below the base
  // directory), else a new empty file as openStagingStream makes it. Null with errno set when
  // it cannot be opened.
  FILE* openStagingAppend(const std::string& path, uint64_t* held);

  // stage.cpp: downloading, unpacking and verifying into the staging directory.
  // The run's own transport (the document's and the serial downloads'), made on first use.
  Transport* runTransport();
  // The one way the engine downloads: url into sink through the run's transport (retries
  // announced as status messages), at most maxBytes (0: no limit), continuing after what the
  // sink holds when resume is set. True on success; false with *error.
  bool fetchUrl(const std::string& url, TransferSink* sink, uint64_t maxBytes, bool resume,
                DownloadProgressCallback progress, void* user, TransferError* error);
  // The pack's address at the file base and at each mirror, in order.
  std::vector<std::string> packUrls(const UpdateFile* f);
  // Fetches the pack of item at url into its download path through the job's transport,
  // resuming what is there. True on success; false with *error (and *cannotOpen set when the
  // path cannot be opened).
  bool fetchPack(const PlanInstall& item, const std::string& url, bool resume,
                 engine::DownloadJob* job, TransferError* error, bool* cannotOpen);
  bool downloadPacks(const Plan& p);
  bool downloadSerially(const Plan& p);
  bool downloadInParallel(const Plan& p);
  // Draws the overall progress of the jobs (running: indices under way) when the front end
  // asked for it; done ends the display.
  void showDownloads(const Plan& p, const std::vector<std::unique_ptr<engine::DownloadJob>>& jobs,
                     const std::vector<size_t>& running, bool done);
  // Everything the stage step downloads for item: nothing when its pack is there or shared,
  // else its patch or its pack. True on success; false with the job's error.
  bool downloadItem(const PlanInstall& item, engine::DownloadJob* job);
  bool downloadPack(const PlanInstall& item, engine::DownloadJob* job);
  bool stageFiles(const Plan& p);
  std::string stagedPath(size_t index) const;
  bool stageFile(const PlanInstall& item, const std::string& rel, void* inBlock, void* outBlock);
  bool failStaging(const PlanInstall& item, const std::string& rel);
  bool adoptPatched(const PlanInstall& item, const std::string& rel);
  bool openPack(const char* source, std::unique_ptr<FILE, engine::FileCloser>* in, int64_t* length);
  bool inflateInto(FILE* in, int64_t length, engine::UnpackSink* out, const char* key, int64_t size,
                   void* inBlock, void* outBlock, HashContext* digest);

  // commit.cpp: changing the installation through the journal.
  bool openDir();
  bool checkSpace(const Plan& p);
  Journal journalFor(const Plan& p);
  bool isSelf(const UpdateFile* f) const;
  bool commitPlan(const Plan& p);
  bool writeJournal(const Journal& j);
  bool readJournal(const std::string& rel, Journal* j, bool* found);
  bool moveAside(const Journal& j, std::vector<int>* removeErrors);
  bool moveIn(const Journal& j, bool report);
  void reportInstall(const std::string& name, bool beside, bool before);
  bool applyModes(const Journal& j, bool report);
  bool syncDirs(const Journal& j);
  void reportRemovals(const Plan& p, const Journal& j, const std::vector<int>& errors);
  void pruneRemoved(const Journal& j);
  void pruneUp(const std::string& rel);
  bool finishForward(const Journal& j);
  bool settleBackups();
  void undoCommit(Journal* j);
  bool undoSteps(const Journal& j, bool report);
  bool undoStep(const JournalStep& s, bool report);
  bool finishBack(const Journal& j);
  void recheckInstallation();
  bool layerError(const DirStatus& s);
  bool renameError(const std::string& from, const std::string& to, const DirStatus& s);

  void message(bool (*slot)(const char*), const char* fmt, va_list args);

  // The quick check of installed files (see setCheckOptions); made by parseInfo.
  std::unique_ptr<FileCheck> fileCheck_;
  bool verifyAll_ = false;
  unsigned hashThreads_ = 0;
  int64_t (*checkClock_)() = nullptr;
  int32_t hashedCount_ = 0;
  bool streamed_ = false;
  // trust.cpp: the checked fetch, the rollback and freeze guards, the check of every pack
  // against its "packsha" before any is unpacked.
  bool fetchCheckedInfo();
  bool checkGuards(const TiXmlElement* root);
  bool checkPacks(const Plan& p);

  TrustSettings trust_;
  uint64_t acceptedSerial_ = 0;
  UpdateFile* filesHead_ = nullptr;
  UpdateFile* filesTail_ = nullptr;
  UpdateGroup* groupsHead_ = nullptr;
  UpdateGroup* groupsTail_ = nullptr;
  std::vector<std::string> outdated_;
  UpdateGroup* defaultGroup_ = nullptr;
  int32_t fileCount_ = 0;
  int32_t pendingCount_ = 0;
  int32_t infoVersion_ = 0;
  std::string appName_;
  std::string author_;
  std::string homeUrl_;
  std::string fileBase_;
  std::vector<std::string> mirrors_;
  // The document: held as text (loaded from a file, or checked against its signature), or
  // read in pieces from the fetched file, which stays open (its name removed) while infoFd_
  // holds it.
  std::string infoText_;
  int infoFd_ = -1;
  // The records' storage: the records themselves (stable addresses), their texts, and the
  // distinct group lists and the patch lists they refer to.
  std::deque<UpdateFile> files_;
  TextArena texts_;
  std::deque<std::vector<UpdateGroup*>> groupLists_;
  std::map<std::vector<UpdateGroup*>, const std::vector<UpdateGroup*>*> groupListIndex_;
  std::deque<std::vector<UpdatePatch>> patchLists_;
  // While set, debug lines are kept here instead of being delivered (a streamed pass that may
  // still be given up).
  std::vector<std::string>* heldDebug_ = nullptr;
  std::string lastError_;
  std::string channelUrl_;
  NetOptions net_;
  std::string baseDir_;
  std::string iniFile_;
  std::string programName_;
  UpdaterCallbacks* callbacks_ = nullptr;
  bool useDeltas_ = true;
  unsigned parallel_ = 1;
  void (*downloadsProgress_)(const DownloadsProgress* progress) = nullptr;
  mutable std::unique_ptr<ConfinedDir> ownDir_;  // the POSIX layer on baseDir_, once opened
  ConfinedDir* customDir_ = nullptr;             // set by setDirectoryLayer, borrowed
  std::unique_ptr<RunLock> runLock_;
  bool allowSharedDir_ = false;
  // The layer that the operation under way works through (installation(), taken when it
  // starts).
  ConfinedDir* dir_ = nullptr;
  TransportSettings transferSettings_;
  TransportClock* transferClock_ = nullptr;
  // Made on first use from net_; the transport keeps one idle connection and borrows the
  // connector, so it is declared after it (and goes first).
  std::unique_ptr<TransportConnector> connector_;
  std::unique_ptr<Transport> transport_;
  Orvex_Mutex_pthreads lock_;
};

#endif  // LIBUPDATER_LIBUPDATER_H_

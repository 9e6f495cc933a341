// A POSIX file descriptor owned by one holder and closed when the holder goes. For code that
// works on descriptors directly (mapped files, streamed packs and patches); a descriptor that
// belongs to someone else is never put in one.
//
// Thread rules: a holder is used by one thread at a time; holders share nothing.
#ifndef VELMOR_UNIQUE_FD_H_
#define VELMOR_UNIQUE_FD_H_

class UniqueFd {
 public:
  // Takes fd (a negative value holds nothing).
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  // Closes the descriptor when one is held; a failure there is not reported (call Close first
  // where it matters).
  ~UniqueFd();
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  // The descriptor, or a negative value.
  int get() const { return fd_; }
  // Closes now. True when nothing was held or close succeeded; false with errno set when close
  // reports an error (a full disk or a failed network file system may tell only then).
  bool Close();

 private:
  int fd_;
};

#endif  // VELMOR_UNIQUE_FD_H_

#include "unique_fd.h"

#include <unistd.h>

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) close(fd_);
}

bool UniqueFd::Close() {
  int fd = fd_;
  fd_ = -1;
  return fd < 0 || close(fd) == 0;
}

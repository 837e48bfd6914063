// Closes a file descriptor when it goes out of scope (-1: nothing to close).
#pragma once

#include <unistd.h>

namespace Zarvo::dsm {

struct FdCloser {
  int fd = -1;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace Zarvo::dsm

// A file descriptor that closes itself: the one owner of every descriptor
// the rooms open, so that no return path forgets a close.
//
// Threading: one owner at a time; moving hands the descriptor on.

#ifndef KIVO_BASE_FD_H_
#define KIVO_BASE_FD_H_

#include <unistd.h>

namespace kivo::base {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and takes `fd`.
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace kivo::base

#endif  // KIVO_BASE_FD_H_

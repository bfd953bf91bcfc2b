#include "host/http_connection.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace host {

namespace {

// Answers larger than this leave in several sends.
constexpr size_t kMaxKeptOutput = 64 * 1024;
constexpr int kStopCheckMs = 100;

int PollFor(int fd, short events, int timeout_ms) {
  struct pollfd pfd = {fd, events, 0};
  for (;;) {
    const int n = poll(&pfd, 1, timeout_ms);
    if (n >= 0 || errno != EINTR) return n;
  }
}

int ToMs(std::chrono::milliseconds d) {
  return static_cast<int>(std::min<long long>(d.count(), 24LL * 3600 * 1000));
}

template <typename Rep>
std::chrono::milliseconds SecondsAndMicros(Rep sec, Rep usec) {
  return std::chrono::seconds(sec) +
         std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::microseconds(usec));
}

void AddressOf(const struct sockaddr_storage& addr, std::string* ip, int* port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (addr.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const struct sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text));
    *port = ntohs(in->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text));
    *port = ntohs(in6->sin6_port);
  }
  *ip = text;
}

}  // namespace

ConnectionStream::ConnectionStream(int fd, std::chrono::milliseconds read_timeout,
                                   std::chrono::milliseconds write_timeout)
    : fd_(fd), read_timeout_ms_(ToMs(read_timeout)), write_timeout_ms_(ToMs(write_timeout)) {
  // Asked for on every request; the answers hold for the connection.
  struct sockaddr_storage addr = {};
  socklen_t len = sizeof(addr);
  if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0) {
    AddressOf(addr, &remote_ip_, &remote_port_);
  }
  addr = {};
  len = sizeof(addr);
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0) {
    AddressOf(addr, &local_ip_, &local_port_);
  }
}

bool ConnectionStream::is_readable() const {
  return in_begin_ < in_end_ || PollFor(fd_, POLLIN, read_timeout_ms_) > 0;
}

// One receive into the empty input buffer: at once when data is there,
// otherwise after waiting up to the read timeout.
bool ConnectionStream::Fill() {
  in_begin_ = in_end_ = 0;
  for (;;) {
    const ssize_t n = recv(fd_, in_, sizeof(in_), MSG_DONTWAIT);
    if (n >= 0) {
      in_end_ = static_cast<size_t>(n);
      return true;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (PollFor(fd_, POLLIN, read_timeout_ms_) <= 0) return false;
  }
}

ssize_t ConnectionStream::read(char* ptr, size_t size) {
  // The peer may be waiting for what we said (a "100 Continue") before it
  // sends more.
  if (!out_.empty() && !Flush()) return -1;
  if (in_begin_ == in_end_ && !Fill()) return -1;
  const size_t n = std::min(size, in_end_ - in_begin_);
  std::memcpy(ptr, in_ + in_begin_, n);
  in_begin_ += n;
  return static_cast<ssize_t>(n);
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
  out_.append(ptr, size);
  if (out_.size() >= kMaxKeptOutput && !Flush()) return -1;
  return static_cast<ssize_t>(size);
}

bool ConnectionStream::Flush() {
  size_t sent = 0;
  while (sent < out_.size()) {
    const ssize_t n =
        send(fd_, out_.data() + sent, out_.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (PollFor(fd_, POLLOUT, write_timeout_ms_) <= 0) break;
    } else {
      break;
    }
  }
  const bool all = sent == out_.size();
  out_.clear();
  return all;
}

bool ConnectionStream::WaitForRequest(std::chrono::milliseconds timeout,
                                      const std::function<bool()>& stopping) {
  if (in_begin_ < in_end_) return true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (stopping()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const int n = PollFor(fd_, POLLIN, std::min(kStopCheckMs, ToMs(left)));
    if (n != 0) return n > 0;
  }
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  ip = remote_ip_;
  port = remote_port_;
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
  ip = local_ip_;
  port = local_port_;
}

bool BufferedServer::process_and_close_socket(socket_t sock) {
  ConnectionStream stream(sock, SecondsAndMicros(read_timeout_sec_, read_timeout_usec_),
                          SecondsAndMicros(write_timeout_sec_, write_timeout_usec_));
  const auto stopping = [this] { return svr_sock_ == INVALID_SOCKET; };
  bool ok = false;
  for (size_t left = keep_alive_max_count_; left > 0; --left) {
    if (!stream.WaitForRequest(std::chrono::seconds(keep_alive_timeout_sec_), stopping)) break;
    bool closed = false;
    ok = process_request(stream, left == 1, closed, nullptr);
    if (!stream.Flush()) ok = false;
    if (!ok || closed) break;
  }
  shutdown(sock, SHUT_RDWR);
  close(sock);
  return ok;
}

}  // namespace host

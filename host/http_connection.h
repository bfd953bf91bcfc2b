// The connections of `kivo-webapi serve`, served with fewer system calls than
// cpp-httplib's own loop does: a request is read in large pieces, the whole
// answer (head and body) leaves in one send, and the socket is polled only
// when nothing is waiting to be read. A kept-alive client is woken once per
// answer instead of twice, and a request costs about a third of the calls.
//
// Parsing, routing and the handlers stay cpp-httplib's: only the stream under
// Server::process_request and the keep-alive loop around it are ours. The
// timeouts and the keep-alive count are the server's own settings.

#ifndef KIVO_HOST_HTTP_CONNECTION_H_
#define KIVO_HOST_HTTP_CONNECTION_H_

#include <httplib.h>

#include <chrono>
#include <functional>
#include <string>

namespace host {

// A connected socket as an httplib::Stream. Output is kept until Flush (or
// until it grows large, or the next read): the peer sees whole answers.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(int fd, std::chrono::milliseconds read_timeout,
                   std::chrono::milliseconds write_timeout);

  bool is_readable() const override;
  bool is_writable() const override { return true; }
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return fd_; }

  // Sends what is kept; false when the peer does not take it in time.
  bool Flush();

  // True once the next request has begun to arrive (or the peer hung up,
  // which the read that follows reports). False after `timeout` or as soon
  // as `stopping` says so; it is asked about every 100 ms.
  bool WaitForRequest(std::chrono::milliseconds timeout, const std::function<bool()>& stopping);

 private:
  bool Fill();

  const int fd_;
  const int read_timeout_ms_;
  const int write_timeout_ms_;
  char in_[16 * 1024];
  size_t in_begin_ = 0;
  size_t in_end_ = 0;
  std::string out_;
  std::string remote_ip_, local_ip_;
  int remote_port_ = 0;
  int local_port_ = 0;
};

// httplib::Server whose connections are ConnectionStreams.
class BufferedServer : public httplib::Server {
 private:
  bool process_and_close_socket(socket_t sock) override;
};

}  // namespace host

#endif  // KIVO_HOST_HTTP_CONNECTION_H_

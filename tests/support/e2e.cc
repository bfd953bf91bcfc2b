#include "tests/support/e2e.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace e2e {

namespace {

Json::Value ParseLine(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) return Json::Value();
  return value;
}

int ExitStatus(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

// Forks `argv` with KIVO_ROOT=root; the child's stdin/stdout/stderr become
// `in_fd`, `out_fd`, `err_fd` (-1 keeps the parent's).
pid_t Spawn(const std::vector<std::string>& argv, const std::string& root, int in_fd, int out_fd,
            int err_fd) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (in_fd >= 0) dup2(in_fd, 0);
  if (out_fd >= 0) dup2(out_fd, 1);
  if (err_fd >= 0) dup2(err_fd, 2);
  for (int fd = 3; fd < 256; ++fd) close(fd);
  setenv("KIVO_ROOT", root.c_str(), 1);
  execv(args[0], args.data());
  _exit(127);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

}  // namespace

const char* WebApiBin() { return KIVO_WEBAPI_BIN; }
const char* ModulePath() { return KIVO_MODULE_PATH; }

Result Run(const std::vector<std::string>& argv, const std::string& root,
           const std::string& input) {
  Result result;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    result.err = std::string("pipe: ") + strerror(errno);
    return result;
  }
  const pid_t pid = Spawn(argv, root, in[0], out[1], err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // Small inputs fit the pipe; the child reads them when it wants.
  if (!input.empty() && write(in[1], input.data(), input.size()) < 0) result.err = "write stdin";
  close(in[1]);

  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_fds = 2;
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof(buf));
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) result.status = ExitStatus(status);
  result.answer = ParseLine(result.out.substr(0, result.out.find('\n')));
  return result;
}

TestRoot::TestRoot() {
  char tmpl[] = "/tmp/kivo-e2e-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    init_result_.err = std::string("mkdtemp: ") + strerror(errno);
    return;
  }
  path_ = tmpl;
  chmod(path_.c_str(), 0755);
  const std::string password_file = path_ + "/.admin-password";
  WriteFile(password_file, std::string(kAdminPassword) + "\n");
  init_result_ = WebApi({"init", "--admin-password-file", password_file});
  unlink(password_file.c_str());
  ok_ = init_result_.status == 0;
}

TestRoot::~TestRoot() {
  const char* keep = getenv("KIVO_E2E_KEEP");
  if (path_.empty() || (keep != nullptr && keep[0] == '1')) return;
  nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TestRoot::Path(const std::string& system_path) const { return path_ + system_path; }

Result TestRoot::WebApi(const std::vector<std::string>& args, const std::string& input) const {
  std::vector<std::string> argv = {WebApiBin()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, path_, input);
}

bool TestRoot::AddUser(const std::string& name, bool admin, const std::string& password) const {
  std::vector<std::string> args = {"useradd", name};
  if (admin) args.push_back("--admin");
  if (WebApi(args).status != 0) return false;
  return password.empty() || WebApi({"passwd", name}, password + "\n").status == 0;
}

Result TestRoot::Call(const std::string& api, int version, const std::string& method,
                      const std::string& params, const std::string& user) const {
  return WebApi({"call", "--user", user, api, std::to_string(version), method, params});
}

std::map<std::string, std::string> TestRoot::Conf() const {
  std::map<std::string, std::string> values;
  std::string content;
  if (!ReadFile(Path("/etc/kivoinfo.conf"), &content)) return values;
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    const std::string::size_type eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    values[line.substr(0, eq)] = value;
  }
  return values;
}

std::string TestRoot::ConfValue(const std::string& key) const {
  const std::map<std::string, std::string> values = Conf();
  const auto it = values.find(key);
  return it == values.end() ? "" : it->second;
}

bool TestRoot::WriteConf(const std::map<std::string, std::string>& values) const {
  std::string content;
  for (const auto& kv : values) content += kv.first + "=\"" + kv.second + "\"\n";
  return WriteFile(Path("/etc/kivoinfo.conf"), content);
}

std::vector<Json::Value> TestRoot::Journal() const {
  std::vector<Json::Value> entries;
  std::string content;
  if (!ReadFile(Path("/var/log/kivo/platform.jsonl"), &content)) return entries;
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) entries.push_back(ParseLine(line));
  }
  return entries;
}

Json::Value TestRoot::Registry() const {
  std::string content;
  if (!ReadFile(Path("/usr/kivo/etc/calendar.info"), &content)) return Json::Value();
  return ParseLine(content);
}

bool ReadFile(const std::string& path, std::string* content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buf;
  buf << in.rdbuf();
  *content = buf.str();
  return true;
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out.flush());
}

std::vector<Json::Value> JournalOps(const std::vector<Json::Value>& journal,
                                    const std::string& op) {
  std::vector<Json::Value> found;
  for (const Json::Value& entry : journal) {
    if (entry.isObject() && entry["op"].asString() == op) found.push_back(entry);
  }
  return found;
}

std::vector<std::string> ServiceActions(const std::vector<Json::Value>& journal) {
  std::vector<std::string> actions;
  for (const Json::Value& entry : journal) {
    if (!entry.isObject()) continue;
    const std::string op = entry["op"].asString();
    if (op.compare(0, 8, "service.") == 0) {
      actions.push_back(op + " " + entry["service"].asString());
    }
  }
  return actions;
}

Server::~Server() { Stop(); }

bool Server::Start(const TestRoot& root, const std::vector<std::string>& extra_args) {
  log_path_ = root.path() + "/.serve.log";
  const int log_fd = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int out[2];
  if (log_fd < 0 || pipe2(out, O_CLOEXEC) != 0) {
    error_ = std::string("log file or pipe: ") + strerror(errno);
    if (log_fd >= 0) close(log_fd);
    return false;
  }
  std::vector<std::string> argv = {WebApiBin(), "serve", "--listen", "127.0.0.1:0"};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  pid_ = Spawn(argv, root.path(), -1, out[1], log_fd);
  close(out[1]);
  close(log_fd);
  out_fd_ = out[0];

  // The server announces "listening on ADDR:PORT" on stdout once it listens.
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    struct pollfd pfd = {out_fd_, POLLIN, 0};
    if (poll(&pfd, 1, 200) <= 0) continue;
    char buf[256];
    const ssize_t n = read(out_fd_, buf, sizeof(buf));
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  const std::string::size_type colon = line.rfind(':');
  if (line.compare(0, 13, "listening on ") != 0 || colon == std::string::npos) {
    error_ = "server did not start: " + line + Log();
    Stop();
    return false;
  }
  port_ = std::atoi(line.c_str() + colon + 1);
  return port_ > 0;
}

int Server::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  int rc = -1;
  // A server that does not stop within 10 s is killed: the test fails, not hangs.
  for (int i = 0; i < 100 && rc < 0; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      rc = ExitStatus(status);
    } else {
      usleep(100 * 1000);
    }
  }
  if (rc < 0) {
    kill(pid_, SIGKILL);
    if (waitpid(pid_, &status, 0) == pid_) rc = ExitStatus(status);
  }
  pid_ = -1;
  if (out_fd_ >= 0) close(out_fd_);
  out_fd_ = -1;
  return rc;
}

std::string Server::Log() const {
  std::string content;
  ReadFile(log_path_, &content);
  return content;
}

std::string Read(const std::string& path) {
  std::string content;
  EXPECT_TRUE(ReadFile(path, &content)) << path;
  return content;
}

struct stat StatOf(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

}  // namespace e2e

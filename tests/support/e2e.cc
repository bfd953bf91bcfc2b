#include "tests/support/e2e.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>

extern char** environ;

namespace e2e {

namespace {

int ExitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A whole file; "" when it cannot be read.
std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An anonymous file holding `content`, positioned at its start.
int MemFile(const std::string& content) {
  const int fd = memfd_create("kivo-e2e", MFD_CLOEXEC);
  if (fd >= 0 && !content.empty()) (void)!write(fd, content.data(), content.size());
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// All that a MemFile holds; closes it.
std::string Contents(int fd) {
  const std::string content = Slurp("/proc/self/fd/" + std::to_string(fd));
  close(fd);
  return content;
}

// " value" for each member but `skip`'s, in key order.
std::string Values(const Json::Value& object, const std::set<std::string>& skip = {}) {
  std::string text;
  for (const std::string& key : object.getMemberNames()) {
    if (skip.count(key) == 0)
      text += " " + (object[key].isString() ? object[key].asString() : Compact(object[key]));
  }
  return text;
}

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv, const std::string& root, const std::string& input,
            int out_fd, int err_fd, const std::vector<std::string>& extra_env, bool own_group) {
  std::vector<std::string> env = {"KIVO_ROOT=" + root};
  env.insert(env.end(), extra_env.begin(), extra_env.end());
  const auto given = [&](const char* entry) {
    const char* equals = strchr(entry, '=');
    const size_t length = equals == nullptr ? strlen(entry) : equals - entry + 1;
    return std::any_of(env.begin(), env.end(), [&](const std::string& e) {
      return e.compare(0, length, entry, length) == 0;
    });
  };
  for (char** e = environ; *e != nullptr; ++e) {
    if (!given(*e)) env.push_back(*e);
  }
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);
  const int in_fd = MemFile(input);
  const pid_t pid = fork();
  if (pid != 0) {
    close(in_fd);
    if (pid > 0 && own_group) setpgid(pid, pid);  // either side may come first
    return pid;
  }
  if (own_group) setpgid(0, 0);
  dup2(in_fd, 0);
  if (out_fd >= 0) dup2(out_fd, 1);
  if (err_fd >= 0) dup2(err_fd, 2);
  for (int fd = 3; fd < 256; ++fd) close(fd);
  execve(args[0], args.data(), envp.data());
  _exit(127);
}

Result Run(const std::vector<std::string>& argv, const std::string& root, const std::string& input,
           const std::vector<std::string>& env) {
  Result result;
  const int out = MemFile(""), err = MemFile("");
  const pid_t pid = Spawn(argv, root, input, out, err, env);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) result.status = ExitStatus(status);
  result.out = Contents(out);
  result.err = Contents(err);
  result.answer = ParseJson(result.out.substr(0, result.out.find('\n')));
  return result;
}

namespace {

// A file of /proc: its process may go while it is read, which an ifstream
// reports by throwing. "" then.
std::string ProcFile(const std::string& path) {
  std::string content;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return content;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, n);
  close(fd);
  return n < 0 ? "" : content;
}

bool Names(const std::string& text, const std::string& dir) {
  for (size_t at = text.find(dir); at != std::string::npos; at = text.find(dir, at + 1)) {
    const size_t end = at + dir.size();
    if (end == text.size() || text[end] == '/' || text[end] == '\0' || text[end] == ' ')
      return true;
  }
  return false;
}

std::string CommandLine(pid_t pid) {
  std::string args = ProcFile("/proc/" + std::to_string(pid) + "/cmdline");
  std::replace(args.begin(), args.end(), '\0', ' ');
  return args;
}

}  // namespace

std::vector<pid_t> ProcessesUnder(const std::string& dir) {
  std::vector<pid_t> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (pid == getpid()) continue;
    const std::string proc = "/proc/" + name;
    std::error_code gone;
    const std::string cwd = std::filesystem::read_symlink(proc + "/cwd", gone).string();
    // A daemon may drop every variable but its command line and folder.
    const std::string environment = '\0' + ProcFile(proc + "/environ");
    if (Names(ProcFile(proc + "/cmdline"), dir) || Names(cwd, dir) ||
        Names(environment, std::string("\0KIVO_ROOT=", 11) + dir)) {
      found.push_back(pid);
    }
  }
  return found;
}

std::vector<std::string> StopProcessesUnder(const std::string& dir) {
  std::vector<std::string> stopped;
  std::set<pid_t> groups;
  const std::vector<pid_t> found = ProcessesUnder(dir);
  // Reaps those that are this process's children; the others are not ours to wait for.
  const auto reap = [&] {
    for (const pid_t pid : found) waitpid(pid, nullptr, WNOHANG);
  };
  for (const pid_t pid : found) {
    stopped.push_back(std::to_string(pid) + " " + CommandLine(pid));
    const pid_t group = getpgid(pid);
    if (group > 1 && group != getpgrp()) {
      groups.insert(group);
      kill(-group, SIGTERM);
    } else {
      kill(pid, SIGTERM);
    }
  }
  for (int i = 0; i < 50 && !found.empty() && (reap(), !ProcessesUnder(dir).empty()); ++i) {
    usleep(100 * 1000);
  }
  for (const pid_t group : groups) kill(-group, SIGKILL);
  for (const pid_t pid : ProcessesUnder(dir)) kill(pid, SIGKILL);
  reap();
  return stopped;
}

TestRoot::TestRoot() {
  char tmpl[] = KIVO_TEST_ROOTS "XXXXXX";
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
}

TestRoot::~TestRoot() {
  if (path_.empty()) return;
  // A daemon's last children may still be on their way out.
  for (int i = 0; i < 20 && !ProcessesUnder(path_).empty(); ++i) usleep(100 * 1000);
  const std::vector<std::string> left = StopProcessesUnder(path_);
  if (!left.empty()) {
    std::string list;
    for (const std::string& process : left) list += "\n  " + process;
    ADD_FAILURE() << "still running when the test ended:" << list;
  }
  const char* keep = getenv("KIVO_E2E_KEEP");
  if (keep != nullptr && keep[0] == '1') return;
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

Result TestRoot::WebApi(const std::vector<std::string>& args, const std::string& input,
                        const std::vector<std::string>& env) const {
  std::vector<std::string> argv = {kWebApiBin};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, path_, input, env);
}

bool TestRoot::AddUser(const std::string& name, bool admin, const std::string& password) const {
  std::vector<std::string> args = {"useradd", name};
  if (admin) args.push_back("--admin");
  if (WebApi(args).status != 0) return false;
  return password.empty() || WebApi({"passwd", name}, password + "\n").status == 0;
}

Result TestRoot::Call(const std::string& api, const std::string& method, const std::string& params,
                      const std::string& user) const {
  return WebApi({"call", "--user", user, api, "1", method, params});
}

std::string TestRoot::ConfValue(const std::string& key) const {
  for (const std::string& line : ReadLines(Path("/etc/kivoinfo.conf"))) {
    if (line.compare(0, key.size() + 2, key + "=\"") == 0 && line.back() == '"') {
      return line.substr(key.size() + 2, line.size() - key.size() - 3);
    }
  }
  return "";
}

bool TestRoot::WriteConf(const std::vector<std::pair<std::string, std::string>>& values) const {
  std::string content;
  for (const auto& kv : values) content += kv.first + "=\"" + kv.second + "\"\n";
  return WriteFile(Path("/etc/kivoinfo.conf"), content);
}

std::vector<std::string> TestRoot::Actions() const {
  std::vector<std::string> actions;
  for (const std::string& line : ReadLines(Path("/var/log/kivo/platform.jsonl"))) {
    const Json::Value entry = ParseJson(line);
    actions.push_back(entry["op"].asString() + Values(entry, {"op", "time"}));
  }
  return actions;
}

std::vector<std::string> TestRoot::Calendars() const {
  std::vector<std::string> entries;
  for (const Json::Value& entry : Registry()) entries.push_back(Values(entry).substr(1));
  return entries;
}

Json::Value TestRoot::Registry() const {
  return ParseJson(Slurp(Path("/usr/kivo/etc/calendar.info")));
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out.flush());
}

std::string Read(const std::string& path) {
  EXPECT_TRUE(Exists(path)) << path;
  return Slurp(path);
}

struct stat StatOf(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(Slurp(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::set<std::string> Tree(const std::string& dir, const std::set<std::string>& skip) {
  std::set<std::string> paths;
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(dir, error), end; it != end;
       it.increment(error)) {
    const std::string relative = it->path().string().substr(dir.size());
    const auto below = [&](const std::string& s) { return relative.compare(0, s.size(), s) == 0; };
    if (std::any_of(skip.begin(), skip.end(), below)) {
      // Never entered: a folder a test's attacker is busy swapping would
      // end the walk there, and everything after it would go unseen.
      it.disable_recursion_pending();
      continue;
    }
    paths.insert(relative);
  }
  return paths;
}

Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  return Json::Reader().parse(text, value) ? value : Json::Value();
}

std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

Json::Value CalendarParams(const std::string& share, const std::string& destination,
                           const std::string& fullpath, const std::string& name,
                           const std::string& id) {
  Json::Value p(Json::objectValue);
  p["share"] = share;
  p["destination"] = destination;
  p["fullpath"] = fullpath;
  p["calendarname"] = name;
  if (!id.empty()) p["id"] = id;
  return p;
}

Json::Value IdList(const std::string& id) {
  Json::Value p(Json::objectValue);
  p["id"].append(id);
  return p;
}

bool AddShare(const TestRoot& root, const std::string& name, const std::string& dir) {
  Json::Value shares = ParseJson(Read(root.Path("/etc/kivo/shares.json")));
  shares[name] = dir;
  return WriteFile(root.Path("/etc/kivo/shares.json"), shares.toStyledString());
}

bool PrivateMounts() {
  return unshare(CLONE_NEWNS) == 0 &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

Json::Value Refusal(int code) {
  return ParseJson(R"({"success":false,"error":{"code":)" + std::to_string(code) + "}}");
}

int FreePort(const std::set<int>& others) {
  // Below the kernel's range for the local ends of outgoing connections
  // (net.ipv4.ip_local_port_range, 32768-60999 unless set otherwise): a port
  // the kernel picked there could be taken, before the daemon binds it, as
  // the local end of a client connection of a test running beside this one.
  int low = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
  static std::mt19937 draw(std::random_device{}());
  const bool room = low > 10100;  // else the kernel's pick
  std::uniform_int_distribution<int> below(10000, room ? low - 1 : 10000);
  for (int tries = 0; tries < 1000; ++tries) {
    const int port = room ? below(draw) : 0;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t size = sizeof address;
    const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    if (fd >= 0) close(fd);
    if (bound && others.count(ntohs(address.sin_port)) == 0) return ntohs(address.sin_port);
  }
  ADD_FAILURE() << "no free port";
  return 0;
}

int Dial(int port, const std::string& source) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  if (inet_pton(AF_INET, source.c_str(), &address.sin_addr) == 1 &&
      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  }
  close(fd);
  return -1;
}

bool Server::Start(const TestRoot& root, const std::vector<std::string>& extra_args,
                   const std::vector<std::string>& env) {
  Stop();  // a restart, with other arguments
  port_ = tls_port_ = 0;
  log_path_ = root.path() + "/.serve.log";
  const int log_fd =
      open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  std::vector<std::string> argv = {kWebApiBin, "serve"};
  // Loopback unless the test names its own plain listener.
  if (std::find(extra_args.begin(), extra_args.end(), "--listen") == extra_args.end()) {
    argv.insert(argv.end(), {"--listen", "127.0.0.1:0"});
  }
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  pid_ = Spawn(argv, root.path(), "", log_fd, log_fd, env, true);
  close(log_fd);
  const std::regex listening("listening on .*:([0-9]+)\n");
  const std::regex listening_tls("listening on .*:([0-9]+) \\(https\\)\n");
  const bool tls = std::find(argv.begin(), argv.end(), "--listen-tls") != argv.end();
  std::smatch match;
  for (int i = 0; i < 200 && (port_ <= 0 || (tls && tls_port_ <= 0)); ++i) {
    const std::string log = Log();
    if (std::regex_search(log, match, listening)) port_ = std::stoi(match[1]);
    if (std::regex_search(log, match, listening_tls)) tls_port_ = std::stoi(match[1]);
    usleep(port_ > 0 && (!tls || tls_port_ > 0) ? 0 : 100 * 1000);
  }
  if (port_ > 0) return true;
  ADD_FAILURE() << "server did not start: " << Log();
  Stop();
  return false;
}

int Server::Stop() {
  if (pid_ <= 0) return -1;
  // The group: whatever the server started and left in it goes with it.
  kill(-pid_, SIGTERM);
  int status = 0;
  pid_t done = 0;
  // A server that does not stop within 10 s is killed: the test fails, not hangs.
  for (int i = 0; i < 100 && (done = waitpid(pid_, &status, WNOHANG)) == 0; ++i) usleep(100000);
  if (done == 0) kill(-pid_, SIGKILL);
  if (done == 0) waitpid(pid_, &status, 0);
  kill(-pid_, SIGKILL);  // none of the group outlives its leader
  pid_ = -1;
  return ExitStatus(status);
}

std::string Server::Log() const { return Slurp(log_path_); }

bool Http::Login(const std::string& account, const std::string& password) {
  Json::Value body;
  body["account"] = account;
  body["password"] = password;
  const Reply r = Send("POST", "/webapi/auth", Compact(body));
  if (r.status != 200) return false;
  cookie_ = r.set_cookie.substr(0, r.set_cookie.find(';'));
  return !cookie_.empty();
}

namespace {

size_t Append(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

size_t KeepCookie(char* data, size_t size, size_t count, void* out) {
  const std::string line(data, size * count);
  if (strncasecmp(line.c_str(), "Set-Cookie:", 11) == 0) {
    const size_t begin = line.find_first_not_of(' ', 11);
    const size_t end = line.find_last_not_of("\r\n");
    *static_cast<std::string*>(out) = line.substr(begin, end + 1 - begin);
  }
  return size * count;
}

}  // namespace

Reply Http::Send(const std::string& method, const std::string& path, const std::string& body,
                 const std::string& content_type, const Headers& headers) const {
  CURL* curl = curl_easy_init();
  const std::string url =
      (ca_file_.empty() ? "http://" : "https://") + host_ + ":" + std::to_string(port_) + path;
  curl_slist* list = nullptr;
  for (const auto& h : headers) list = curl_slist_append(list, (h.first + ": " + h.second).c_str());
  if (!cookie_.empty()) list = curl_slist_append(list, ("Cookie: " + cookie_).c_str());
  // curl adds its own form type to a POST unless told otherwise.
  list = curl_slist_append(
      list, content_type.empty() ? "Content-Type:" : ("Content-Type: " + content_type).c_str());
  list = curl_slist_append(list, "Expect:");
  std::string answer;
  Reply reply;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  if (method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  if (!body.empty() || method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, KeepCookie);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.set_cookie);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (!source_.empty()) curl_easy_setopt(curl, CURLOPT_INTERFACE, ("host!" + source_).c_str());
  if (!ca_file_.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file_.c_str());
  if (curl_easy_perform(curl) == CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    reply.status = static_cast<int>(status);
    reply.body = ParseJson(answer);
    reply.text = answer;
  }
  curl_slist_free_all(list);
  curl_easy_cleanup(curl);
  return reply;
}

Reply Http::Entry(const std::string& api, const std::string& method,
                  const Json::Value& params) const {
  Json::Value body;
  body["api"] = api;
  body["version"] = 1;
  body["method"] = method;
  body["params"] = params;
  return Send("POST", "/webapi/entry", Compact(body));
}

}  // namespace e2e

// End-to-end support: a fresh root per test (named KIVO_TEST_ROOTS<random>, so the suite's last
// test finds what it left running; KIVO_E2E_KEEP=1 keeps it), kivo-webapi run in it, readers.

#ifndef KIVO_TESTS_SUPPORT_E2E_H_
#define KIVO_TESTS_SUPPORT_E2E_H_

#include <json/json.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

constexpr char kWebDAV[] = "KIVO.Core.FileServ.WebDAV";
constexpr char kCalDAV[] = "KIVO.Core.FileServ.WebDAV.CalDAV";
constexpr char kCalendar[] = "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar";
constexpr char kWebApiBin[] = KIVO_WEBAPI_BIN;
constexpr char kModulePath[] = KIVO_MODULE_PATH;

struct Result {
  int status = -1;  // 128 + signal number when killed
  std::string out, err;
  Json::Value answer;  // the first line of `out` as JSON
};

// Starts `argv` with KIVO_ROOT=`root`, `env` ("NAME=value") and `input`; thread-safe. With
// `own_group` the child leads its own process group.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& root, const std::string& input,
            int out_fd, int err_fd, const std::vector<std::string>& env = {},
            bool own_group = false);
Result Run(const std::vector<std::string>& argv, const std::string& root,
           const std::string& input = "", const std::vector<std::string>& env = {});

// Processes but this one whose command line, folder or KIVO_ROOT names `dir` or below.
std::vector<pid_t> ProcessesUnder(const std::string& dir);
// Stops them with their process groups (never ours): SIGTERM, SIGKILL after 5 s; "pid cmdline".
std::vector<std::string> StopProcessesUnder(const std::string& dir);

class TestRoot {
 public:
  TestRoot();  // mkdtemp (0755: others reach their homes), `init` with kAdminPassword
  // What of the root still runs after 2 s fails the test and is stopped before the root goes.
  ~TestRoot();
  TestRoot(const TestRoot&) = delete;
  TestRoot& operator=(const TestRoot&) = delete;

  static constexpr const char* kAdminPassword = "admin-secret";

  bool ok() const { return init_result_.status == 0; }
  const Result& init_result() const { return init_result_; }
  const std::string& path() const { return path_; }
  std::string Path(const std::string& system_path) const { return path_ + system_path; }

  Result WebApi(const std::vector<std::string>& args, const std::string& input = "",
                const std::vector<std::string>& env = {}) const;
  // `useradd NAME [--admin]`, then `passwd NAME` when `password` is set.
  bool AddUser(const std::string& name, bool admin = false, const std::string& password = "") const;
  // `call --user USER API 1 METHOD PARAMS`.
  Result Call(const std::string& api, const std::string& method, const std::string& params = "{}",
              const std::string& user = "admin") const;

  std::string ConfValue(const std::string& key) const;  // "" when absent
  bool WriteConf(const std::vector<std::pair<std::string, std::string>>& values) const;
  // The action journal, an entry a text: "op" and the other values in key order but the time.
  std::vector<std::string> Actions() const;
  // The registry (null when missing or not JSON); its entries as "calendarname destination share".
  Json::Value Registry() const;
  std::vector<std::string> Calendars() const;

 private:
  std::string path_;
  Result init_result_;
};

bool WriteFile(const std::string& path, const std::string& content);
// Read and StatOf fail the current test when the file is not there.
std::string Read(const std::string& path);
struct stat StatOf(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);  // none when unreadable
bool Exists(const std::string& path);                         // links count as they are
// Every path below `dir`, relative to it, but those starting with a `skip`.
std::set<std::string> Tree(const std::string& dir, const std::set<std::string>& skip = {});

Json::Value ParseJson(const std::string& text);  // null when not JSON
std::string Compact(const Json::Value& value);
// With an `id`, the parameters of a `set` that moves that calendar there.
Json::Value CalendarParams(const std::string& share, const std::string& destination,
                           const std::string& fullpath, const std::string& name,
                           const std::string& id = "");
Json::Value IdList(const std::string& id);  // {"id":[ID]}: a delete's parameters
// Adds the share `name` at `dir` to the root's etc/kivo/shares.json.
bool AddShare(const TestRoot& root, const std::string& name, const std::string& dir);
// Moves this process into a mount namespace of its own with private mounts, so that what a test
// mounts is its alone; false where that is not allowed.
bool PrivateMounts();
Json::Value Refusal(int code);  // {"success":false,"error":{"code":CODE}}

// A port free on every address now, below the kernel's range for outgoing connections, none of
// `others`; 0 on failure.
int FreePort(const std::set<int>& others = {});
// A TCP connection to the loopback `port` from the loopback address `source`; -1 if refused.
int Dial(int port, const std::string& source = "127.0.0.1");

// `kivo-webapi serve` on a free loopback port (or its `--listen`), stopped with its group.
class Server {
 public:
  Server() = default;
  ~Server() { Stop(); }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // (Re)starts, waits until it listens; fails the current test with its output if not. `env`:
  // "NAME=value".
  bool Start(const TestRoot& root, const std::vector<std::string>& extra_args = {},
             const std::vector<std::string>& env = {});
  int Stop();  // SIGTERM to the group and wait: the server's exit status
  int port() const { return port_; }
  int tls_port() const { return tls_port_; }  // with --listen-tls; 0 without
  pid_t pid() const { return pid_; }
  std::string Log() const;  // its output so far, the access log among it

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int tls_port_ = 0;
  std::string log_path_;
};

struct Reply {
  int status = 0;  // 0 when there was no answer
  Json::Value body;
  std::string text;  // the body as sent
  std::string set_cookie;
};

// A client of one server that sends the cookie of its last login.
class Http {
 public:
  using Headers = std::vector<std::pair<std::string, std::string>>;

  explicit Http(int port) : port_(port) {}
  // Over HTTPS to `host`, trusting the certificate in `ca_file`.
  Http(int port, const std::string& host, const std::string& ca_file)
      : port_(port), host_(host), ca_file_(ca_file) {}

  bool Login(const std::string& account, const std::string& password);
  // `content_type` "" sends none.
  Reply Send(const std::string& method, const std::string& path, const std::string& body,
             const std::string& content_type = "application/json",
             const Headers& headers = {}) const;
  // POST /webapi/entry of a version 1 request.
  Reply Entry(const std::string& api, const std::string& method,
              const Json::Value& params = Json::Value(Json::objectValue)) const;
  void set_cookie(const std::string& cookie) { cookie_ = cookie; }
  // Connects from this loopback address (127.0.0.0/8) rather than 127.0.0.1.
  void set_source(const std::string& address) { source_ = address; }

 private:
  int port_;
  std::string host_ = "127.0.0.1";
  std::string ca_file_;
  std::string source_;
  std::string cookie_;
};

}  // namespace e2e

#endif  // KIVO_TESTS_SUPPORT_E2E_H_

// End-to-end test support: a fresh root per test and the real kivo-webapi
// run against it as a subprocess.
//
//   e2e::TestRoot root;                       // mkdtemp + `kivo-webapi init`
//   ASSERT_TRUE(root.ok()) << root.init_result().err;
//   root.AddUser("bob");                      // `useradd bob`
//   e2e::Result r = root.Call("KIVO.Core.FileServ.WebDAV.CalDAV", 1, "set",
//                             R"({"enable": true})", "bob");
//   EXPECT_EQ(r.status, 0);                   // exit status of `call`
//   EXPECT_TRUE(r.answer["success"].asBool());
//   EXPECT_EQ(root.ConfValue("runCalDav"), "yes");
//   for (const Json::Value& action : root.Journal()) ...
//
// Every subprocess runs with KIVO_ROOT set to the test's root, so the program,
// the module and the platform library all work inside it. The root is removed
// when the TestRoot goes out of scope (set KIVO_E2E_KEEP=1 to keep it).
// e2e::Server (below) runs `kivo-webapi serve` on a free loopback port.

#ifndef KIVO_TESTS_SUPPORT_E2E_H_
#define KIVO_TESTS_SUPPORT_E2E_H_

#include <json/json.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

// The program under test (the build's kivo-webapi) and the module it loads.
const char* WebApiBin();
const char* ModulePath();

// What a subprocess did.
struct Result {
  int status = -1;     // exit status; 128 + signal number when killed
  std::string out;     // everything on stdout
  std::string err;     // everything on stderr
  Json::Value answer;  // the first line of stdout parsed as JSON (null if not JSON)
};

// Runs `argv` (argv[0] a path) with KIVO_ROOT=`root` added to the current
// environment, `input` on stdin, and waits for it.
Result Run(const std::vector<std::string>& argv, const std::string& root,
           const std::string& input = "");

class TestRoot {
 public:
  // Makes a temporary directory (mode 0755, so that users other than root
  // can reach their homes) and runs `kivo-webapi init` on it with the admin
  // password kAdminPassword.
  TestRoot();
  ~TestRoot();
  TestRoot(const TestRoot&) = delete;
  TestRoot& operator=(const TestRoot&) = delete;

  static constexpr const char* kAdminPassword = "admin-secret";

  bool ok() const { return ok_; }
  const Result& init_result() const { return init_result_; }
  const std::string& path() const { return path_; }
  // The root-relative system path inside the root: Path("/etc/passwd").
  std::string Path(const std::string& system_path) const;

  // Runs kivo-webapi with `args` (after the program name) in this root.
  Result WebApi(const std::vector<std::string>& args, const std::string& input = "") const;
  // `useradd NAME [--admin]`, then `passwd NAME` when `password` is not
  // empty. True when both succeeded.
  bool AddUser(const std::string& name, bool admin = false, const std::string& password = "") const;
  // `call --user USER API VERSION METHOD PARAMS`.
  Result Call(const std::string& api, int version, const std::string& method,
              const std::string& params = "{}", const std::string& user = "admin") const;

  // etc/kivoinfo.conf as key -> value (quotes removed); empty when missing.
  std::map<std::string, std::string> Conf() const;
  // One key of it; "" when absent.
  std::string ConfValue(const std::string& key) const;
  // Replaces etc/kivoinfo.conf with these pairs.
  bool WriteConf(const std::map<std::string, std::string>& values) const;
  // The platform's action journal (var/log/kivo/platform.jsonl), one value
  // per line; empty when there is none yet.
  std::vector<Json::Value> Journal() const;
  // The calendar registry (usr/kivo/etc/calendar.info); null when missing
  // or not JSON.
  Json::Value Registry() const;

 private:
  std::string path_;
  bool ok_ = false;
  Result init_result_;
};

// Reads a whole file; false when it cannot be opened.
bool ReadFile(const std::string& path, std::string* content);
bool WriteFile(const std::string& path, const std::string& content);
// The same, failing the current test when the file cannot be read or stat'ed.
std::string Read(const std::string& path);
struct stat StatOf(const std::string& path);

// Journal helpers: the entries whose "op" is `op`, and the list of
// "op service" texts for the service entries, in order (for example
// "service.restart avahi").
std::vector<Json::Value> JournalOps(const std::vector<Json::Value>& journal, const std::string& op);
std::vector<std::string> ServiceActions(const std::vector<Json::Value>& journal);

// `kivo-webapi serve` on a free loopback port, stopped with SIGTERM by Stop()
// or the destructor.
class Server {
 public:
  Server() = default;
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts the server in `root` with `extra_args` and waits until it listens.
  // False (with the reason in error()) when it did not come up.
  bool Start(const TestRoot& root, const std::vector<std::string>& extra_args = {});
  // SIGTERM and wait; returns the exit status (128 + signal when killed).
  int Stop();

  int port() const { return port_; }
  const std::string& error() const { return error_; }
  // What the server wrote on stderr so far (the access log among it).
  std::string Log() const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int out_fd_ = -1;
  std::string log_path_;
  std::string error_;
};

}  // namespace e2e

#endif  // KIVO_TESTS_SUPPORT_E2E_H_

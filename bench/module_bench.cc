// In-process benchmarks of the module's entry functions.
//
// The entry functions are called the way the host calls them (request and
// response objects on the stack, one call per iteration) against the real
// platform library, in a temporary root laid out by `kivo-webapi init`. The
// calendar registry is seeded directly with N entries whose folders are
// mostly present, some damaged and some gone, as on a server in use.
//
// Besides the usual table, a summary at the end compares the figures with
// their targets and with reference floors measured in the same run: what the
// file system and the parser cost for the same work, without the module
// (reading and parsing the registry, the three status checks of every
// calendar, reading the two files a settings get needs, rewriting the
// registry, one fork and exec).
//
// Must run as root: a calendar create hands folders to their owners.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <json/json.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "kivo/kivo_api.h"
#include "module/api_table.h"

namespace {

constexpr int kMostCalendars = 10000;
constexpr char kUser[] = "admin";
constexpr char kNewCalendar[] = "bench-new";
// Calendar 5 lies in the public share and is whole.
constexpr char kDeletedCalendar[] = "cal-00005";

std::string gRoot;

// ---- the root -----------------------------------------------------------------------

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

// The whole file with one open, as few reads as its size allows, one close.
bool ReadFileOnce(const std::string& path, std::string* content) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (ok) content->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (ok && done < content->size()) {
    const ssize_t n = read(fd, &(*content)[done], content->size() - done);
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  close(fd);
  return ok;
}

// Runs `argv` with stdout and stderr discarded; its exit status, -1 when it
// did not exit.
int RunQuietly(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void RemoveTree(const std::string& path) {
  nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string PublicDir() { return gRoot + "/volume1/public"; }
std::string AdminHomeDir() { return gRoot + "/volume1/homes/admin"; }
std::string RegistryPath() { return gRoot + "/usr/kivo/etc/calendar.info"; }

std::string CalendarName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "cal-%05d", i);
  return name;
}

// One calendar in ten lies in the admin's home folder, the rest in the
// public share.
bool InHome(int i) { return i % 10 == 9; }

std::string CalendarDir(int i) {
  return (InHome(i) ? AdminHomeDir() : PublicDir()) + "/" + CalendarName(i);
}

Json::Value CalendarEntry(int i) {
  Json::Value entry(Json::objectValue);
  entry["calendarname"] = CalendarName(i);
  entry["destination"] = InHome(i) ? "homes/admin" : "public";
  entry["share"] = InHome(i) ? "homes" : "public";
  return entry;
}

// A whole calendar folder: the folder, its ".DAV" store and both state files.
bool MakeCalendarFolder(const std::string& dir) {
  const std::string store = dir + "/.DAV";
  return mkdir(dir.c_str(), 0777) == 0 && mkdir(store.c_str(), 0777) == 0 &&
         WriteFile(store + "/.state_for_dir.pag", "") &&
         WriteFile(store + "/.state_for_dir.dir", "");
}

// Folders for the most calendars any benchmark registers: one in twenty is
// gone ("noexist"), one in twenty has lost its store ("crashed").
bool MakeCalendarFolders() {
  for (int i = 0; i < kMostCalendars; ++i) {
    const std::string dir = CalendarDir(i);
    if (i % 20 == 0) continue;
    if (i % 20 == 10) {
      if (mkdir(dir.c_str(), 0777) != 0) return false;
      continue;
    }
    if (!MakeCalendarFolder(dir)) return false;
  }
  return true;
}

// The registry text with the first `count` calendars, as the module writes it.
const std::string& RegistryText(int count) {
  static std::map<int, std::string> texts;
  auto it = texts.find(count);
  if (it != texts.end()) return it->second;
  Json::Value calendars(Json::arrayValue);
  for (int i = 0; i < count; ++i) calendars.append(CalendarEntry(i));
  return texts[count] = calendars.toStyledString();
}

bool SeedRegistry(int count) { return WriteFile(RegistryPath(), RegistryText(count)); }

bool SetUpRoot() {
  char tmpl[] = "/tmp/kivo-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    std::fprintf(stderr, "mkdtemp: %s\n", std::strerror(errno));
    return false;
  }
  gRoot = tmpl;
  chmod(gRoot.c_str(), 0755);
  setenv("KIVO_ROOT", gRoot.c_str(), 1);
  const std::string password_file = gRoot + "/.admin-password";
  WriteFile(password_file, "bench-secret\n");
  const int status = RunQuietly({KIVO_WEBAPI_BIN, "init", "--admin-password-file", password_file});
  unlink(password_file.c_str());
  if (status != 0) {
    std::fprintf(stderr, "kivo-webapi init failed in %s (status %d)\n", gRoot.c_str(), status);
    return false;
  }
  if (!MakeCalendarFolders()) {
    std::fprintf(stderr, "cannot make the calendar folders in %s: %s\n", gRoot.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

// ---- profiling ----------------------------------------------------------------------

// With KIVO_BENCH_PERF_CTL=CTL_FIFO[,ACK_FIFO] the timed loops switch a
// `perf record -D -1 --control fifo:CTL_FIFO[,ACK_FIFO]` on and off, so that
// a profile holds the measured calls and none of the set-up.
int gPerfCtl = -1;
int gPerfAck = -1;

void OpenPerfControl() {
  const char* spec = std::getenv("KIVO_BENCH_PERF_CTL");
  if (spec == nullptr || spec[0] == '\0') return;
  const std::string fifos = spec;
  const size_t comma = fifos.find(',');
  gPerfCtl = open(fifos.substr(0, comma).c_str(), O_WRONLY | O_CLOEXEC);
  if (comma != std::string::npos) {
    gPerfAck = open(fifos.substr(comma + 1).c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (gPerfCtl < 0) std::fprintf(stderr, "cannot open perf control %s\n", spec);
}

void PerfCommand(const char* command) {
  if (gPerfCtl < 0) return;
  if (write(gPerfCtl, command, std::strlen(command)) < 0) return;
  char c = 0;
  while (gPerfAck >= 0 && read(gPerfAck, &c, 1) == 1 && c != '\n') {
  }
}

// Profiles the scope it lives in; Pause and Resume follow the benchmark's.
class ProfiledLoop {
 public:
  ProfiledLoop() { Resume(); }
  ~ProfiledLoop() { Pause(); }
  ProfiledLoop(const ProfiledLoop&) = delete;
  ProfiledLoop& operator=(const ProfiledLoop&) = delete;
  void Pause() { PerfCommand("disable\n"); }
  void Resume() { PerfCommand("enable\n"); }
};

// ---- one call -------------------------------------------------------------------------

// The entry function as the host runs it; false unless it answered success.
bool Call(APIEntryFunc entry, const Json::Value& params) {
  KIVO::APIRequest request(kUser, params, KIVO::Standing::kAdministrator);
  KIVO::APIResponse response;
  entry(&request, &response);
  return response.answer_count() == 1 && response.success();
}

Json::Value CreateParams() {
  Json::Value params(Json::objectValue);
  params["destination"] = "public";
  params["calendarname"] = kNewCalendar;
  params["fullpath"] = PublicDir();
  params["share"] = "public";
  return params;
}

Json::Value DeleteParams() {
  Json::Value params(Json::objectValue);
  params["id"].append(std::string(kDeletedCalendar) + ":public");
  return params;
}

// ---- benchmarks -----------------------------------------------------------------------

void BM_WebDAVGet(benchmark::State& state) {
  const Json::Value params(Json::objectValue);
  if (!Call(WebDAVGet, params)) state.SkipWithError("WebDAV get failed");
  ProfiledLoop profiled;
  for (auto _ : state) {
    KIVO::APIRequest request(kUser, params, KIVO::Standing::kAdministrator);
    KIVO::APIResponse response;
    WebDAVGet(&request, &response);
    benchmark::DoNotOptimize(response.data());
  }
}
BENCHMARK(BM_WebDAVGet)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_CalDAVGet(benchmark::State& state) {
  const Json::Value params(Json::objectValue);
  if (!Call(CalDAVConfGet, params)) state.SkipWithError("CalDAV get failed");
  ProfiledLoop profiled;
  for (auto _ : state) {
    KIVO::APIRequest request(kUser, params, KIVO::Standing::kAdministrator);
    KIVO::APIResponse response;
    CalDAVConfGet(&request, &response);
    benchmark::DoNotOptimize(response.data());
  }
}
BENCHMARK(BM_CalDAVGet)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_CalendarList(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const Json::Value params(Json::objectValue);
  if (!SeedRegistry(count)) state.SkipWithError("cannot seed the registry");
  ProfiledLoop profiled;
  for (auto _ : state) {
    KIVO::APIRequest request(kUser, params, KIVO::Standing::kAdministrator);
    KIVO::APIResponse response;
    CalDAVCalendarList(&request, &response);
    if (!response.success() ||
        response.data()["item"].size() != static_cast<Json::ArrayIndex>(count)) {
      state.SkipWithError("list failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_CalendarList)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Each iteration adds one calendar to N registered; the registry and the
// share are put back untimed.
void BM_CalendarCreate(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const Json::Value params = CreateParams();
  const std::string dir = PublicDir() + "/" + kNewCalendar;
  RemoveTree(dir);
  if (!SeedRegistry(count)) state.SkipWithError("cannot seed the registry");
  ProfiledLoop profiled;
  for (auto _ : state) {
    if (!Call(CalDAVCalendarCreate, params)) {
      state.SkipWithError("create failed");
      break;
    }
    state.PauseTiming();
    profiled.Pause();
    RemoveTree(dir);
    SeedRegistry(count);
    profiled.Resume();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_CalendarCreate)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Each iteration deletes one of N registered calendars (its folder goes
// with it); folder and entry are put back untimed.
void BM_CalendarDelete(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const Json::Value params = DeleteParams();
  const std::string dir = PublicDir() + "/" + kDeletedCalendar;
  if (!SeedRegistry(count)) state.SkipWithError("cannot seed the registry");
  ProfiledLoop profiled;
  for (auto _ : state) {
    if (!Call(CalDAVCalendarDelete, params)) {
      state.SkipWithError("delete failed");
      break;
    }
    state.PauseTiming();
    profiled.Pause();
    RemoveTree(dir);  // in case the removal was left half done
    MakeCalendarFolder(dir);
    SeedRegistry(count);
    profiled.Resume();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_CalendarDelete)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- reference floors ------------------------------------------------------------------

// The least a list must do: read the registry and parse it.
void BM_Reference_ReadParseRegistry(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  if (!SeedRegistry(count)) state.SkipWithError("cannot seed the registry");
  ProfiledLoop profiled;
  for (auto _ : state) {
    std::string text;
    Json::Value calendars;
    Json::Reader reader;
    if (!ReadFileOnce(RegistryPath(), &text) ||
        !reader.parse(text.data(), text.data() + text.size(), calendars, true)) {
      state.SkipWithError("cannot read the registry");
      break;
    }
    benchmark::DoNotOptimize(calendars);
  }
}
BENCHMARK(BM_Reference_ReadParseRegistry)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// What a list's status checks look at, three per calendar (folder, ".DAV",
// ".state_for_dir.pag") on the layout the list benchmark lists: made before
// the clock starts.
std::vector<std::string> StatusPaths(int count) {
  std::vector<std::string> paths;
  paths.reserve(3 * static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const std::string dir = CalendarDir(i);
    paths.push_back(dir);
    paths.push_back(dir + "/.DAV");
    paths.push_back(dir + "/.DAV/.state_for_dir.pag");
  }
  return paths;
}

// The status checks a list must make: a stat of each status path.
void BM_Reference_StatCalendars(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::vector<std::string> paths = StatusPaths(count);
  ProfiledLoop profiled;
  for (auto _ : state) {
    int present = 0;
    for (const std::string& path : paths) {
      struct stat st;
      present += stat(path.c_str(), &st) == 0;
    }
    benchmark::DoNotOptimize(present);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(paths.size()));
}
BENCHMARK(BM_Reference_StatCalendars)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same stats and what a calendar's identity costs at its cheapest: one
// read of the folder's attribute by path.
void BM_Reference_StatAndMarkCalendars(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::vector<std::string> paths = StatusPaths(count);
  ProfiledLoop profiled;
  for (auto _ : state) {
    int present = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
      struct stat st;
      present += stat(paths[i].c_str(), &st) == 0;
      if (i % 3 == 0) {
        char value[128];
        present += lgetxattr(paths[i].c_str(), "trusted.kivo.calendar", value, sizeof value) > 0;
      }
    }
    benchmark::DoNotOptimize(present);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(paths.size()));
}
BENCHMARK(BM_Reference_StatAndMarkCalendars)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The files a WebDAV get must read: kivoinfo.conf and services.json, each
// opened, read whole and closed once.
void BM_Reference_ReadConfAndServices(benchmark::State& state) {
  const std::string conf = gRoot + "/etc/kivoinfo.conf";
  const std::string services = gRoot + "/var/lib/kivo/services.json";
  ProfiledLoop profiled;
  for (auto _ : state) {
    std::string a, b;
    if (!ReadFileOnce(conf, &a) || !ReadFileOnce(services, &b)) {
      state.SkipWithError("cannot read the settings files");
      break;
    }
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
  }
}
BENCHMARK(BM_Reference_ReadConfAndServices)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What a create cannot avoid besides its folders: the registry read and
// parsed, then written whole in the styled form to a synced temporary that
// replaces it.
void BM_Reference_RewriteRegistry(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  if (!SeedRegistry(count)) state.SkipWithError("cannot seed the registry");
  const std::string temporary = RegistryPath() + ".bench";
  ProfiledLoop profiled;
  for (auto _ : state) {
    std::string text;
    ReadFileOnce(RegistryPath(), &text);
    Json::Value calendars;
    Json::Reader reader;
    if (!reader.parse(text.data(), text.data() + text.size(), calendars, true)) {
      state.SkipWithError("parse failed");
      break;
    }
    const std::string styled = calendars.toStyledString();
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_SYNC, 0644);
    const bool written =
        fd >= 0 && write(fd, styled.data(), styled.size()) == static_cast<ssize_t>(styled.size());
    if (fd >= 0) close(fd);
    if (!written || rename(temporary.c_str(), RegistryPath().c_str()) != 0) {
      state.SkipWithError("cannot write the registry");
      break;
    }
  }
}
BENCHMARK(BM_Reference_RewriteRegistry)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// What a delete pays for running "/bin/rm": one fork, exec and wait.
void BM_Reference_ForkExecTrue(benchmark::State& state) {
  ProfiledLoop profiled;
  for (auto _ : state) {
    if (RunQuietly({"/bin/true"}) != 0) state.SkipWithError("/bin/true failed");
  }
}
BENCHMARK(BM_Reference_ForkExecTrue)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- summary ---------------------------------------------------------------------------

// The console table as usual, keeping every figure (seconds of real time
// per iteration) for the summary.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so that saved results stay plain text.
  RecordingReporter() : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}

  // With --benchmark_repetitions the median of the repetitions stands for
  // the figure; without, the one run.
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Iteration && run.repetitions > 1) continue;
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      const double per_unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
      seconds_[run.run_name.str()] = run.GetAdjustedRealTime() / per_unit;
      cpu_seconds_[run.run_name.str()] = run.GetAdjustedCPUTime() / per_unit;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Negative when the benchmark did not run (filtered out or failed).
  double Seconds(const std::string& name) const { return Find(seconds_, name); }
  // The process's CPU time per iteration: on a machine shared with other
  // work it moves less than the real time, which includes waiting for a CPU.
  double CpuSeconds(const std::string& name) const { return Find(cpu_seconds_, name); }

 private:
  static double Find(const std::map<std::string, double>& figures, const std::string& name) {
    const auto it = figures.find(name);
    return it == figures.end() ? -1 : it->second;
  }

  std::map<std::string, double> seconds_;
  std::map<std::string, double> cpu_seconds_;
};

// An absolute limit on one figure.
struct Target {
  const char* label;
  const char* benchmark;
  double limit_seconds;
  double scale;  // seconds to the unit shown
  const char* unit;
};

const Target kTargets[] = {
    {"WebDAV get, in process", "BM_WebDAVGet/real_time", 50e-6, 1e6, "us"},
    {"calendar list, 10,000 registered", "BM_CalendarList/10000/real_time", 200e-3, 1e3, "ms"},
    {"calendar create, 10,000 registered", "BM_CalendarCreate/10000/real_time", 200e-3, 1e3, "ms"},
};

// A figure against its floor: the sum of one or two reference benchmarks
// of the same run. A limit of 0 means the ratio is only shown.
struct Ratio {
  const char* label;
  const char* benchmark;
  const char* floor;
  const char* floor_too;  // may be null
  double limit;
};

const Ratio kRatios[] = {
    {"list 10,000 / (read+parse registry + 30,000 stats + 10,000 getxattr)",
     "BM_CalendarList/10000/real_time", "BM_Reference_ReadParseRegistry/10000/real_time",
     "BM_Reference_StatAndMarkCalendars/10000/real_time", 1.3},
    {"list 10,000 / (read+parse registry + 30,000 stats)", "BM_CalendarList/10000/real_time",
     "BM_Reference_ReadParseRegistry/10000/real_time", "BM_Reference_StatCalendars/10000/real_time",
     0},
    {"WebDAV get / CalDAV get", "BM_WebDAVGet/real_time", "BM_CalDAVGet/real_time", nullptr, 1.5},
    {"WebDAV get / read kivoinfo.conf+services.json", "BM_WebDAVGet/real_time",
     "BM_Reference_ReadConfAndServices/real_time", nullptr, 0},
    {"CalDAV get / read kivoinfo.conf+services.json", "BM_CalDAVGet/real_time",
     "BM_Reference_ReadConfAndServices/real_time", nullptr, 0},
    {"create 10,000 / rewrite registry 10,000", "BM_CalendarCreate/10000/real_time",
     "BM_Reference_RewriteRegistry/10000/real_time", nullptr, 0},
    {"list 10,000 / list 1,000", "BM_CalendarList/10000/real_time",
     "BM_CalendarList/1000/real_time", nullptr, 0},
    {"create 10,000 / create 1,000", "BM_CalendarCreate/10000/real_time",
     "BM_CalendarCreate/1000/real_time", nullptr, 0},
    {"delete 10,000 / fork+exec /bin/true", "BM_CalendarDelete/10000/real_time",
     "BM_Reference_ForkExecTrue/real_time", nullptr, 0},
};

void PrintSummary(const RecordingReporter& reporter) {
  std::printf("\nTargets\n");
  for (const Target& t : kTargets) {
    const double seconds = reporter.Seconds(t.benchmark);
    if (seconds < 0) {
      std::printf("  %-36s not run\n", t.label);
      continue;
    }
    const bool met = seconds < t.limit_seconds;
    std::printf("  %-36s %10.3f %s   target < %.0f %s   %s (%.2fx the limit)\n", t.label,
                seconds * t.scale, t.unit, t.limit_seconds * t.scale, t.unit,
                met ? "met" : "MISSED", seconds / t.limit_seconds);
  }
  std::printf("\nRatios to floors (same run)%*s real time   CPU time\n", 29, "");
  using Figure = double (RecordingReporter::*)(const std::string&) const;
  for (const Ratio& r : kRatios) {
    double ratios[2] = {-1, -1};
    int i = 0;
    for (Figure figure_of : {&RecordingReporter::Seconds, &RecordingReporter::CpuSeconds}) {
      const double figure = (reporter.*figure_of)(r.benchmark);
      double floor = (reporter.*figure_of)(r.floor);
      if (r.floor_too != nullptr) {
        const double more = (reporter.*figure_of)(r.floor_too);
        floor = more < 0 ? -1 : floor + more;
      }
      if (figure >= 0 && floor > 0) ratios[i] = figure / floor;
      ++i;
    }
    if (ratios[0] < 0) {
      std::printf("  %-52s not run\n", r.label);
      continue;
    }
    std::printf("  %-52s %8.2f   %8.2f", r.label, ratios[0], ratios[1]);
    if (r.limit > 0) {
      std::printf("   target <= %.1f: %s", r.limit,
                  ratios[0] <= r.limit   ? "met"
                  : ratios[1] <= r.limit ? "met in CPU time only"
                                         : "MISSED");
    }
    std::printf("\n");
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (geteuid() != 0) {
    std::fprintf(stderr, "module_bench must run as root (a create hands folders to users)\n");
    return 1;
  }
  if (!SetUpRoot()) return 1;
  // The set-up's writes reach the disk, and the files init wrote settle
  // (the platform re-reads a file modified within the last two seconds on
  // every call), before anything is timed: the timed calls then meet the
  // root as a running server does.
  sync();
  sleep(2);
  OpenPerfControl();
  std::printf("root: %s\n", gRoot.c_str());
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(reporter);
  benchmark::Shutdown();
  const char* keep = std::getenv("KIVO_BENCH_KEEP");
  if (keep == nullptr || keep[0] != '1') RemoveTree(gRoot);
  return 0;
}

#include "host/hosting/module_call.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/fd.h"
#include "host/common/json_text.h"
#include "kivo/kivo_api.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "module_call";

}  // namespace

namespace host {

namespace {

// What a module call must leave as it found it.
struct ProcessState {
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  std::vector<gid_t> groups;
  int umask;  // -1 when it cannot be read
};

// The calling thread's umask as the kernel reports it: reading it never
// changes it, unlike umask(2). The status file is kept open per thread and
// read again from its start, which costs less than opening it each time.
int CurrentUmask() {
  thread_local const kivo::base::Fd status(open("/proc/thread-self/status", O_RDONLY | O_CLOEXEC));
  char text[4096];
  const ssize_t n = status.valid() ? pread(status.get(), text, sizeof text - 1, 0) : -1;
  if (n <= 0) return -1;
  text[n] = '\0';
  const char* line = strstr(text, "Umask:");
  return line != nullptr ? static_cast<int>(strtol(line + 6, nullptr, 8)) : -1;
}

std::vector<gid_t> CurrentGroups() {
  gid_t some[64];
  int count = getgroups(64, some);
  if (count >= 0) return std::vector<gid_t>(some, some + count);
  count = getgroups(0, nullptr);
  std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
  if (count > 0 && getgroups(count, groups.data()) != count) groups.clear();
  return groups;
}

ProcessState Current() {
  ProcessState state{};
  getresuid(&state.ruid, &state.euid, &state.suid);
  getresgid(&state.rgid, &state.egid, &state.sgid);
  state.groups = CurrentGroups();
  state.umask = CurrentUmask();
  return state;
}

// Taken when the program starts, before any module call.
const ProcessState kStarted = Current();

}  // namespace

bool ProcessAsStarted() {
  const ProcessState now = Current();
  bool same = true;
  if (now.ruid != kStarted.ruid || now.euid != kStarted.euid || now.suid != kStarted.suid) {
    KIVO_LOG(LOG_ERR, "uids %u %u %u, not %u %u %u as at start", now.ruid, now.euid, now.suid,
             kStarted.ruid, kStarted.euid, kStarted.suid);
    same = false;
  }
  if (now.rgid != kStarted.rgid || now.egid != kStarted.egid || now.sgid != kStarted.sgid) {
    KIVO_LOG(LOG_ERR, "gids %u %u %u, not %u %u %u as at start", now.rgid, now.egid, now.sgid,
             kStarted.rgid, kStarted.egid, kStarted.sgid);
    same = false;
  }
  if (now.groups != kStarted.groups) {
    KIVO_LOG(LOG_ERR, "%zu supplementary groups, not the %zu at start", now.groups.size(),
             kStarted.groups.size());
    same = false;
  }
  if (now.umask != kStarted.umask) {
    KIVO_LOG(LOG_ERR, "umask %03o, not %03o as at start", now.umask, kStarted.umask);
    same = false;
  }
  return same;
}

ModuleCallResult RunModuleCall(APIEntryFunc entry, const std::string& account,
                               KIVO::Standing standing, Json::Value params, Json::Value* data) {
  KIVO::APIRequest request(account, std::move(params), standing);
  KIVO::APIResponse response;
  entry(&request, &response);
  // Nothing serves on under an identity or a mask a call left behind.
  if (!ProcessAsStarted()) {
    KIVO_LOG(LOG_ERR, "a module call left the process changed: stopping");
    std::abort();
  }
  ModuleCallResult result;
  if (response.answer_count() != 1) {
    KIVO_LOG(LOG_ERR, "module answered %d times", response.answer_count());
  }
  if (response.answer_count() == 0) return result;
  result.answered = true;
  result.success = response.success();
  result.error_code = response.error_code();
  if (data != nullptr) *data = response.data();
  result.answer = AnswerText(response.success(), response.error_code(), response.data());
  return result;
}

}  // namespace host

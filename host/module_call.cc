#include "host/module_call.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "host/host_log.h"
#include "host/json_text.h"
#include "kivo/kivo_api.h"

namespace host {

namespace {

// The host's own file-creation mask: files it or its programs make are
// never writable by group or others.
constexpr mode_t kHostUmask = 022;

// The identity the host started with; module calls may change all of it.
struct ProcessBaseline {
  uid_t euid;
  gid_t egid;
  std::vector<gid_t> groups;
};

std::vector<gid_t> CurrentGroups() {
  const int count = getgroups(0, nullptr);
  std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
  if (count > 0 && getgroups(count, groups.data()) != count) groups.clear();
  return groups;
}

// Taken when the program starts, before any module call can change it.
const ProcessBaseline kBaseline = {geteuid(), getegid(), CurrentGroups()};

}  // namespace

void RestoreProcess() {
  // Group before user: once the effective user is root again the group may
  // be anything, but not the other way round for a host started as a user.
  if (getegid() != kBaseline.egid && setegid(kBaseline.egid) != 0) {
    HOST_LOG("cannot restore the effective group %u: %s", kBaseline.egid, strerror(errno));
    std::abort();  // never serve another call under a user's identity
  }
  if (geteuid() != kBaseline.euid && seteuid(kBaseline.euid) != 0) {
    HOST_LOG("cannot restore the effective user %u: %s", kBaseline.euid, strerror(errno));
    std::abort();
  }
  if (CurrentGroups() != kBaseline.groups &&
      setgroups(kBaseline.groups.size(), kBaseline.groups.data()) != 0) {
    HOST_LOG("cannot restore the supplementary groups: %s", strerror(errno));
    std::abort();
  }
  umask(kHostUmask);
}

ModuleCallResult RunModuleCall(APIEntryFunc entry, const std::string& account,
                               KIVO::Standing standing, Json::Value params, Json::Value* data) {
  // Nothing but a module call changes the process, and every call is
  // followed by the restore: it is as the host keeps it here.
  KIVO::APIRequest request(account, std::move(params), standing);
  KIVO::APIResponse response;
  entry(&request, &response);
  RestoreProcess();
  ModuleCallResult result;
  if (response.answer_count() != 1) {
    HOST_LOG("module answered %d times", response.answer_count());
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

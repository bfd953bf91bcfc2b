// A module call changes nothing of the process: a call that acts as a user
// does so on a thread of its own, and the host stops rather than serve on
// after a call that left the process's identity, groups or mask changed.

#include "host/hosting/module_call.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "base/thread_identity_scope.h"

namespace host {
namespace {

// The process's "Uid:", "Gid:", "Groups:" and "Umask:" lines, as the
// kernel has them for the calling thread.
std::string Status() {
  std::ifstream status("/proc/thread-self/status");
  std::string line, out;
  while (std::getline(status, line)) {
    for (const char* key : {"Uid:", "Gid:", "Groups:", "Umask:"}) {
      if (line.rfind(key, 0) == 0) out += line + "\n";
    }
  }
  return out;
}

// What a non-administrator's calendar create does: the user's ids and
// groups and a creation mask of 0, on a thread of the call's own.
void CreateLikeCall(KIVO::APIRequest*, KIVO::APIResponse* response) {
  bool acted = false;
  const bool ran = kivo::base::RunOnOwnThread([&] {
    umask(0);
    kivo::base::ThreadIdentity user;
    acted = user.Take(1000, 100, {100, 4242}) == KIVO_THREAD_DONE && geteuid() == 1000;
  });
  if (ran && acted) response->SetSuccess(Json::Value());
}

void Unanswered(KIVO::APIRequest*, KIVO::APIResponse*) {}

TEST(ModuleCallTest, ACallActingAsAUserOnItsOwnThreadLeavesTheProcessAsItWas) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::string before = Status();
  for (APIEntryFunc entry : {&CreateLikeCall, &Unanswered}) {
    const ModuleCallResult result =
        RunModuleCall(entry, "bob", KIVO::Standing::kUser, Json::Value(Json::objectValue));
    EXPECT_EQ(result.answered, entry == &CreateLikeCall);
    EXPECT_EQ(result.success, entry == &CreateLikeCall);
    EXPECT_EQ(Status(), before);
    EXPECT_TRUE(ProcessAsStarted());
  }
}

// Calls that leave one part of the process changed, each on the calling
// thread alone (the host's check reads that thread).
const gid_t kUserGroups[] = {100, 4242};
void LeavesTheMask(KIVO::APIRequest*, KIVO::APIResponse* response) {
  umask(0);
  response->SetSuccess(Json::Value());
}
void LeavesTheGroups(KIVO::APIRequest*, KIVO::APIResponse* response) {
  kivo_thread_set_groups(2, kUserGroups);
  response->SetSuccess(Json::Value());
}
void LeavesTheGroup(KIVO::APIRequest*, KIVO::APIResponse* response) {
  kivo_thread_set_egid(100);
  response->SetSuccess(Json::Value());
}
void LeavesTheUser(KIVO::APIRequest*, KIVO::APIResponse* response) {
  kivo_thread_set_euid(1000);
  response->SetSuccess(Json::Value());
}

TEST(ModuleCallDeathTest, ACallThatLeavesTheProcessChangedStopsTheHost) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // As kivo-webapi does: its log lines reach stderr too.
  openlog("module_call_test", LOG_PERROR, LOG_USER);
  for (APIEntryFunc entry : {&LeavesTheMask, &LeavesTheGroups, &LeavesTheGroup, &LeavesTheUser}) {
    EXPECT_DEATH(RunModuleCall(entry, "bob", KIVO::Standing::kUser, Json::Value(Json::objectValue)),
                 "left the process changed");
  }
}

}  // namespace
}  // namespace host

// After every module call the host is root again: identity, groups and creation mask.

#include "host/module_call.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace host {
namespace {

std::vector<gid_t> Groups() {
  std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
  getgroups(static_cast<int>(groups.size()), groups.data());
  return groups;
}

mode_t CurrentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// What a non-administrator's calendar create leaves: the user's groups and ids, mask 0.
void CreateLikeCall(KIVO::APIRequest*, KIVO::APIResponse* response) {
  const gid_t groups[] = {100, 4242};
  if (setgroups(2, groups) != 0 || setegid(100) != 0 || seteuid(1000) != 0) return;
  umask(0);
  response->SetSuccess(Json::Value());
}

void Unanswered(KIVO::APIRequest*, KIVO::APIResponse*) { umask(0); }

TEST(ModuleCallTest, EveryCallLeavesTheHostsOwnIdentityGroupsAndMask) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::vector<gid_t> before = Groups();
  for (APIEntryFunc entry : {&CreateLikeCall, &Unanswered}) {
    const ModuleCallResult result =
        RunModuleCall(entry, "bob", KIVO::Standing::kUser, Json::Value(Json::objectValue));
    EXPECT_EQ(result.answered, entry == &CreateLikeCall);
    EXPECT_EQ(geteuid(), 0u);
    EXPECT_EQ(getegid(), 0u);
    EXPECT_EQ(Groups(), before);
    EXPECT_EQ(CurrentUmask(), 022u);
  }
}

}  // namespace
}  // namespace host

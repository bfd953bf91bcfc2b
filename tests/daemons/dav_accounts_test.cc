// The WebDAV daemon's account reader (mod_kivo_dav's kivo_dav_accounts.c),
// without Apache: which lines of a root's etc/passwd, etc/shadow and
// etc/group make an account it serves, and with which identity; and that
// the index it keeps of them never outlives a change of any of the three.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "kivo/account_files.h"
#include "tests/platform/temp_root.h"

extern "C" {
#include "daemons/apache/kivo_dav_accounts.h"
}

namespace {

class DavAccountsTest : public TempRootTest {
 protected:
  void TearDown() override {
    kd_account_index_clear(&index_);
    TempRootTest::TearDown();
  }

  // Writes the three files and reads `name` from them with an index of its
  // own; false when the root serves no such account.
  bool Find(const std::string& passwd, const std::string& shadow, const std::string& group,
            const std::string& name, kd_account* account) {
    Write("etc/passwd", passwd);
    Write("etc/shadow", shadow);
    Write("etc/group", group);
    return FindIn(name, account);
  }

  // `named`, when given: whether the index then names the account at all.
  bool FindIn(const std::string& name, kd_account* account, bool* named = nullptr) {
    kd_account_index index = KD_ACCOUNT_INDEX_INIT;
    const bool found = FindWith(&index, name, Now(), account);
    if (named != nullptr) *named = kd_account_index_names(&index, name.c_str()) == 1;
    kd_account_index_clear(&index);
    return found;
  }

  // Through `index`, as a login at `now` does.
  bool FindWith(kd_account_index* index, const std::string& name, const struct timespec& now,
                kd_account* account) {
    const int fd = open(Path("etc/shadow").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    const bool found =
        kd_account_index_find(index, Path("etc/passwd").c_str(), Path("etc/group").c_str(), fd,
                              name.c_str(), &now, account) == 1;
    close(fd);
    return found;
  }

  static struct timespec Now() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
  }

  kd_account_index index_ = KD_ACCOUNT_INDEX_INIT;
};

std::vector<gid_t> Groups(const kd_account& a) {
  return std::vector<gid_t>(a.id.groups, a.id.groups + a.id.group_count);
}

// `count` accounts u0, u1, ... before `passwd_last` and `shadow_last`, with
// hashes as long as yescrypt's.
std::pair<std::string, std::string> Many(int count, const std::string& passwd_last,
                                         const std::string& shadow_last) {
  std::string passwd, shadow;
  for (int i = 0; i < count; ++i) {
    const std::string name = "u" + std::to_string(i);
    passwd += name + ":x:" + std::to_string(2000 + i) + ":100::/volume1/homes/" + name +
              ":/usr/sbin/nologin\n";
    shadow += name + ":$y$j9T$" + std::string(22, 's') + "$" + std::string(43, 'h') +
              ":19000:0:99999:7:::\n";
  }
  return {passwd + passwd_last, shadow + shadow_last};
}

// Ways a line can fail to make a served account, beside one that does: the
// row's passwd and shadow lines for "bob" are all the root holds of him.
// Locked, disabled and empty hashes, system and root's uids, root's group,
// the first user uid, expiry (the web API ignores it as well), lines cut
// short, no line at all: the shared table below.
TEST_F(DavAccountsTest, OnlyUsersWithACryptHashAreServed) {
  const auto many = Many(100000, "bob:x:1001:100::/h:/bin/sh\n", "bob:$6$s$h:::::::\n");
  const struct {
    const char* why;
    std::string passwd, shadow;
    bool served;
  } rows[] = {
      {"a user", "bob:x:1001:100::/h:/bin/sh\n", "bob:$6$salt$hash:19000:0:99999:7:::\n", true},
      {"shadow line cut short", "bob:x:1001:100::/h:/bin/sh\n", "bob\n", false},
      {"empty uid", "bob:x::100::/h:/bin/sh\n", "bob:$6$s$h:::::::\n", false},
      {"a negative uid", "bob:x:-1:100::/h:/bin/sh\n", "bob:$6$s$h:::::::\n", false},
      {"a uid beyond range", "bob:x:99999999999:100::/h:/bin/sh\n", "bob:$6$s$h:::::::\n", false},
      // Names that only start like bob's, a comment naming him, odd lines.
      {"longer names and a comment",
       "# bob:x:1001:100\nbobby:x:1002:100::/h:/bin/sh\n\nno colons\nb:x:1:1\n",
       "bobby:$6$s$h:::::::\n#bob:$6$s$h\n", false},
      // A reader of 1,023 bytes at a time would start a line with the rest of this one.
      {"a long line's tail",
       "alice:x:1000:100:" + std::string(1006, 'x') + "bob:x:1001:100::/h:/bin/sh\n",
       "bob:$6$s$h:::::::\n", false},
      {"after 100,000 accounts with yescrypt hashes", many.first, many.second, true},
      // No crypt(3) hash comes near the account's room; one that fills it is no login.
      {"a hash of 255 bytes", "bob:x:1001:100::/h:/bin/sh\n",
       "bob:$6$" + std::string(252, 'h') + ":::::::\n", true},
      {"a hash of 256 bytes", "bob:x:1001:100::/h:/bin/sh\n",
       "bob:$6$" + std::string(253, 'h') + ":::::::\n", false},
      {"after odd lines",
       "# bob:x:1:1\n\nno colons\n::::\nbobby:x:1002:100::/h:/bin/sh\nbob:x:1001:100::/h:/bin/sh",
       "\n# x\nbobby:*:::::::\nbob:$6$s$h", true},
  };
  for (const auto& row : rows) {
    kd_account account;
    Write("etc/passwd", row.passwd);
    Write("etc/shadow", row.shadow);
    Write("etc/group", "users:x:100:\n");
    bool named = false;
    EXPECT_EQ(FindIn("bob", &account, &named), row.served) << row.why;
    // An account of any kind, by a line of its own.
    EXPECT_EQ(named, ("\n" + row.passwd).find("\nbob:") != std::string::npos) << row.why;
    if (row.served) {
      EXPECT_GE(account.id.uid, 1000u) << row.why;
      EXPECT_EQ(account.id.gid, 100u) << row.why;
      EXPECT_EQ(account.hash[0], '$') << row.why;
    }
  }
  // Beyond every reader's limit nobody is served: bob's line, then NULs (sparse).
  Write("etc/passwd", "bob:x:1001:100::/h:/bin/sh\n");
  Write("etc/shadow", "bob:$6$s$h:::::::\n");
  ASSERT_EQ(truncate(Path("etc/shadow").c_str(), KIVO_ACCOUNT_FILE_MAX + 1), 0);
  kd_account account;
  EXPECT_FALSE(FindIn("bob", &account));
}

TEST_F(DavAccountsTest, NamesTheHostRefusesAndGuestAreNeverServed) {
  for (const std::string name : {"guest", "Bob", "", "bob:x", "1bob", "b b", "bob\n"}) {
    kd_account account;
    EXPECT_FALSE(
        Find(name + ":x:1001:100::/h:/bin/sh\n", name + ":$6$s$h:::::::\n", "", name, &account))
        << name;
  }
  EXPECT_TRUE(kd_usable_name("_svc.x-1"));
  EXPECT_FALSE(kd_usable_name(std::string(33, 'a').c_str()));
}

TEST_F(DavAccountsTest, IdentityCarriesTheListedGroupsNeverRoots) {
  const std::string passwd =
      "alice:x:1000:100::/h:/bin/sh\nadmin:x:1001:1001::/h:/bin/sh\n"
      "boss:x:1002:101::/h:/bin/sh\nbob:x:1003:100::/h:/bin/sh\n";
  const std::string shadow = "alice:$6$a:::\nadmin:$6$b:::\nboss:$6$c:::\nbob:$6$d:::\n";
  const std::string group =
      "root:x:0:alice,bob\nusers:x:100:alice\nadministrators:x:101:admin\n"
      "admin:x:1001:\nteam:x:3000:bob,alice,carol\n# team2:x:3001:alice\n"
      "alicex:x:3002:alicex,xalice\nodd line\nbroken:x:notanumber:alice\n"
      "administrators2:x:3003:bob\n";
  kd_account a;
  ASSERT_TRUE(Find(passwd, shadow, group, "alice", &a));
  EXPECT_EQ(a.id.uid, 1000u);
  EXPECT_EQ(Groups(a), (std::vector<gid_t>{100, 3000})) << "primary first, once; root's never";
  EXPECT_EQ(a.id.admin, 0);
  EXPECT_STREQ(a.hash, "$6$a");

  ASSERT_TRUE(Find(passwd, shadow, group, "admin", &a));
  EXPECT_EQ(a.id.admin, 1) << "listed in administrators";
  EXPECT_EQ(Groups(a), (std::vector<gid_t>{1001, 101}));
  ASSERT_TRUE(Find(passwd, shadow, group, "boss", &a));
  EXPECT_EQ(a.id.admin, 1) << "administrators as primary group";
  EXPECT_EQ(Groups(a), (std::vector<gid_t>{101}));
  ASSERT_TRUE(Find(passwd, shadow, group, "bob", &a));
  EXPECT_EQ(a.id.admin, 0) << "a group whose name starts like administrators";
  EXPECT_EQ(Groups(a), (std::vector<gid_t>{100, 3000, 3003}));

  // Without etc/group: the primary group alone.
  ASSERT_EQ(unlink(Path("etc/group").c_str()), 0);
  ASSERT_TRUE(FindIn("alice", &a));
  EXPECT_EQ(Groups(a), (std::vector<gid_t>{100}));
}

TEST_F(DavAccountsTest, GroupsBeyondTheLimitAreLeftOutAndCounted) {
  std::string group;
  for (int i = 0; i < KD_MAX_GROUPS + 6; ++i) {
    group += "g" + std::to_string(i) + ":x:" + std::to_string(5000 + i) + ":x,alice,y\n";
  }
  kd_account a;
  ASSERT_TRUE(Find("alice:x:1000:100::/h:/bin/sh\n", "alice:$6$s$h:::\n", group, "alice", &a));
  EXPECT_EQ(a.id.group_count, KD_MAX_GROUPS);
  EXPECT_EQ(a.groups_left_out, 7);
  EXPECT_EQ(a.id.groups[0], 100u);
  EXPECT_EQ(a.id.groups[KD_MAX_GROUPS - 1], static_cast<gid_t>(5000 + KD_MAX_GROUPS - 2));
}

// The table every reader of a root's accounts runs
// (tests/vectors/accounts.json; the CalDAV daemon's plug-ins run it in
// caldav_plugins_test.py): an account one service refuses, every service
// refuses, and a served one has the same uid, group and groups in both.
TEST_F(DavAccountsTest, AccountsFollowTheTableEveryReaderRuns) {
  std::ifstream file(std::string(KIVO_SOURCE_DIR) + "/tests/vectors/accounts.json");
  Json::Value table;
  ASSERT_TRUE(Json::Reader().parse(file, table));
  for (const char* name : {"passwd", "group", "shadow"}) {
    Write(std::string("etc/") + name, table[name].asString());
  }
  for (const Json::Value& account : table["accounts"]) {
    const std::string name = account["name"].asString();
    SCOPED_TRACE(name + ": " + account["why"].asString());
    kd_account found;
    const bool served = FindIn(name, &found);
    EXPECT_EQ(served, account["served"].asBool());
    if (!served || !account["served"].asBool()) continue;
    EXPECT_EQ(found.id.uid, account["uid"].asUInt());
    EXPECT_EQ(found.id.gid, account["gid"].asUInt());
    EXPECT_EQ(found.id.admin != 0, account["admin"].asBool());
    std::vector<unsigned> groups(found.id.groups, found.id.groups + found.id.group_count);
    std::sort(groups.begin(), groups.end());
    std::vector<unsigned> expected;
    for (const Json::Value& g : account["groups"]) expected.push_back(g.asUInt());
    EXPECT_EQ(groups, expected);
  }
}

// The index a process keeps is read once while the files stay as they are,
// and never outlives a change: a shadow put in by rename, an account locked
// in place, a password changed in place keeping the file's size and its
// modification time, a new membership, a new uid, etc/group gone. Files
// changed within the last second are read again at every login: a later
// change within the same clock tick could leave their stamps as they were.
// A kept connection's etc/shadow follows the same rule (kd_kept_version).
TEST_F(DavAccountsTest, TheIndexNeverOutlivesAChangeOfTheFiles) {
  Write("etc/passwd", "alice:x:1000:100::/h:/bin/sh\nbob:x:1001:100::/h:/bin/sh\n");
  Write("etc/group", "users:x:100:\nteam:x:3000:alice\n");
  Write("etc/shadow", "alice:$6$a:::\nbob:$6$first:::\n");
  // Logins two seconds after the files' last change: their stamps hold.
  const auto later = [] {
    struct timespec t = Now();
    t.tv_sec += 2;
    return t;
  };
  const auto replace = [this](const std::string& file, const std::string& content) {
    Write(file + ".new", content);
    ASSERT_EQ(rename(Path(file + ".new").c_str(), Path(file).c_str()), 0);
  };
  kd_account a;
  ASSERT_TRUE(FindWith(&index_, "bob", later(), &a));
  EXPECT_STREQ(a.hash, "$6$first");
  ASSERT_TRUE(FindWith(&index_, "alice", later(), &a));
  EXPECT_EQ(index_.builds, 1u) << "unchanged files are read once";

  replace("etc/shadow", "alice:$6$a:::\nbob:$6$other:::\n");
  ASSERT_TRUE(FindWith(&index_, "bob", later(), &a));
  EXPECT_STREQ(a.hash, "$6$other") << "a shadow put in by rename, the same size";

  Write("etc/shadow", "alice:$6$a:::\nbob:!$6$other:::\n");
  EXPECT_FALSE(FindWith(&index_, "bob", later(), &a)) << "locked in place";

  // Only the change time tells this one from the lock (a tick later).
  struct stat locked;
  ASSERT_EQ(stat(Path("etc/shadow").c_str(), &locked), 0);
  // A connection that logged in then: sure of its version only a second later.
  const struct timespec moment = Now(), second = later();
  EXPECT_EQ(kd_kept_version(&locked, &locked, &moment), KD_KEPT_UNSURE);
  EXPECT_EQ(kd_kept_version(&locked, &locked, &second), KD_KEPT_SAME);
  const int kept = open(Path("etc/shadow").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(kept, 0);
  usleep(20000);
  Write("etc/shadow", "alice:$6$a:::\nbob:$6$second:::\n");
  const struct timespec times[2] = {locked.st_atim, locked.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, Path("etc/shadow").c_str(), times, 0), 0);
  ASSERT_TRUE(FindWith(&index_, "bob", later(), &a));
  EXPECT_STREQ(a.hash, "$6$second") << "a new password in place, size and mtime kept";
  struct stat now;
  ASSERT_EQ(fstat(kept, &now), 0);
  EXPECT_EQ(kd_kept_version(&now, &locked, &second), KD_KEPT_CHANGED) << "changed in place";

  replace("etc/group", "users:x:100:\nteam:x:3000:alice,bob\n");
  ASSERT_TRUE(FindWith(&index_, "bob", later(), &a));
  EXPECT_EQ(Groups(a), (std::vector<gid_t>{100, 3000})) << "a new membership";
  Write("etc/passwd", "alice:x:1000:100::/h:/bin/sh\nbob:x:1002:100::/h:/bin/sh\n");
  ASSERT_TRUE(FindWith(&index_, "bob", later(), &a));
  EXPECT_EQ(a.id.uid, 1002u) << "a new uid in place";
  ASSERT_EQ(unlink(Path("etc/group").c_str()), 0);
  ASSERT_TRUE(FindWith(&index_, "bob", later(), &a));
  EXPECT_EQ(Groups(a), (std::vector<gid_t>{100})) << "etc/group gone";

  // Read a moment after a change, files are read again until a login
  // finds them a second old.
  replace("etc/shadow", "alice:$6$a:::\nbob:$6$third:::\n");
  ASSERT_EQ(fstat(kept, &now), 0);
  close(kept);
  EXPECT_EQ(kd_kept_version(&now, &now, &second), KD_KEPT_CHANGED) << "replaced: no name left";
  const unsigned long builds = index_.builds;
  ASSERT_TRUE(FindWith(&index_, "bob", Now(), &a));
  ASSERT_TRUE(FindWith(&index_, "alice", Now(), &a));
  EXPECT_EQ(index_.builds, builds + 2) << "files changed within the second are read again";
  ASSERT_TRUE(FindWith(&index_, "bob", later(), &a));
  ASSERT_TRUE(FindWith(&index_, "bob", later(), &a));
  EXPECT_EQ(index_.builds, builds + 3);
  EXPECT_STREQ(a.hash, "$6$third");
}

// etc/group changed in place twice within one tick of the file clock, its
// size kept, keeps its stamp: read less than a second after its change, it
// is read again at every login until it settles, also while etc/passwd and
// etc/shadow are long settled (the logins here half a second after it).
TEST_F(DavAccountsTest, AGroupChangedWithinTheSecondIsReadAgainAtEveryLogin) {
  Write("etc/passwd", "bob:x:1001:100::/h:/bin/sh\n");
  Write("etc/shadow", "bob:$6$b:::\n");
  usleep(600000);  // a second before the logins below: settled
  Write("etc/group", "users:x:100:\nteam:x:3000:eve\n");
  struct stat first;
  ASSERT_EQ(stat(Path("etc/group").c_str(), &first), 0);
  struct timespec soon = first.st_ctim;
  soon.tv_sec += soon.tv_nsec >= 500000000 ? 1 : 0;
  soon.tv_nsec = (soon.tv_nsec + 500000000) % 1000000000;
  kd_account a;
  ASSERT_TRUE(FindWith(&index_, "bob", soon, &a));
  EXPECT_EQ(Groups(a), (std::vector<gid_t>{100}));
  Write("etc/group", "users:x:100:\nteam:x:3000:bob\n");
  const unsigned long builds = index_.builds;
  ASSERT_TRUE(FindWith(&index_, "bob", soon, &a));
  EXPECT_EQ(Groups(a), (std::vector<gid_t>{100, 3000})) << "the second change, size kept";
  ASSERT_TRUE(FindWith(&index_, "bob", soon, &a));
  EXPECT_EQ(index_.builds, builds + 2) << "a stamp that may hide a change is never trusted";
}

// One version of one file: the same device, inode, size and modification
// and change times to the nanosecond. A file put in by rename within one
// tick of the file clock, its size and times as the old one's, differs in
// its inode alone; one on another device may reuse the inode number.
TEST_F(DavAccountsTest, AVersionIsEveryPartOfTheStamp) {
  struct stat base;
  memset(&base, 0, sizeof base);
  base.st_dev = 1;
  base.st_ino = 2;
  base.st_size = 3;
  base.st_mtim = {4, 5};
  base.st_ctim = {6, 7};
  EXPECT_EQ(kd_same_version(&base, &base), 1);
  const std::vector<std::pair<const char*, void (*)(struct stat*)>> changes = {
      {"device", [](struct stat* s) { ++s->st_dev; }},
      {"inode", [](struct stat* s) { ++s->st_ino; }},
      {"size", [](struct stat* s) { ++s->st_size; }},
      {"mtime seconds", [](struct stat* s) { ++s->st_mtim.tv_sec; }},
      {"mtime nanoseconds", [](struct stat* s) { ++s->st_mtim.tv_nsec; }},
      {"ctime seconds", [](struct stat* s) { ++s->st_ctim.tv_sec; }},
      {"ctime nanoseconds", [](struct stat* s) { ++s->st_ctim.tv_nsec; }},
  };
  for (const auto& [part, change] : changes) {
    struct stat other = base;
    change(&other);
    EXPECT_EQ(kd_same_version(&base, &other), 0) << part;
    EXPECT_EQ(kd_same_version(&other, &base), 0) << part;
  }
}

}  // namespace

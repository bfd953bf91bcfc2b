// The free space and usage the WebDAV daemon shows a client (mod_kivo_dav's
// kivo_dav_space.c), without Apache: which of the volume's and the
// account's quota figures count, and how.

#include <errno.h>
#include <gtest/gtest.h>

extern "C" {
#include "daemons/apache/kivo_dav_space.h"
}

namespace {

constexpr unsigned long long kKiB = KD_QUOTA_BLOCK;

// A volume with 4,096,000 bytes free for accounts and 15,564,800 in use.
struct statvfs Volume() {
  struct statvfs vfs = {};
  vfs.f_frsize = 4096;
  vfs.f_blocks = 5000;
  vfs.f_bfree = 1200;
  vfs.f_bavail = 1000;
  return vfs;
}

TEST(DavSpaceTest, TheAccountsQuotaOrTheVolumes) {
  const time_t now = 1'000'000;
  const unsigned long long free_bytes = 1000 * 4096ULL, volume_used = 3800 * 4096ULL;
  const unsigned kBoth = QIF_BLIMITS | QIF_SPACE;
  const struct {
    const char* what;
    bool read;  // a quota was read at all
    unsigned valid;
    unsigned long long hard, soft, used, btime;
    unsigned long long available, answered_used;
  } cases[] = {
      {"quotas off", false, 0, 0, 0, 0, 0, free_bytes, volume_used},
      {"no limit for the account", true, kBoth, 0, 0, 512 * kKiB, 0, free_bytes, volume_used},
      {"limits not read", true, QIF_SPACE, 2048, 0, 512 * kKiB, 0, free_bytes, volume_used},
      {"the hard limit, not the soft one", true, kBoth, 2048, 1024, 512 * kKiB, 0, 1536 * kKiB,
       512 * kKiB},
      {"past the soft limit in its grace time", true, kBoth, 3072, 1024, 2048 * kKiB, now + 1,
       1024 * kKiB, 2048 * kKiB},
      {"past the soft limit, grace over", true, kBoth, 3072, 1024, 2048 * kKiB, now, 0,
       2048 * kKiB},
      {"a soft limit alone", true, kBoth, 0, 1024, 512 * kKiB, 0, 512 * kKiB, 512 * kKiB},
      {"a soft limit of one block", true, kBoth, 0, 1, 0, 0, 1 * kKiB, 0},
      {"at the limit", true, kBoth, 1024, 0, 1024 * kKiB, 0, 0, 1024 * kKiB},
      {"over the limit", true, kBoth, 1024, 0, 1025 * kKiB, 0, 0, 1025 * kKiB},
      {"a limit past the volume's free space", true, kBoth, 1ULL << 30, 0, 512 * kKiB, 0,
       free_bytes, 512 * kKiB},
      {"one byte under the volume's free space", true, kBoth, 4000, 0, 4000 * kKiB - free_bytes + 1,
       0, free_bytes - 1, 4000 * kKiB - free_bytes + 1},
  };
  const struct statvfs vfs = Volume();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    struct dqblk dq = {};
    dq.dqb_valid = c.valid;
    dq.dqb_bhardlimit = c.hard;
    dq.dqb_bsoftlimit = c.soft;
    dq.dqb_curspace = c.used;
    dq.dqb_btime = c.btime;
    kd_space space = {};
    kd_space_figures(&vfs, c.read ? &dq : nullptr, now, &space);
    EXPECT_EQ(space.available, c.available);
    EXPECT_EQ(space.used, c.answered_used);
    EXPECT_EQ(space.quota, c.answered_used != volume_used);
  }
}

// Only the failures that say no quota is kept stay out of the log.
TEST(DavSpaceTest, QuotaFailuresThatMeanNoQuotas) {
  for (const int error : {ESRCH, ENOSYS, EOPNOTSUPP, ENOTTY, EINVAL, ENOENT}) {
    EXPECT_EQ(kd_space_no_quotas(error), 1) << error;
  }
  for (const int error : {0, EIO, EPERM, EACCES, EFAULT, ENOMEM}) {
    EXPECT_EQ(kd_space_no_quotas(error), 0) << error;
  }
}

}  // namespace

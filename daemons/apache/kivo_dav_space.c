/* The free space a WebDAV client is shown (kivo_dav_space.h). */

#include "kivo_dav_space.h"

#include <errno.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

/* The limit in bytes the figures count to (kivo_dav_space.h), or 0 for none. */
static unsigned long long kd_quota_limit(const struct dqblk* dq, time_t now) {
  if (!(dq->dqb_valid & QIF_BLIMITS)) return 0;
  const unsigned long long hard = dq->dqb_bhardlimit * KD_QUOTA_BLOCK;
  const unsigned long long soft = dq->dqb_bsoftlimit * KD_QUOTA_BLOCK;
  const int grace_over =
      soft != 0 && dq->dqb_btime != 0 && dq->dqb_btime <= (unsigned long long)now;
  if (soft != 0 && (hard == 0 || (grace_over && soft < hard))) return soft;
  return hard;
}

void kd_space_figures(const struct statvfs* vfs, const struct dqblk* dq, time_t now,
                      kd_space* out) {
  const unsigned long long free_bytes =
      (unsigned long long)vfs->f_bavail * (unsigned long long)vfs->f_frsize;
  const unsigned long long limit = dq != NULL ? kd_quota_limit(dq, now) : 0;
  out->quota = limit != 0 && (dq->dqb_valid & QIF_SPACE);
  if (!out->quota) {
    out->available = free_bytes;
    out->used =
        (unsigned long long)(vfs->f_blocks - vfs->f_bfree) * (unsigned long long)vfs->f_frsize;
    return;
  }
  out->used = dq->dqb_curspace;
  const unsigned long long left = out->used >= limit ? 0 : limit - out->used;
  out->available = left < free_bytes ? left : free_bytes;
}

int kd_space_no_quotas(int error) {
  return error == ESRCH || error == ENOSYS || error == EOPNOTSUPP || error == ENOTTY ||
         error == EINVAL || error == ENOENT;
}

int kd_space_read(int fd, time_t now, kd_space* out) {
  struct statvfs vfs;
  if (fstatvfs(fd, &vfs) != 0) return -1;
  out->quota_errno = 0;
  struct dqblk dq;
  memset(&dq, 0, sizeof(dq));
  int have = 0;
#ifdef SYS_quotactl_fd
  /* By the descriptor: no device to look up, no second resolution. */
  have = syscall(SYS_quotactl_fd, fd, QCMD(Q_GETQUOTA, USRQUOTA), (unsigned)geteuid(), &dq) == 0;
  if (!have && !kd_space_no_quotas(errno)) out->quota_errno = errno;
#endif
  kd_space_figures(&vfs, have ? &dq : NULL, now, out);
  return 0;
}

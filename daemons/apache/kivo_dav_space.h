/* The free space and the usage a WebDAV client is shown for a folder (RFC
 * 4331's quota-available-bytes and quota-used-bytes): the account's quota
 * where the folder's file system keeps one for it, else the volume's.
 *
 * With a quota, the usage is the account's own on that file system and the
 * free space what the quota still allows, never more than the volume has
 * left: RFC 4331 counts "before further allocations will be refused", so
 * the hard limit is read. A soft limit counts where there is no hard one,
 * and once its grace time has run out (the kernel then refuses past it).
 * An account with no limit on a file system that keeps quotas, or quotas
 * off, sees the volume's figures: statvfs's f_bavail (what an account that
 * is not root may still fill) and the blocks in use by everybody.
 *
 * Plain C with no Apache types, so that it is tested without a daemon.
 * Threading: no state; kd_space_read reads as the calling thread's
 * identity, which must be the requesting account's. */

#ifndef KIVO_DAV_SPACE_H_
#define KIVO_DAV_SPACE_H_

#include <sys/quota.h>
#include <sys/statvfs.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The unit of a quota's block limits (the kernel's QIF_DQBLKSIZE). */
#define KD_QUOTA_BLOCK 1024ULL

typedef struct {
  unsigned long long available; /* bytes */
  unsigned long long used;      /* bytes */
  int quota;                    /* 1: the account's quota; 0: the volume's figures */
  int quota_errno;              /* the quota's read failed unexpectedly with it; else 0 */
} kd_space;

/* The figures of a file system whose statvfs is `vfs` for an account whose
 * quota there is `dq` (Q_GETQUOTA), or NULL when none was read, at `now`. */
void kd_space_figures(const struct statvfs* vfs, const struct dqblk* dq, time_t now, kd_space* out);

/* Whether a failed quota read's `error` means the file system keeps no
 * quota for anybody now (quotas off, not built in, not this kind of file
 * system): 1, or 0 for a failure worth a word in the log. */
int kd_space_no_quotas(int error);

/* Reads the figures of the file system `fd` is on (any descriptor, an
 * O_PATH one too, so that the folder is resolved once) for the account the
 * calling thread acts as: the kernel lets an account read its own quota
 * alone. 0, or -1 with errno when the file system's statvfs failed. */
int kd_space_read(int fd, time_t now, kd_space* out);

#ifdef __cplusplus
}
#endif

#endif /* KIVO_DAV_SPACE_H_ */

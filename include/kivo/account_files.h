/* The root's account files, etc/passwd, etc/group and etc/shadow: how large
 * any of them may be. Every reader of them keeps this one limit and refuses
 * a larger file as one it cannot read: the platform (platform/accounts.cc),
 * the host (host/accounts/accounts.cc), the base room's readers (base/root_files.h,
 * base/private_log.cc), the WebDAV daemon's configuration and its account
 * index (daemons/apache/kivo_dav_accounts.c), and the CalDAV daemon's
 * plug-ins (kivo_paths.py, which the build makes from the line below).
 * 100,000 accounts with yescrypt hashes take about 11 MB of etc/shadow.
 *
 * C and C++ alike; a constant, so any thread. */

#ifndef KIVO_ACCOUNT_FILES_H_
#define KIVO_ACCOUNT_FILES_H_

/* 64 MiB, in bytes, written out: the build reads it from here. */
#define KIVO_ACCOUNT_FILE_MAX 67108864

#endif /* KIVO_ACCOUNT_FILES_H_ */

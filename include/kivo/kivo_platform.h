// The platform operations the module calls.
//
// The module reads and writes the system configuration (kivoinfo.conf),
// controls services, emits system events, writes the user log, reloads the
// firewall, and looks up shares, users, volumes; it copies files and runs
// programs. All of that goes through the operations below, which the platform
// library (libkivo) provides. Unit tests link a fake in its place.
//
// Conventions: strings are NUL-terminated; results are ints whose failure
// value each operation names; nothing throws. A record obtained from a lookup
// (KIVOShareGet, KIVOUserGet) is released with its free operation.

#ifndef KIVO_PLATFORM_H_
#define KIVO_PLATFORM_H_

#include <sys/types.h>

#include <deque>
#include <functional>
#include <map>
#include <string>

// Reader of kivoinfo.conf. Info() answers the key's current value, or the
// default when the key is absent; the pointer stays valid while the reader
// lives.
class KivoConf {
 public:
  KivoConf();
  ~KivoConf();
  KivoConf(const KivoConf&) = delete;
  KivoConf& operator=(const KivoConf&) = delete;

  const char* Info(const char* key, const char* default_value);

 private:
  bool Reload();     // once per KivoReadSnapshot, else every time
  bool ReloadNow();  // looks at the file, reads it when it changed

  std::map<std::string, std::string, std::less<>> values_;  // found without a key copy
  std::deque<std::string> answers_;                         // keeps returned pointers alive
  // Identity of the file content last parsed, to skip unchanged re-reads.
  long long loaded_ino_ = -1;
  long long loaded_size_ = -1;
  long long loaded_mtime_ns_ = -1;
  // The KivoReadSnapshot in which the file was last looked at (0: none),
  // and whether that look succeeded.
  unsigned long long looked_in_ = 0;
  bool looked_ok_ = false;
};

// While one lives on the calling thread, the platform's readers of kept
// files (KivoConf::Info, KLIBServiceIsEnabled, KIVOShareGet,
// KIVOShareNamePathGet, KLIBGroupIsAdminGroupMem) look at each file once:
// the first question finds the file and checks its identity, later ones
// answer from that version. A handler that asks several questions for one
// answer holds one around them, so that the answer comes from one version of
// each file, each found by one path lookup. Changes made while it lives,
// this process's writes included, show once it ends. Snapshots may nest;
// the outermost one counts.
class KivoReadSnapshot {
 public:
  KivoReadSnapshot();
  ~KivoReadSnapshot();
  KivoReadSnapshot(const KivoReadSnapshot&) = delete;
  KivoReadSnapshot& operator=(const KivoReadSnapshot&) = delete;
};

namespace WebUtils {
// True when `port_from`..`port_to` is taken by a service other than `service`
// ("webdav_http", "webdavs_https", ...).
bool IsPortConflict(const std::string& service, int port_from, int port_to);
}  // namespace WebUtils

extern "C" {

// ---- kivoinfo.conf --------------------------------------------------------
// Replaces (or appends) `key`. -1 on failure.
int KLIBCINFOSetKeyValue(const char* key, const char* value);

// ---- services -------------------------------------------------------------
// 1 when the service's run setting is 1 (enabled); any other value otherwise.
int KLIBServiceIsEnabled(const char* service);
// Below 0 on failure.
int KLIBServiceReload(const char* service);
int KLIBServiceRestart(const char* service);
int KLIBServicectlStart(const char* service, int flags);
int KLIBServicectlStop(const char* service, int flags);
int KLIBServicectlRestart(const char* service, int flags);
// `run_key` 1: started at boot (enabled); 2: not started (disabled).
int KLIBServicecfgRunKeySet(const char* service, int run_key);

// ---- string hash tables and system events ---------------------------------
typedef struct KLIBCSZHASH KLIBCSZHASH;
// Null on failure.
KLIBCSZHASH* KLIBCSzHashAlloc(int capacity);
// May replace *table (growing it). Below 0 on failure.
int KLIBCSzHashSetValue(KLIBCSZHASH** table, const char* key, const char* value);
// Accepts null.
void KLIBCSzHashFree(KLIBCSZHASH* table);
// Sends system event `name` with the table's pairs. Below 0 on failure.
int KLIBSyseventEmit(const char* name, KLIBCSZHASH* params, int flags);

// ---- programs, errors -----------------------------------------------------
// Runs `program` with up to four arguments (the list ends at the first null)
// and waits. 0 exactly when it exited with status 0.
int KLIBCExec(const char* program, const char* arg1, const char* arg2, const char* arg3,
              const char* arg4);
// Code of the last platform error on this thread.
int KLIBCErrGet(void);

// ---- users and groups -----------------------------------------------------
typedef struct KIVOUSER {
  char* name;
  uid_t uid;
  gid_t gid;  // primary group
  char* home;
} KIVOUSER, *PKIVOUSER;

// 1: member of the administrators' group; 0: not a member; -1: failure.
int KLIBGroupIsAdminGroupMem(const char* user, int flags);
// 0 on success with *user set; nonzero otherwise (then *user may still be
// set and must be freed).
int KIVOUserGet(const char* name, PKIVOUSER* user);
void KIVOUserFree(PKIVOUSER user);

// ---- shares ---------------------------------------------------------------
typedef struct KIVOSHARE {
  char* name;
  char* path;  // absolute directory of the share
} KIVOSHARE, *PKIVOSHARE;

// 0 on success with *share set; nonzero when there is no such share.
int KIVOShareGet(const char* name, PKIVOSHARE* share);
void KIVOShareFree(PKIVOSHARE share);
// 0 when `path` is a share's directory or lies below it; the share's name and
// directory are copied into the buffers (truncated to fit).
int KIVOShareNamePathGet(const char* path, char* share_name, int share_name_size, char* share_path,
                         int share_path_size);

// ---- volumes and files ----------------------------------------------------
typedef struct KIVOVOLINFO {
  unsigned long long total_bytes;
  unsigned long long free_bytes;
  int writable;  // 0: mounted read-only
} KIVOVOLINFO;

// Describes the volume holding `path` (which need not exist yet). Below 0 on
// failure.
int KIVOMountVolInfoGet(const char* path, KIVOVOLINFO* info);

typedef struct KIVOCOPYOPT {
  int overwrite;  // 1: replace an existing destination
  uid_t uid;      // owner given to the copy
  gid_t gid;
} KIVOCOPYOPT;

// Copies the content of `source` to `dest`, then gives the copy the uid and
// gid of `options`. Nonzero on failure (KLIBCErrGet tells why).
int KIVOFileCopy(const char* source, const char* dest, const KIVOCOPYOPT* options);

// ---- firewall and user log ------------------------------------------------
// Below 0 on failure.
int KIVOFwRuleHup(void);
// Records event `event_id` by `user` in the system's user log.
int KIVOLogSet1(int level, int category, unsigned int event_id, const char* user, const char* arg1,
                const char* arg2, const char* arg3);

}  // extern "C"

#endif  // KIVO_PLATFORM_H_

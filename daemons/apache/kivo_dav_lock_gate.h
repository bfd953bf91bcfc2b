/* A gate in front of mod_dav_fs's lock database: while the database holds
 * no lock at all, the questions mod_dav asks of it on every change (is
 * this resource locked, which locks cover it, which lock has this token)
 * are answered "none" without opening it. mod_dav_fs opens the database
 * three to five times for one PUT, MOVE or DELETE, each open a dozen
 * system calls, so this is most of what a change costs beyond the change
 * itself on a server where nobody holds a lock.
 *
 * The gate is the lock hooks of the WebDAV provider "kivo"
 * (kivo_dav_provider.h): mod_dav_fs's own behind it. Every write of the
 * database goes through them as before; the gate only keeps, in memory all
 * the daemon's processes share, whether a lock may exist.
 *
 * A write is counted before it starts and the gate closes again only when
 * a scan of the database, begun after the last write counted, finds it
 * empty and no write was under way (kd_lock_gate.c says how); a process
 * killed while writing leaves the gate open, which costs speed, never a
 * lock. Threading: any thread of any of the daemon's processes. */

#ifndef KIVO_DAV_LOCK_GATE_H_
#define KIVO_DAV_LOCK_GATE_H_

#include "apr_pools.h"
#include "httpd.h"
#include "mod_dav.h"

/* The gate's lock hooks around mod_dav_fs's `fs` (kept, as is the table
 * returned); once, before the daemon serves. */
const dav_hooks_locks* kd_lock_gate_hooks(const dav_hooks_locks* fs);

/* In the parent, once the lock database at `path` exists: makes the shared
 * state on the daemon's first start (kept by `process_pool` through
 * graceful restarts) and reads whether the database holds a lock. 0, or
 * -1 with errno when the shared state cannot be made. */
int kd_lock_gate_start(apr_pool_t* process_pool, const char* path);

#endif /* KIVO_DAV_LOCK_GATE_H_ */

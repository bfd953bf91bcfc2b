/* The gate in front of mod_dav_fs's lock database (kivo_dav_lock_gate.h).
 *
 * The shared state is two counters in an anonymous shared mapping the
 * parent makes before it forks:
 *   written  grows before every write of the database (a lock appended,
 *            refreshed or removed); 0 means "no lock".
 *   writing  the lockdbs written and not yet closed. mod_dav_fs's
 *            database handle keeps what it writes until it is closed, so
 *            a write counts as under way until then.
 * A writer raises `writing` (once per lockdb), then `written`, writes, and
 * lowers `writing` when the lockdb is closed. The gate closes (written set
 * back to 0) after a lockdb that removed a lock is closed: the remover
 * reads `written`, then `writing`; only when no write is under way does it
 * scan the database, and if the scan finds no record it sets `written`
 * back to 0 only if it still holds the value read first. A write that
 * began before that first read is either still under way (seen in
 * `writing`) or closed, and then in the file the scan reads; one that
 * began after it changed `written`, so the compare-and-swap fails. A
 * question answered "none" while the gate is closed is one asked before
 * the first lock's write, as when mod_dav_fs reads the database a moment
 * before another process writes it. A lockdb written and never closed (a
 * process killed meanwhile) keeps the gate open: slower, never wrong. */

#include "kivo_dav_lock_gate.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>

#include "apr_dbm.h"
#include "apr_strings.h"
#include "mod_dav.h"

#define KD_LOCK_GATE_KEY "kivo_dav_lock_gate"

typedef struct {
  uint64_t written;
  uint64_t writing;
} kd_gate_state;

/* Set in the parent before it forks (again at each restart, as the module
 * may be loaded anew); read-only afterwards. */
static kd_gate_state* kd_gate;
static char kd_gate_db[4096];

/* mod_dav_fs's lock hooks, found once every module has registered its own. */
static const dav_hooks_locks* kd_fs_locks;
static dav_hooks_locks kd_gated_locks;

/* A lockdb of ours: the hooks are the gate's, `info` this, around
 * mod_dav_fs's own lockdb (which opens the database lazily). */
typedef struct {
  dav_lockdb* inner;
  apr_pool_t* pool;
  int writes;  /* this lockdb counts in `writing` */
  int removed; /* a lock removed: the gate may close once the lockdb is */
} kd_gated_db;

static kd_gated_db* kd_of(dav_lockdb* db) { return (kd_gated_db*)db->info; }
static dav_lockdb* kd_inner(dav_lockdb* db) { return kd_of(db)->inner; }

static int kd_gate_closed(void) {
  return kd_gate != NULL && __atomic_load_n(&kd_gate->written, __ATOMIC_SEQ_CST) == 0;
}

static void kd_write_begins(kd_gated_db* db) {
  if (kd_gate == NULL) return;
  if (!db->writes) {
    db->writes = 1;
    __atomic_add_fetch(&kd_gate->writing, 1, __ATOMIC_SEQ_CST);
  }
  __atomic_add_fetch(&kd_gate->written, 1, __ATOMIC_SEQ_CST);
}

/* 1 when the database at kd_gate_db holds no record; 0 when it holds one
 * or cannot be read (the gate then stays open). */
static int kd_db_empty(apr_pool_t* pool) {
  apr_pool_t* scratch = NULL;
  if (apr_pool_create(&scratch, pool) != APR_SUCCESS) return 0;
  apr_dbm_t* db = NULL;
  int empty = 0;
  if (apr_dbm_open(&db, kd_gate_db, APR_DBM_READONLY, APR_OS_DEFAULT, scratch) == APR_SUCCESS) {
    apr_datum_t key;
    memset(&key, 0, sizeof key);
    empty = apr_dbm_firstkey(db, &key) == APR_SUCCESS && key.dptr == NULL;
    apr_dbm_close(db);
  }
  apr_pool_destroy(scratch);
  return empty;
}

static void kd_try_close(apr_pool_t* pool) {
  if (kd_gate == NULL) return;
  uint64_t seen = __atomic_load_n(&kd_gate->written, __ATOMIC_SEQ_CST);
  if (seen == 0 || __atomic_load_n(&kd_gate->writing, __ATOMIC_SEQ_CST) != 0) return;
  if (!kd_db_empty(pool)) return;
  __atomic_compare_exchange_n(&kd_gate->written, &seen, 0, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

/* ---- the lock hooks ---- */

static dav_error* kd_open_lockdb(request_rec* r, int ro, int force, dav_lockdb** out) {
  dav_lockdb* inner = NULL;
  /* "force" opens the database at once; a closed gate needs nothing of it. */
  dav_error* err = kd_fs_locks->open_lockdb(r, ro, force && !kd_gate_closed(), &inner);
  if (err != NULL) return err;
  kd_gated_db* gated = apr_pcalloc(r->pool, sizeof *gated);
  gated->inner = inner;
  gated->pool = r->pool;
  dav_lockdb* db = apr_pcalloc(r->pool, sizeof *db);
  db->hooks = &kd_gated_locks;
  db->ro = ro;
  db->info = (dav_lockdb_private*)gated;
  *out = db;
  return NULL;
}

/* The database is scanned only once mod_dav_fs has closed it: its own
 * handle keeps written pages until then, and a scan beside it would read
 * the database as it was before the removal. */
static void kd_close_lockdb(dav_lockdb* db) {
  kd_gated_db* gated = kd_of(db);
  kd_fs_locks->close_lockdb(gated->inner);
  if (gated->writes) {
    gated->writes = 0;
    __atomic_sub_fetch(&kd_gate->writing, 1, __ATOMIC_SEQ_CST);
  }
  if (gated->removed) kd_try_close(gated->pool);
}

static dav_error* kd_remove_locknull_state(dav_lockdb* db, const dav_resource* resource) {
  kd_write_begins(kd_of(db));
  return kd_fs_locks->remove_locknull_state(kd_inner(db), resource);
}

static dav_error* kd_create_lock(dav_lockdb* db, const dav_resource* resource, dav_lock** lock) {
  return kd_fs_locks->create_lock(kd_inner(db), resource, lock);
}

static dav_error* kd_get_locks(dav_lockdb* db, const dav_resource* resource, int calltype,
                               dav_lock** locks) {
  if (kd_gate_closed()) {
    *locks = NULL;
    return NULL;
  }
  return kd_fs_locks->get_locks(kd_inner(db), resource, calltype, locks);
}

static dav_error* kd_find_lock(dav_lockdb* db, const dav_resource* resource,
                               const dav_locktoken* token, int partial_ok, dav_lock** lock) {
  if (kd_gate_closed()) {
    *lock = NULL;
    return NULL;
  }
  return kd_fs_locks->find_lock(kd_inner(db), resource, token, partial_ok, lock);
}

static dav_error* kd_has_locks(dav_lockdb* db, const dav_resource* resource, int* present) {
  if (kd_gate_closed()) {
    *present = 0;
    return NULL;
  }
  return kd_fs_locks->has_locks(kd_inner(db), resource, present);
}

static dav_error* kd_append_locks(dav_lockdb* db, const dav_resource* resource, int make_indirect,
                                  const dav_lock* lock) {
  kd_write_begins(kd_of(db));
  return kd_fs_locks->append_locks(kd_inner(db), resource, make_indirect, lock);
}

static dav_error* kd_remove_lock(dav_lockdb* db, const dav_resource* resource,
                                 const dav_locktoken* token) {
  /* A DELETE or MOVE lifts every lock of what goes: none while closed. */
  if (kd_gate_closed()) return NULL;
  kd_write_begins(kd_of(db));
  dav_error* err = kd_fs_locks->remove_lock(kd_inner(db), resource, token);
  if (err == NULL) kd_of(db)->removed = 1;
  return err;
}

static dav_error* kd_refresh_locks(dav_lockdb* db, const dav_resource* resource,
                                   const dav_locktoken_list* tokens, time_t new_time,
                                   dav_lock** locks) {
  kd_write_begins(kd_of(db));
  return kd_fs_locks->refresh_locks(kd_inner(db), resource, tokens, new_time, locks);
}

static dav_error* kd_lookup_resource(dav_lockdb* db, const dav_locktoken* token,
                                     const dav_resource* start, const dav_resource** resource) {
  return kd_fs_locks->lookup_resource(kd_inner(db), token, start, resource);
}

const dav_hooks_locks* kd_lock_gate_hooks(const dav_hooks_locks* fs) {
  kd_fs_locks = fs;
  kd_gated_locks = *fs;
  kd_gated_locks.open_lockdb = kd_open_lockdb;
  kd_gated_locks.close_lockdb = kd_close_lockdb;
  kd_gated_locks.remove_locknull_state =
      fs->remove_locknull_state ? kd_remove_locknull_state : NULL;
  kd_gated_locks.create_lock = kd_create_lock;
  kd_gated_locks.get_locks = kd_get_locks;
  kd_gated_locks.find_lock = kd_find_lock;
  kd_gated_locks.has_locks = kd_has_locks;
  kd_gated_locks.append_locks = kd_append_locks;
  kd_gated_locks.remove_lock = kd_remove_lock;
  kd_gated_locks.refresh_locks = kd_refresh_locks;
  kd_gated_locks.lookup_resource = fs->lookup_resource ? kd_lookup_resource : NULL;
  return &kd_gated_locks;
}

int kd_lock_gate_start(apr_pool_t* process_pool, const char* path) {
  void* kept = NULL;
  apr_pool_userdata_get(&kept, KD_LOCK_GATE_KEY, process_pool);
  if (kept == NULL) {
    void* map = mmap(NULL, sizeof(kd_gate_state), PROT_READ | PROT_WRITE,
                     MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return -1;
    kept = map;
    /* Open until the database is read: a lock it holds from before counts. */
    ((kd_gate_state*)kept)->written = 1;
    apr_pool_userdata_set(kept, KD_LOCK_GATE_KEY, apr_pool_cleanup_null, process_pool);
  }
  kd_gate = kept;
  apr_cpystrn(kd_gate_db, path, sizeof kd_gate_db);
  if (strlen(path) >= sizeof kd_gate_db) {
    kd_gate = NULL; /* no gate: every question goes to the database */
    return 0;
  }
  kd_try_close(process_pool);
  return 0;
}

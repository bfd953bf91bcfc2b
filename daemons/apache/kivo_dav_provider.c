/* The WebDAV provider "kivo" (kivo_dav_provider.h). */

#include "kivo_dav_provider.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "apr_strings.h"
#include "httpd.h"
#include "http_config.h"
#include "kivo_dav_lock_gate.h"
#include "mod_dav.h"

/* Where mod_dav_fs keeps a folder's property databases and lock-null list. */
#define KD_STATE_FOLDER "/.DAV"
#define KD_STATE_KEY "kivo_dav_state_folder"

/* mod_dav_fs's provider, found once every module has registered its own. */
static const dav_provider* kd_fs;
static dav_hooks_propdb kd_props;
static dav_provider kd_provider;

/* ---- property databases: none to open where no state folder is ---- */

/* What one request last learnt of a state folder: which, and whether it
 * was missing. Kept in the request's pool, so only its own thread sees it. */
typedef struct {
  char* folder;
  size_t length;
  int missing;
} kd_state_seen;

/* Whether the state folder the property database of `resource` would lie
 * in is missing: a folder's own, a file's parent's (as mod_dav_fs places
 * them). Anything but "no such entry" counts as there: mod_dav_fs judges. */
static int kd_no_state_folder(const dav_resource* resource) {
  if (kd_fs->repos->get_pathname == NULL || kd_fs->repos->get_request_rec == NULL) return 0;
  const char* path = kd_fs->repos->get_pathname(resource);
  request_rec* r = kd_fs->repos->get_request_rec(resource);
  if (path == NULL || r == NULL || path[0] != '/') return 0;
  size_t length = strlen(path);
  while (length > 1 && path[length - 1] == '/') --length;
  if (!resource->collection) {
    while (length > 0 && path[length - 1] != '/') --length;
    while (length > 1 && path[length - 1] == '/') --length;
  }
  if (length == 0) return 0;

  void* kept = NULL;
  apr_pool_userdata_get(&kept, KD_STATE_KEY, r->pool);
  kd_state_seen* seen = kept;
  if (seen != NULL && seen->length == length && memcmp(seen->folder, path, length) == 0) {
    return seen->missing;
  }
  char* folder = apr_palloc(r->pool, length + sizeof KD_STATE_FOLDER);
  memcpy(folder, path, length);
  memcpy(folder + length, KD_STATE_FOLDER, sizeof KD_STATE_FOLDER);
  struct stat st;
  int missing = lstat(folder, &st) != 0 && errno == ENOENT;
  if (seen == NULL) {
    seen = apr_palloc(r->pool, sizeof *seen);
    apr_pool_userdata_setn(seen, KD_STATE_KEY, apr_pool_cleanup_null, r->pool);
  }
  folder[length] = '\0';
  seen->folder = folder;
  seen->length = length;
  seen->missing = missing;
  return missing;
}

/* Read-only, with no state folder: no database, as mod_dav_fs answers for
 * a missing one (mod_dav then knows of no dead property). Writes always
 * go to mod_dav_fs, which makes the folder. */
static dav_error* kd_props_open(apr_pool_t* p, const dav_resource* resource, int ro, dav_db** pdb) {
  if (ro && kd_no_state_folder(resource)) {
    *pdb = NULL;
    return NULL;
  }
  return kd_fs->propdb->open(p, resource, ro, pdb);
}

/* Fills the provider from mod_dav_fs's once every module has registered
 * (mod_dav reads it only when it serves a request). */
static int kd_provider_pre_config(apr_pool_t* pconf, apr_pool_t* plog, apr_pool_t* ptemp) {
  (void)pconf;
  (void)plog;
  (void)ptemp;
  kd_fs = dav_lookup_provider("filesystem");
  if (kd_fs == NULL || kd_fs->repos == NULL || kd_fs->propdb == NULL || kd_fs->locks == NULL) {
    return OK; /* `Dav kivo` then fails to serve */
  }
  kd_provider = *kd_fs;
  kd_props = *kd_fs->propdb;
  kd_props.open = kd_props_open;
  kd_provider.propdb = &kd_props;
  kd_provider.locks = kd_lock_gate_hooks(kd_fs->locks);
  return OK;
}

void kd_provider_register(apr_pool_t* p) {
  dav_register_provider(p, KD_PROVIDER, &kd_provider);
  ap_hook_pre_config(kd_provider_pre_config, NULL, NULL, APR_HOOK_MIDDLE);
}

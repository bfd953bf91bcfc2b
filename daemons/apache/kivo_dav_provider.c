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
/* A PUT's body reaches its file in blocks of this size. */
#define KD_WRITE_BLOCK (64 * 1024)

/* mod_dav_fs's provider, found once every module has registered its own. */
static const dav_provider* kd_fs;
static dav_hooks_repository kd_repos;
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

/* ---- a PUT's body in blocks ---- */

/* mod_dav hands a stream only back to the hooks of the resource that
 * opened it: ours. */
struct dav_stream {
  dav_stream* inner;
  char* block;
  apr_size_t used;
  apr_pool_t* pool;
};

/* A PUT's own resource carries our repository hooks, and so does every
 * resource reached from it (its parents; mod_dav_fs's walks copy their
 * root), so that mod_dav_fs, which tells resources apart by their hooks,
 * compares like with like. Every other request's resources keep
 * mod_dav_fs's hooks as they are. */
static dav_error* kd_get_resource(request_rec* r, const char* root_dir, const char* label,
                                  int use_checked_in, dav_resource** resource) {
  dav_error* err = kd_fs->repos->get_resource(r, root_dir, label, use_checked_in, resource);
  if (err == NULL && *resource != NULL && r->main == NULL && r->method_number == M_PUT) {
    (*resource)->hooks = &kd_repos;
  }
  return err;
}

static dav_error* kd_get_parent_resource(const dav_resource* resource, dav_resource** parent) {
  dav_error* err = kd_fs->repos->get_parent_resource(resource, parent);
  if (err == NULL && *parent != NULL && resource->hooks == &kd_repos) (*parent)->hooks = &kd_repos;
  return err;
}

static dav_error* kd_open_stream(const dav_resource* resource, dav_stream_mode mode,
                                 dav_stream** out) {
  request_rec* r = kd_fs->repos->get_request_rec(resource);
  dav_stream* inner = NULL;
  dav_error* err = kd_fs->repos->open_stream(resource, mode, &inner);
  if (err != NULL) return err;
  dav_stream* stream = apr_pcalloc(r->pool, sizeof *stream);
  stream->inner = inner;
  stream->pool = r->pool;
  *out = stream;
  return NULL;
}

static dav_error* kd_flush_stream(dav_stream* stream) {
  const apr_size_t used = stream->used;
  stream->used = 0;
  return used == 0 ? NULL : kd_fs->repos->write_stream(stream->inner, stream->block, used);
}

static dav_error* kd_write_stream(dav_stream* stream, const void* buf, apr_size_t size) {
  const char* from = buf;
  while (size > 0) {
    if (stream->used == 0 && size >= KD_WRITE_BLOCK) {
      return kd_fs->repos->write_stream(stream->inner, from, size);
    }
    if (stream->block == NULL) stream->block = apr_palloc(stream->pool, KD_WRITE_BLOCK);
    apr_size_t take = KD_WRITE_BLOCK - stream->used;
    if (take > size) take = size;
    memcpy(stream->block + stream->used, from, take);
    stream->used += take;
    from += take;
    size -= take;
    if (stream->used == KD_WRITE_BLOCK) {
      dav_error* err = kd_flush_stream(stream);
      if (err != NULL) return err;
    }
  }
  return NULL;
}

static dav_error* kd_seek_stream(dav_stream* stream, apr_off_t position) {
  dav_error* err = kd_flush_stream(stream);
  return err != NULL ? err : kd_fs->repos->seek_stream(stream->inner, position);
}

/* The last block goes out before the file is kept; if it cannot be
 * written, the file is dropped and the PUT answers the write's error, as
 * it would have when mod_dav handed that block over. */
static dav_error* kd_close_stream(dav_stream* stream, int commit) {
  dav_error* err = commit ? kd_flush_stream(stream) : NULL;
  stream->used = 0;
  dav_error* closed = kd_fs->repos->close_stream(stream->inner, commit && err == NULL);
  return err != NULL ? err : closed;
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
  kd_repos = *kd_fs->repos;
  if (kd_repos.get_request_rec != NULL && kd_repos.open_stream != NULL &&
      kd_repos.write_stream != NULL && kd_repos.close_stream != NULL) {
    kd_repos.get_resource = kd_get_resource;
    kd_repos.get_parent_resource = kd_get_parent_resource;
    kd_repos.open_stream = kd_open_stream;
    kd_repos.write_stream = kd_write_stream;
    kd_repos.seek_stream = kd_fs->repos->seek_stream != NULL ? kd_seek_stream : NULL;
    kd_repos.close_stream = kd_close_stream;
  }
  kd_provider.repos = &kd_repos;
  kd_props = *kd_fs->propdb;
  if (kd_fs->repos->get_pathname != NULL && kd_fs->repos->get_request_rec != NULL) {
    kd_props.open = kd_props_open;
  }
  kd_provider.propdb = &kd_props;
  kd_provider.locks = kd_lock_gate_hooks(kd_fs->locks);
  return OK;
}

void kd_provider_register(apr_pool_t* p) {
  dav_register_provider(p, KD_PROVIDER, &kd_provider);
  ap_hook_pre_config(kd_provider_pre_config, NULL, NULL, APR_HOOK_MIDDLE);
}

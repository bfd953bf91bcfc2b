/* mod_kivo_dav: who a WebDAV request runs as, and what it may do there.
 *
 * Apache's event MPM serves every account from a few threaded processes.
 * The processes idle at the daemon's unprivileged User and Group but keep
 * the power to switch (kivo_dav_identity.h); a worker thread takes the
 * verified account's identity for one request's file work, keeps it parked
 * when the request ends, and gives it back before it serves anyone else.
 * This module decides that identity and guards what the thread does with
 * it:
 *
 *  - Logins (post_read_request): exactly one Basic credential, checked
 *    against the root's etc/shadow as it is now (the thread reads it as
 *    root, for that read alone); a success is remembered for ten minutes
 *    in memory shared by all processes (kivo_dav_shared.h), tied to the
 *    stored hash, so most logins cost no password hash. Guessing meets
 *    the brake every door shares (kivo_login_brake.h), and so does a
 *    credential it cannot read (charged to the account it seems to name).
 *    The proxied CalDAV requests' credentials are checked the same way,
 *    never as the guest, and handed on as the verified account with a
 *    secret the daemon behind knows the door by, without the password.
 *  - Later requests on a kept-alive connection ride on its login only with
 *    the very credentials already checked on it, within the minute
 *    (KivoDavLoginRecheck), while etc/shadow is untouched; any other
 *    request is checked anew from the files, as a first login, and
 *    answered: no request is dropped unanswered.
 *  - Identity (translate_name, before the URL is mapped, once the login is
 *    verified): the thread takes the account's uid, primary group and
 *    supplementary groups, read from the root's files at the login, so a
 *    new account or a changed membership counts at once. Every file the
 *    request touches afterwards (Apache's own walk and stat of the mapped
 *    path, mod_dav_fs's lock database and property files, subrequests) is
 *    touched as the user, so that no status, header or property of an
 *    answer shows what root sees. Requests without a verified login run at
 *    the idle identity (guest for anonymous requests while anonymous login
 *    is on, nobody otherwise).
 *  - The identity is parked when the request's end is sent (its EOR
 *    bucket passes this module's connection filter, on the thread that
 *    served it: whatever the event MPM writes later on another thread is
 *    already open), else when the request's pool goes. A parked identity
 *    touches nothing: it is given back when the thread begins anything
 *    else than a request on a connection logged in as that very account
 *    (create_request, before a byte of the request is read; pre_connection
 *    for a new connection), and such a request, which either acts as that
 *    account or gives it back before its login is checked anew, takes it
 *    again with two calls where a change of account costs eight. A thread
 *    that is not at the idle identity or parked so when a connection or a
 *    request begins serves nothing.
 *  - Access (fixups, as the user): the target and its folder are judged
 *    with the user's own identity before mod_dav answers, so nothing root
 *    saw while mapping the URL leaks, and writes the kernel would refuse
 *    answer 403 rather than mod_dav_fs's 500. Only files and folders are
 *    served: a FIFO, socket or device answers 403 at once, and a GET reads
 *    the regular file its check opened. LOCK needs write access, to every
 *    member a lock of depth infinity covers as well, and on what exists the
 *    ownership of it (or an administrator's login); its timeout is capped
 *    at an hour, and locks on a share's root are refused. An administrator
 *    may lift another account's lock. A listing of the homes shows each
 *    account its own; guests get no home and no calendar.
 *  - Connections not logged in yet are bounded per client address, per
 *    network and in all, the oldest of this process giving way to a
 *    newcomer at the total bound; networks that keep guessing are turned
 *    away (pre_connection).
 *  - The lock database is made at every start in the format this Apache's
 *    mod_dav_fs opens (APR's default DBM).
 *
 * Threading: hooks run on the event MPM's worker threads, one request of a
 * connection at a time; the identity is the thread's own; the tables every
 * process shares lock themselves; the rest is per request or per
 * connection. */

#include <crypt.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <libgen.h>
#include <limits.h>
#include <linux/openat2.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

/* httpd.h first: the other headers need its types. */
#include "httpd.h"
#include "http_config.h"
#include "http_connection.h"
#include "http_core.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"
#include "mod_dav.h"
#include "mpm_common.h"
#include "unixd.h"
#include "apr_base64.h"
#include "apr_dbm.h"
#include "apr_hash.h"
#include "apr_lib.h"
#include "apr_portable.h"
#include "apr_strings.h"
#include "kivo_dav_accounts.h"
#include "kivo_dav_calendars.h"
#include "kivo_dav_ical.h"
#include "kivo_dav_identity.h"
#include "kivo_dav_lock_gate.h"
#include "kivo_dav_provider.h"
#include "kivo_dav_share_access.h"
#include "kivo_dav_shared.h"
#include "kivo_dav_space.h"
#include "kivo_login_brake.h"

module AP_MODULE_DECLARE_DATA kivo_dav_module;

#define KD_NOTE_ADMIN "kivo_dav_admin"
/* The status a request's refused login is answered with (kd_answer_refusal). */
#define KD_NOTE_REFUSED "kivo_dav_refused"
/* A member subrequest's r->finfo is its own lstat (kd_dirwalk_stat). */
#define KD_NOTE_MEMBER "kivo_dav_member"
#define KD_REALM "Basic realm=\"Kivo WebDAV\""
#define KD_HOMES_FILTER "KIVO_DAV_HOMES"
#define KD_HOMES "homes"
/* How long a kept-alive connection's login holds before a request of it
 * is checked anew from the files (KivoDavLoginRecheck). */
#define KD_LOGIN_MAX_AGE 60
/* A verified password is remembered longer than a connection keeps its
 * login: each later login still reads the account as it is now, and the
 * remembered one counts only with the same stored hash, so what it saves
 * is the hash alone. A minute made every busy account hash again each
 * minute, its kept connection's end. */
#define KD_REMEMBERED_MAX_AGE 600
#define KD_LOCK_TIMEOUT_MAX 3600
#define KD_SHARED_KEY "kivo_dav_shared"
#define KD_BRAKE_KEY "kivo_dav_brake"

typedef struct {
  const char* root;             /* the root whose accounts are served; NULL: module off */
  int anonymous;                /* requests without credentials run as guest, reading */
  apr_array_header_t* proxied;  /* path prefixes handed to a daemon behind (CalDAV) */
  const char* proxy_token_file; /* the secret that daemon knows the door by */
  const char* proxy_token;      /* read from it at each start; NULL before */
  const char* lock_db;          /* the DAV lock database to make at start */
  const char* registry;         /* the calendar registry */
  const char* addressbooks;     /* the address-book registry */
  const char* brake;            /* the login brake every door shares */
  kd_limits limits;             /* connections not logged in yet; 0: unbounded */
  int login_max_age;            /* seconds a kept connection's login holds; -1 unset */
} kd_server;

typedef struct {
  int check; /* -1 unset */
} kd_dir;

/* What a connection's first verified login left, for its later requests. */
typedef struct {
  int refused; /* closed before any request is read */
  int verified;
  char user[40];
  kd_identity id;
  unsigned char login[KD_KEY_BYTES];
  time_t at;
  int shadow_fd;
  struct stat shadow;        /* as the login read it ... */
  struct timespec shadow_at; /* ... at this wall clock or after */
  kd_ticket ticket;
} kd_conn;

typedef struct {
  const char* user;
  kd_identity id;
  /* The request's target when it is a folder judged without links, for its
   * members' subrequests (a PROPFIND's): NULL before. */
  const char* folder_judged;
  /* The regular file a GET reads, opened by its check as the user
   * (kd_send_small_file); -1: none. Closed with the request's pool. */
  int small_fd;
} kd_req;

/* Files a GET reads from the descriptor their check opened, at most. */
#define KD_SMALL_FILE (64 * 1024)

/* Logins checked at once in this process, one account at a time: the
 * brake charges each try before it is checked, so the concurrent first
 * requests of one office (an account's several connections, many accounts
 * behind one address) must not count as a burst of guesses; and more
 * hashes at once than cores only wait for each other. */
#define KD_CHECK_STRIPES 64
#define KD_CHECKS_AT_ONCE 4
static pthread_mutex_t kd_account_checks[KD_CHECK_STRIPES] = {[0 ... KD_CHECK_STRIPES - 1] =
                                                                  PTHREAD_MUTEX_INITIALIZER};
static pthread_mutex_t kd_checks_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t kd_checks_free = PTHREAD_COND_INITIALIZER;
static int kd_checks_running;

/* The request whose account this thread acts as now; NULL at the idle
 * identity. */
static __thread const request_rec* kd_acting_for;

static kd_shared* kd_state(server_rec* s) {
  void* data = NULL;
  apr_pool_userdata_get(&data, KD_SHARED_KEY, s->process->pool);
  return data;
}

static kb_brake* kd_brake(server_rec* s) {
  void* data = NULL;
  apr_pool_userdata_get(&data, KD_BRAKE_KEY, s->process->pool);
  return data;
}

/* ---- configuration ---- */

static void* kd_create_server(apr_pool_t* p, server_rec* s) {
  (void)s;
  kd_server* c = apr_pcalloc(p, sizeof *c);
  c->anonymous = -1;
  c->limits.per_address = -1;
  c->login_max_age = -1;
  c->proxied = apr_array_make(p, 2, sizeof(const char*));
  return c;
}

static void* kd_merge_server(apr_pool_t* p, void* base_v, void* add_v) {
  const kd_server *base = base_v, *add = add_v;
  kd_server* c = apr_pcalloc(p, sizeof *c);
  c->root = add->root ? add->root : base->root;
  c->anonymous = add->anonymous >= 0 ? add->anonymous : base->anonymous;
  c->proxied = add->proxied->nelts ? add->proxied : base->proxied;
  c->proxy_token_file = add->proxy_token_file ? add->proxy_token_file : base->proxy_token_file;
  c->lock_db = add->lock_db ? add->lock_db : base->lock_db;
  c->registry = add->registry ? add->registry : base->registry;
  c->addressbooks = add->addressbooks ? add->addressbooks : base->addressbooks;
  c->brake = add->brake ? add->brake : base->brake;
  c->limits = add->limits.per_address >= 0 ? add->limits : base->limits;
  c->login_max_age = add->login_max_age >= 0 ? add->login_max_age : base->login_max_age;
  return c;
}

static void* kd_create_dir(apr_pool_t* p, char* dir) {
  (void)dir;
  kd_dir* c = apr_pcalloc(p, sizeof *c);
  c->check = -1;
  return c;
}

static void* kd_merge_dir(apr_pool_t* p, void* base_v, void* add_v) {
  const kd_dir *base = base_v, *add = add_v;
  kd_dir* c = apr_pcalloc(p, sizeof *c);
  c->check = add->check >= 0 ? add->check : base->check;
  return c;
}

static const char* kd_set_root(cmd_parms* cmd, void* d, const char* arg) {
  (void)d;
  kd_server* c = ap_get_module_config(cmd->server->module_config, &kivo_dav_module);
  c->root = arg;
  return NULL;
}

static const char* kd_set_anonymous(cmd_parms* cmd, void* d, int on) {
  (void)d;
  kd_server* c = ap_get_module_config(cmd->server->module_config, &kivo_dav_module);
  c->anonymous = on;
  return NULL;
}

static const char* kd_add_proxied(cmd_parms* cmd, void* d, const char* arg) {
  (void)d;
  kd_server* c = ap_get_module_config(cmd->server->module_config, &kivo_dav_module);
  if (arg[0] != '/') return "KivoDavProxied takes absolute URL paths";
  *(const char**)apr_array_push(c->proxied) = arg;
  return NULL;
}

static const char* kd_set_proxy_token(cmd_parms* cmd, void* d, const char* arg) {
  (void)d;
  kd_server* c = ap_get_module_config(cmd->server->module_config, &kivo_dav_module);
  c->proxy_token_file = arg;
  return NULL;
}

static const char* kd_set_lock_db(cmd_parms* cmd, void* d, const char* arg) {
  (void)d;
  kd_server* c = ap_get_module_config(cmd->server->module_config, &kivo_dav_module);
  c->lock_db = arg;
  return NULL;
}

static const char* kd_set_registry(cmd_parms* cmd, void* d, const char* arg) {
  (void)d;
  kd_server* c = ap_get_module_config(cmd->server->module_config, &kivo_dav_module);
  c->registry = arg;
  return NULL;
}

static const char* kd_set_addressbooks(cmd_parms* cmd, void* d, const char* arg) {
  (void)d;
  kd_server* c = ap_get_module_config(cmd->server->module_config, &kivo_dav_module);
  c->addressbooks = arg;
  return NULL;
}

static const char* kd_set_brake(cmd_parms* cmd, void* d, const char* arg) {
  (void)d;
  kd_server* c = ap_get_module_config(cmd->server->module_config, &kivo_dav_module);
  c->brake = arg;
  return NULL;
}

static const char* kd_set_limits(cmd_parms* cmd, void* d, const char* address, const char* network,
                                 const char* total) {
  (void)d;
  kd_server* c = ap_get_module_config(cmd->server->module_config, &kivo_dav_module);
  c->limits.per_address = atoi(address);
  c->limits.per_network = network != NULL ? atoi(network) : c->limits.per_address;
  c->limits.total = total != NULL ? atoi(total) : 0;
  return c->limits.per_address >= 0 && c->limits.per_network >= 0 && c->limits.total >= 0
             ? NULL
             : "KivoDavPendingConnections takes a count per address, one per network and "
               "one in all";
}

static const char* kd_set_login_max_age(cmd_parms* cmd, void* d, const char* arg) {
  (void)d;
  kd_server* c = ap_get_module_config(cmd->server->module_config, &kivo_dav_module);
  char* end = NULL;
  const long seconds = strtol(arg, &end, 10);
  if (end == arg || *end != '\0' || seconds < 0 || seconds > 86400) {
    return "KivoDavLoginRecheck takes seconds, 0 to 86400";
  }
  c->login_max_age = (int)seconds;
  return NULL;
}

static const char* kd_set_check(cmd_parms* cmd, void* d, int on) {
  (void)cmd;
  ((kd_dir*)d)->check = on;
  return NULL;
}

static const command_rec kd_commands[] = {
    AP_INIT_TAKE1("KivoDavRoot", kd_set_root, NULL, RSRC_CONF,
                  "the root whose etc/passwd and etc/shadow hold the accounts"),
    AP_INIT_FLAG("KivoDavAnonymous", kd_set_anonymous, NULL, RSRC_CONF,
                 "every request runs as guest, without credentials, reading only"),
    AP_INIT_ITERATE("KivoDavProxied", kd_add_proxied, NULL, RSRC_CONF,
                    "URL path prefixes proxied to a daemon that takes the login verified here"),
    AP_INIT_TAKE1("KivoDavProxyToken", kd_set_proxy_token, NULL, RSRC_CONF,
                  "the file of the secret that daemon knows this module's logins by"),
    AP_INIT_TAKE1("KivoDavLockDB", kd_set_lock_db, NULL, RSRC_CONF,
                  "the DAV lock database, made at every start"),
    AP_INIT_TAKE1("KivoDavCalendarRegistry", kd_set_registry, NULL, RSRC_CONF,
                  "the calendar registry, whose folders move through the web API only"),
    AP_INIT_TAKE1("KivoDavAddressBookRegistry", kd_set_addressbooks, NULL, RSRC_CONF,
                  "the address-book registry, whose folders move through the web API only"),
    AP_INIT_TAKE1("KivoDavLoginBrake", kd_set_brake, NULL, RSRC_CONF,
                  "the login brake's state, shared with the web API"),
    AP_INIT_TAKE123("KivoDavPendingConnections", kd_set_limits, NULL, RSRC_CONF,
                    "connections not logged in yet one client address, one network and all "
                    "(/24, /64), may hold at once"),
    AP_INIT_TAKE1("KivoDavLoginRecheck", kd_set_login_max_age, NULL, RSRC_CONF,
                  "seconds a kept-alive connection's login holds before a request of it is "
                  "checked anew (0: every request)"),
    AP_INIT_FLAG("KivoDavCheck", kd_set_check, NULL, ACCESS_CONF,
                 "judge each request's target with the switched identity"),
    {NULL}};

/* ---- start ---- */

/* The lock database: a root-owned regular file that every served identity
 * opens for writing (0666) in a folder only root can change or list. */
static int kd_make_lock_db(apr_pool_t* p, server_rec* s, const char* path) {
  struct stat st;
  if (lstat(path, &st) == 0 && (!S_ISREG(st.st_mode) || st.st_uid != 0 || st.st_nlink != 1)) {
    unlink(path);
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    apr_dbm_t* db = NULL;
    const apr_status_t rv = apr_dbm_open(&db, path, APR_DBM_RWCREATE, APR_FPROT_OS_DEFAULT, p);
    if (rv == APR_SUCCESS) {
      apr_dbm_close(db);
      if (chown(path, 0, 0) != 0 || chmod(path, 0666) != 0) break;
      return OK;
    }
    /* Not a database this APR can open (an old format): start afresh. */
    ap_log_error(APLOG_MARK, APLOG_WARNING, rv, s, "lock database %s unusable; made anew", path);
    unlink(path);
  }
  ap_log_error(APLOG_MARK, APLOG_CRIT, errno, s, "cannot make the lock database %s", path);
  return HTTP_INTERNAL_SERVER_ERROR;
}

/* The secret a proxied daemon knows this module's verified logins by: a
 * root-owned file no one else may write, of hex text (a daemon behind
 * reads it too, through its group). Read as root at every start, so that
 * the workers need no access to it; NULL, logged, when unusable. */
static const char* kd_read_proxy_token(apr_pool_t* p, server_rec* s, const char* path) {
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  char text[257];
  ssize_t got = -1;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
      (st.st_mode & 022) == 0) {
    got = read(fd, text, sizeof text - 1);
  }
  const int error = errno;
  if (fd >= 0) close(fd);
  if (got < 0) {
    ap_log_error(APLOG_MARK, APLOG_CRIT, error, s,
                 "cannot read the proxy token %s (root's, writable by root alone): the proxied "
                 "paths answer 503",
                 path);
    return NULL;
  }
  while (got > 0 && text[got - 1] == '\n') --got;
  text[got] = '\0';
  if (got < 32 || text[strspn(text, "0123456789abcdef")] != '\0') {
    ap_log_error(APLOG_MARK, APLOG_CRIT, 0, s,
                 "the proxy token %s is not 32 hex digits or more: the proxied paths answer 503",
                 path);
    return NULL;
  }
  return apr_pstrdup(p, text);
}

/* Every server's configuration gets the token of the main one's file.
 * Without one the proxied paths answer 503 (kd_hand_over) while WebDAV
 * serves on: the calendars' token is no reason to stop the files. */
static void kd_load_proxy_token(apr_pool_t* pconf, server_rec* s) {
  const kd_server* c = ap_get_module_config(s->module_config, &kivo_dav_module);
  if (c->proxied->nelts == 0) return;
  const char* token = NULL;
  if (c->proxy_token_file == NULL) {
    ap_log_error(APLOG_MARK, APLOG_CRIT, 0, s, "KivoDavProxied without KivoDavProxyToken");
  } else {
    token = kd_read_proxy_token(pconf, s, c->proxy_token_file);
  }
  for (server_rec* v = s; v != NULL; v = v->next) {
    kd_server* vc = ap_get_module_config(v->module_config, &kivo_dav_module);
    vc->proxy_token = token;
  }
}

static int kd_post_config(apr_pool_t* pconf, apr_pool_t* plog, apr_pool_t* ptemp, server_rec* s) {
  (void)plog;
  (void)ptemp;
  const kd_server* c = ap_get_module_config(s->module_config, &kivo_dav_module);
  if (kd_state(s) == NULL) {
    kd_shared* shared = kd_shared_create();
    if (shared == NULL) {
      ap_log_error(APLOG_MARK, APLOG_CRIT, errno, s, "cannot make the shared login table");
      return HTTP_INTERNAL_SERVER_ERROR;
    }
    apr_pool_userdata_set(shared, KD_SHARED_KEY, apr_pool_cleanup_null, s->process->pool);
  }
  if (c->brake != NULL && kd_brake(s) == NULL) {
    /* Opened once by the parent, as root; every child inherits it. */
    kb_brake* brake = kb_open(c->brake);
    if (brake == NULL) {
      ap_log_error(APLOG_MARK, APLOG_CRIT, errno, s, "cannot open the login brake %s", c->brake);
      return HTTP_INTERNAL_SERVER_ERROR;
    }
    apr_pool_userdata_set(brake, KD_BRAKE_KEY, apr_pool_cleanup_null, s->process->pool);
  }
  if (c->root != NULL) {
    if (kd_brake(s) == NULL) {
      ap_log_error(APLOG_MARK, APLOG_CRIT, 0, s, "mod_kivo_dav needs KivoDavLoginBrake");
      return HTTP_INTERNAL_SERVER_ERROR;
    }
    kd_load_proxy_token(pconf, s);
  }
  if (c->lock_db == NULL) return OK;
  const int made = kd_make_lock_db(pconf, s, c->lock_db);
  if (made == OK && kd_lock_gate_start(s->process->pool, c->lock_db) != 0) {
    ap_log_error(APLOG_MARK, APLOG_CRIT, errno, s, "cannot make the lock gate's shared state");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  return made;
}

/* ---- the thread's identity ---- */

/* Keeps the power to switch in every child: mod_unixd, after this hook,
 * finds the process no longer root and drops nothing for good. Without
 * KivoDavRoot the module is off and mod_unixd drops as usual. */
static int kd_drop_privileges(apr_pool_t* pchild, server_rec* s) {
  (void)pchild;
  const kd_server* sc = ap_get_module_config(s->module_config, &kivo_dav_module);
  if (sc->root == NULL) return DECLINED;
  if (kd_identity_keep_power(ap_unixd_config.user_id, ap_unixd_config.group_id) != 0) {
    ap_log_error(APLOG_MARK, APLOG_CRIT, errno, s, "cannot idle at uid %ld, gid %ld",
                 (long)ap_unixd_config.user_id, (long)ap_unixd_config.group_id);
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  return OK;
}

/* `r` is over: the account's identity this thread took for it stays
 * parked (root's is given back). */
static void kd_request_over(const request_rec* r) {
  if (kd_acting_for != r) return;
  kd_identity_park();
  kd_acting_for = NULL;
}

/* Gives the identity this thread took for `r` back; 1 when the thread is
 * idle again. */
static int kd_give_back(const request_rec* r) {
  if (kd_acting_for != r) return kd_acting_for == NULL;
  if (kd_identity_give_back() != 0) {
    ap_log_rerror(APLOG_MARK, APLOG_CRIT, errno, r, "cannot give %s's identity back",
                  r->user != NULL ? r->user : "a user");
    return 0;
  }
  kd_acting_for = NULL;
  return 1;
}

/* The request's pool goes: on the thread that served it, if nothing gave
 * its identity back before (another thread finishing the writes holds
 * nothing of it). */
static apr_status_t kd_request_done(void* data) {
  kd_request_over(data);
  return APR_SUCCESS;
}

/* The end of a request (its EOR bucket) passes here on the thread that
 * served it, before anything of the connection is written later. */
static apr_status_t kd_end_filter(ap_filter_t* f, apr_bucket_brigade* bb) {
  if (kd_acting_for != NULL) {
    for (apr_bucket* b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb);
         b = APR_BUCKET_NEXT(b)) {
      if (AP_BUCKET_IS_EOR(b)) {
        kd_request_over(kd_acting_for);
        break;
      }
    }
  }
  return ap_pass_brigade(f->next, bb);
}

static ap_filter_rec_t* kd_end_filter_handle;

/* Whether this thread may serve: at the idle identity, as the kernel sees
 * it. A parked identity is given back; a thread that holds another (never
 * expected) gives it back too, or serves nothing. */
static int kd_thread_idle(conn_rec* c) {
  if (kd_identity_idle()) return 1;
  const int parked = kd_identity_parked() && kd_acting_for == NULL;
  if (kd_identity_give_back() == 0 && kd_identity_idle()) {
    if (!parked) {
      ap_log_cerror(APLOG_MARK, APLOG_CRIT, 0, c, "a thread held an identity between requests");
    }
    kd_acting_for = NULL;
    return 1;
  }
  ap_log_cerror(APLOG_MARK, APLOG_CRIT, errno, c, "a thread cannot go back to the idle identity");
  return 0;
}

/* Whether this thread may begin a request of `c`: idle, or parked as the
 * account `c` is logged in as (kd_thread_idle otherwise). */
static int kd_thread_ready(conn_rec* c) {
  const kd_conn* state = ap_get_module_config(c->conn_config, &kivo_dav_module);
  if (kd_acting_for == NULL && state != NULL && state->verified &&
      kd_identity_parked_as(&state->id)) {
    return 1;
  }
  return kd_thread_idle(c);
}

/* Before a byte of a request is read: a parked identity stays only for a
 * request on a connection logged in as its account. Subrequests and
 * internal redirects find their request acting. */
static __thread const request_rec* kd_found_ready; /* by kd_create_request */
static int kd_create_request(request_rec* r) {
  const kd_server* sc = ap_get_module_config(r->server->module_config, &kivo_dav_module);
  if (sc->root == NULL || kd_acting_for != NULL || r->connection->outgoing) return DECLINED;
  /* kd_post_read_request refuses a thread this left unready. */
  kd_found_ready = kd_thread_ready(r->connection) ? r : NULL;
  return DECLINED;
}

/* ---- connections ---- */

static kd_conn* kd_conn_state(conn_rec* c) {
  kd_conn* state = ap_get_module_config(c->conn_config, &kivo_dav_module);
  if (state == NULL) {
    state = apr_pcalloc(c->pool, sizeof *state);
    state->shadow_fd = -1;
    state->ticket.slot = -1;
    ap_set_module_config(c->conn_config, &kivo_dav_module, state);
  }
  return state;
}

static apr_status_t kd_conn_done(void* data) {
  kd_conn* state = data;
  if (state->shadow_fd >= 0) close(state->shadow_fd);
  state->shadow_fd = -1;
  return APR_SUCCESS;
}

/* Gives the connection's ticket back when it closes, before its socket
 * does: a ticket names the socket while it is held. */
static int kd_pre_close_connection(conn_rec* c) {
  kd_conn* state = ap_get_module_config(c->conn_config, &kivo_dav_module);
  kd_shared* shared = kd_state(c->base_server);
  if (state != NULL && shared != NULL) kd_connection_give(shared, &state->ticket);
  return OK;
}

/* The client's network: the first three bytes of an IPv4 address (also
 * one mapped into IPv6), the first eight of any other IPv6 address. One
 * host holds a whole IPv6 /64, and a small office a whole IPv4 /24. */
static void kd_network_key(const kd_shared* shared, const conn_rec* c,
                           unsigned char out[KD_KEY_BYTES]) {
  const apr_sockaddr_t* sa = c->client_addr;
  const char* bytes = sa->ipaddr_ptr;
  size_t len = 3;
  if (sa->family == APR_INET6) {
    if (IN6_IS_ADDR_V4MAPPED((const struct in6_addr*)sa->ipaddr_ptr)) {
      bytes += 12;
    } else {
      len = 8;
    }
  }
  kd_key(shared, "network", bytes, len, out);
}

/* Closes a connection before anything is read from it: the other modules
 * and the core still set it up, and kd_process_connection then hands it
 * to the MPM to close, the ordinary way. */
static int kd_refuse_connection(conn_rec* c, kd_conn* state) {
  state->refused = 1;
  c->keepalive = AP_CONN_CLOSE;
  return OK;
}

static int kd_pre_connection(conn_rec* c, void* csd) {
  const kd_server* sc = ap_get_module_config(c->base_server->module_config, &kivo_dav_module);
  kd_shared* shared = kd_state(c->base_server);
  /* The proxy's own connections to the CalDAV daemon pass here too. */
  if (sc->root == NULL || shared == NULL || c->outgoing) return OK;
  kd_conn* state = kd_conn_state(c);
  if (!kd_thread_idle(c)) return kd_refuse_connection(c, state);
  apr_pool_cleanup_register(c->pool, state, kd_conn_done, apr_pool_cleanup_null);
  ap_add_output_filter_handle(kd_end_filter_handle, NULL, NULL, c);
  kb_brake* brake = kd_brake(c->base_server);
  if (brake != NULL && kb_network_shed(brake, c->client_ip, time(NULL))) {
    /* Before anything else: a guessing network costs an accept. */
    ap_log_cerror(APLOG_MARK, APLOG_DEBUG, 0, c,
                  "connection from %s closed: its network keeps guessing passwords", c->client_ip);
    return kd_refuse_connection(c, state);
  }
  if (sc->limits.per_address <= 0) return OK;
  unsigned char address[KD_KEY_BYTES], network[KD_KEY_BYTES];
  kd_key(shared, "address", c->client_ip, strlen(c->client_ip), address);
  kd_network_key(shared, c, network);
  if (!kd_connection_take(shared, address, network, &sc->limits, time(NULL), &state->ticket)) {
    ap_log_cerror(APLOG_MARK, APLOG_WARNING, 0, c,
                  "connection from %s closed: too many from its address or network have not "
                  "logged in yet (at most %d, %d slow, from an address; %d, %d slow, from a "
                  "network; %d in all)",
                  c->client_ip, KD_BURST * sc->limits.per_address, sc->limits.per_address,
                  KD_BURST * sc->limits.per_network, sc->limits.per_network, sc->limits.total);
    return kd_refuse_connection(c, state);
  }
  apr_os_sock_t fd = -1;
  if (csd != NULL) apr_os_sock_get(&fd, csd);
  kd_connection_served_here(shared, &state->ticket, fd);
  return OK;
}

/* A refused connection reads no request: it is closed at once. */
static int kd_process_connection(conn_rec* c) {
  const kd_conn* state = ap_get_module_config(c->conn_config, &kivo_dav_module);
  if (state == NULL || !state->refused) return DECLINED;
  if (c->cs != NULL) c->cs->state = CONN_STATE_LINGER;
  return OK;
}

/* The connection passed the login (or needed none): it no longer counts
 * against its address and network. */
static void kd_connection_logged_in(request_rec* r, kd_conn* cc) {
  kd_shared* shared = kd_state(r->server);
  if (shared != NULL) kd_connection_give(shared, &cc->ticket);
}

/* ---- logins ---- */

/* The most of a refused request's body the daemon reads (and drops) to
 * keep its connection, as Apache does after an answer: a PROPFIND's or a
 * small PUT's. A longer body, or one of unknown length, is not read for a
 * client that did not log in (no size limit bounds it): its answer says
 * Connection: close, and the connection ends after it. */
#define KD_REFUSED_BODY_MAX (64 * 1024)

static void kd_refused_body(request_rec* r) {
  const char* length = apr_table_get(r->headers_in, "Content-Length");
  apr_off_t len = 0;
  char* end = NULL;
  if (apr_table_get(r->headers_in, "Transfer-Encoding") != NULL ||
      (length != NULL && (apr_strtoff(&len, length, &end, 10) != APR_SUCCESS || *end != '\0' ||
                          len > KD_REFUSED_BODY_MAX))) {
    r->connection->keepalive = AP_CONN_CLOSE;
  }
}

static int kd_refuse_login(request_rec* r) {
  apr_table_setn(r->err_headers_out, "WWW-Authenticate", KD_REALM);
  kd_refused_body(r);
  return HTTP_UNAUTHORIZED;
}

/* Closes the connection before any answer: a connection keeps the one
 * login checked on it, and a client sees what it sees when a kept-alive
 * connection ends, so it sends the request again on a fresh one. */
static int kd_drop_connection(request_rec* r) {
  conn_rec* c = r->connection;
  apr_socket_t* socket = ap_get_conn_socket(c);
  c->keepalive = AP_CONN_CLOSE;
  c->aborted = 1;
  if (socket != NULL) apr_socket_shutdown(socket, APR_SHUTDOWN_READWRITE);
  return DONE;
}

static int kd_proxied(const request_rec* r, const kd_server* sc) {
  if (sc->proxied->nelts == 0 || r->parsed_uri.path == NULL) return 0;
  char* path = apr_pstrdup(r->pool, r->parsed_uri.path);
  if (ap_unescape_url(path) != OK) return 0;
  ap_getparents(path);
  ap_no2slash(path);
  for (int i = 0; i < sc->proxied->nelts; ++i) {
    const char* prefix = APR_ARRAY_IDX(sc->proxied, i, const char*);
    if (strncmp(path, prefix, strlen(prefix)) == 0) return 1;
  }
  return 0;
}

/* One line at the daemon's log level for each refusal, saying whom, what
 * and why, so that an operator can tell a client's 401 or 403 apart. */
static void kd_log_refusal(request_rec* r, int status, const char* user, const char* reason) {
  ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r, "refused %d: %s %s for %s: %s", status, r->method,
                r->uri, user != NULL ? user : "anonymous", reason);
}

/* The name and password of the request's one Basic credential and OK;
 * DECLINED when the request carries none; else the status to answer. */
typedef struct {
  const char *name, *password;
  size_t password_len;
} kd_credential;

static int kd_read_credential(request_rec* r, kd_credential* out) {
  /* Apache joins repeated fields with ", ", which no Basic token holds. */
  const char* field = apr_table_get(r->headers_in, "Authorization");
  if (field == NULL) return DECLINED;
  if (strchr(field, ',') != NULL) return HTTP_BAD_REQUEST; /* more than one field */
  if (strncasecmp(field, "Basic ", 6) != 0) return HTTP_UNAUTHORIZED;
  const char* token = field + 6;
  while (*token == ' ') ++token;
  if (*token == '\0' || token[strspn(token,
                                     "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                     "0123456789+/=")] != '\0') {
    return HTTP_UNAUTHORIZED;
  }
  char* plain = apr_palloc(r->pool, apr_base64_decode_len(token) + 1);
  const int plain_len = apr_base64_decode(plain, token);
  plain[plain_len] = '\0';
  char* colon = strchr(plain, ':');
  if (colon == NULL || (int)strlen(plain) != plain_len) return HTTP_UNAUTHORIZED;
  *colon = '\0';
  out->name = plain;
  out->password = colon + 1;
  out->password_len = (size_t)(plain + plain_len - out->password);
  return kd_usable_name(out->name) ? OK : HTTP_UNAUTHORIZED;
}

static int kd_check_login(request_rec* r, const kd_server* sc, kd_shared* shared, kd_conn* cc,
                          kd_req* rq, const kd_credential* cred,
                          const unsigned char login[KD_KEY_BYTES], time_t now);
static int kd_defer_refusal(request_rec* r, int status);

/* A later request on a connection that logged in holds by the login
 * already checked on it only with the very same credentials, within the
 * login's age (KivoDavLoginRecheck), while etc/shadow is the version the
 * login read (kd_kept_version). Any other request, whatever the reason,
 * is checked anew from the files as a first login is, and answered: a
 * client waits for the answer to what it sent, and several (aiohttp,
 * requests) never send a PUT again on a connection closed under it. */
static int kd_recheck_kept(request_rec* r, const kd_server* sc, kd_shared* shared, kd_conn* cc,
                           kd_req* rq, const kd_credential* cred,
                           const unsigned char login[KD_KEY_BYTES], time_t now) {
  const int max_age = sc->login_max_age >= 0 ? sc->login_max_age : KD_LOGIN_MAX_AGE;
  struct stat st;
  int shadow = KD_KEPT_CHANGED;
  if (cc->verified && strcmp(cc->user, cred->name) == 0 &&
      CRYPTO_memcmp(cc->login, login, KD_KEY_BYTES) == 0 && now - cc->at < max_age &&
      cc->shadow_fd >= 0 && fstat(cc->shadow_fd, &st) == 0) {
    shadow = kd_kept_version(&st, &cc->shadow, &cc->shadow_at);
  }
  if (shadow == KD_KEPT_SAME) {
    rq->user = apr_pstrdup(r->pool, cred->name);
    rq->id = cc->id;
    ap_set_module_config(r->request_config, &kivo_dav_module, rq);
    return DECLINED;
  }
  /* The thread may still hold the connection's account parked: the check,
   * and an answer refusing it, start from the idle identity. */
  if (!kd_thread_idle(r->connection)) return kd_drop_connection(r);
  return kd_check_login(r, sc, shared, cc, rq, cred, login, now);
}

/* Refuses a login past the brake, without hashing. */
static int kd_braked(request_rec* r, const char* name, long wait) {
  apr_table_setn(r->err_headers_out, "Retry-After", apr_psprintf(r->pool, "%ld", wait));
  kd_log_refusal(r, HTTP_TOO_MANY_REQUESTS, name,
                 apr_psprintf(r->pool, "logins braked for %lds", wait));
  return HTTP_TOO_MANY_REQUESTS;
}

/* The root's accounts as this process last read them, kept while the
 * files are unchanged: a login costs the same with 10,000 accounts as with
 * 10 (kivo_dav_accounts.h). */
static kd_account_index kd_accounts = KD_ACCOUNT_INDEX_INIT;

/* Reads `name`'s account from the root's files as they are now, as root
 * for this read alone, with etc/shadow left open in `*shadow_fd` (and its
 * stat, taken at the wall clock `*shadow_at` or after) when the account is
 * found. OK, DECLINED for no such account, or the status to answer. */
static int kd_read_account(request_rec* r, const kd_server* sc, const char* name,
                           kd_account* account, int* shadow_fd, struct stat* shadow_st,
                           struct timespec* shadow_at) {
  const char* shadow_path = apr_pstrcat(r->pool, sc->root, "/etc/shadow", NULL);
  clock_gettime(CLOCK_REALTIME, shadow_at); /* before any file is looked at */
  if (kd_identity_raise() != 0) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, errno, r, "cannot act as root to read %s", shadow_path);
    kd_identity_give_back();
    return HTTP_SERVICE_UNAVAILABLE;
  }
  *shadow_fd = open(shadow_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  int status = HTTP_SERVICE_UNAVAILABLE;
  if (*shadow_fd < 0 || fstat(*shadow_fd, shadow_st) != 0) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, errno, r, "cannot read %s", shadow_path);
  } else {
    status =
        kd_account_index_find(&kd_accounts, apr_pstrcat(r->pool, sc->root, "/etc/passwd", NULL),
                              apr_pstrcat(r->pool, sc->root, "/etc/group", NULL), *shadow_fd, name,
                              shadow_at, account)
            ? OK
            : DECLINED;
  }
  if (kd_identity_give_back() != 0) {
    ap_log_rerror(APLOG_MARK, APLOG_CRIT, errno, r, "cannot stop acting as root");
    status = HTTP_INTERNAL_SERVER_ERROR;
  }
  if (status != OK && *shadow_fd >= 0) {
    close(*shadow_fd);
    *shadow_fd = -1;
  }
  return status;
}

/* Whether `cred`'s password is `account`'s: remembered, or hashed now
 * (the time it took noted for the refusals of unknown names). */
static int kd_password_matches(kd_shared* shared, kb_brake* brake, const kd_account* account,
                               const kd_credential* cred, const unsigned char login[KD_KEY_BYTES],
                               time_t now) {
  unsigned char stamp[KD_KEY_BYTES];
  kd_key(shared, "stored", account->hash, strlen(account->hash), stamp);
  if (kd_login_known(shared, login, stamp, now, KD_REMEMBERED_MAX_AGE)) return 1;
  struct crypt_data data;
  memset(&data, 0, sizeof data);
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  const char* hashed = crypt_r(cred->password, account->hash, &data);
  clock_gettime(CLOCK_MONOTONIC, &end);
  kb_note_hash(brake, (end.tv_sec - start.tv_sec) * 1000000000L + end.tv_nsec - start.tv_nsec);
  const int ok = hashed != NULL && strlen(hashed) == strlen(account->hash) &&
                 CRYPTO_memcmp(hashed, account->hash, strlen(account->hash)) == 0;
  if (ok) kd_login_remember(shared, login, stamp, now);
  return ok;
}

/* The connection's first verified login, for its later requests. */
static void kd_remember_connection(request_rec* r, kd_conn* cc, kd_req* rq,
                                   const kd_account* account, const char* name,
                                   const unsigned char login[KD_KEY_BYTES], time_t now,
                                   int shadow_fd, const struct stat* shadow_st,
                                   const struct timespec* shadow_at) {
  if (cc->shadow_fd >= 0) close(cc->shadow_fd);
  cc->shadow_fd = shadow_fd;
  cc->shadow = *shadow_st;
  cc->shadow_at = *shadow_at;
  if (account->groups_left_out > 0) {
    ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r,
                  "%s is in %d groups beyond the first %d: "
                  "they do not count over WebDAV",
                  name, account->groups_left_out, KD_MAX_GROUPS);
  }
  cc->verified = 1;
  apr_cpystrn(cc->user, name, sizeof cc->user);
  cc->id = account->id;
  memcpy(cc->login, login, KD_KEY_BYTES);
  cc->at = now;
  rq->user = apr_pstrdup(r->pool, name);
  rq->id = cc->id;
  ap_set_module_config(r->request_config, &kivo_dav_module, rq);
  kd_connection_logged_in(r, cc);
}

/* Checks `cred` against the root's accounts as they are now, behind the
 * brake every door shares; fills the connection's login. An unknown name
 * is refused after as long as a hash takes, without one. */
static int kd_check_login_now(request_rec* r, const kd_server* sc, kd_shared* shared, kd_conn* cc,
                              kd_req* rq, const kd_credential* cred,
                              const unsigned char login[KD_KEY_BYTES], time_t now) {
  kb_brake* brake = kd_brake(r->server);
  kb_login keys;
  kb_login_keys(brake, cred->name, r->useragent_ip, &keys);
  const long wait = kb_take(brake, &keys, now);
  if (wait > 0) return kd_braked(r, cred->name, wait);

  kd_account account;
  int shadow_fd = -1;
  struct stat shadow_st;
  struct timespec shadow_at;
  const int found =
      kd_read_account(r, sc, cred->name, &account, &shadow_fd, &shadow_st, &shadow_at);
  if (found != OK && found != DECLINED) {
    kb_record(brake, &keys, KB_UNCHECKED, now);
    return found;
  }
  int ok = 0;
  if (found == OK) {
    ok = kd_password_matches(shared, brake, &account, cred, login, now);
  } else {
    const long ns = kb_hash_ns(brake);
    const struct timespec pause = {ns / 1000000000L, ns % 1000000000L};
    nanosleep(&pause, NULL);
  }
  kb_record(brake, &keys, ok ? KB_SUCCEEDED : KB_FAILED, now);
  if (!ok) {
    if (shadow_fd >= 0) close(shadow_fd);
    kd_log_refusal(r, HTTP_UNAUTHORIZED, cred->name, "wrong password or no such account");
    return kd_refuse_login(r);
  }
  kd_remember_connection(r, cc, rq, &account, cred->name, login, now, shadow_fd, &shadow_st,
                         &shadow_at);
  return DECLINED;
}

/* kd_check_login_now, one check per account at a time and a few at once. */
static int kd_check_login(request_rec* r, const kd_server* sc, kd_shared* shared, kd_conn* cc,
                          kd_req* rq, const kd_credential* cred,
                          const unsigned char login[KD_KEY_BYTES], time_t now) {
  unsigned long hash = 5381;
  for (const char* c = cred->name; *c != '\0'; ++c) hash = hash * 33 + (unsigned char)*c;
  pthread_mutex_t* account = &kd_account_checks[hash % KD_CHECK_STRIPES];
  pthread_mutex_lock(account);
  pthread_mutex_lock(&kd_checks_lock);
  while (kd_checks_running >= KD_CHECKS_AT_ONCE)
    pthread_cond_wait(&kd_checks_free, &kd_checks_lock);
  ++kd_checks_running;
  pthread_mutex_unlock(&kd_checks_lock);
  const int status = kd_check_login_now(r, sc, shared, cc, rq, cred, login, now);
  pthread_mutex_lock(&kd_checks_lock);
  --kd_checks_running;
  pthread_cond_signal(&kd_checks_free);
  pthread_mutex_unlock(&kd_checks_lock);
  pthread_mutex_unlock(account);
  return status;
}

/* The account an Authorization field this module cannot read seems to
 * name, read as leniently as any client or daemon might: the scheme in
 * any case, any blanks, the base64 with whatever else it holds left out,
 * the text before the first colon (all of it without one). "" when that
 * is no name an account could have. */
static const char* kd_named_account(request_rec* r) {
  const char* field = apr_table_get(r->headers_in, "Authorization");
  if (field == NULL) return "";
  field += strspn(field, " \t");
  field += strcspn(field, " \t"); /* the scheme */
  field += strspn(field, " \t");
  const size_t len = strcspn(field, " \t,");
  char* token = apr_palloc(r->pool, len + 1);
  size_t kept = 0;
  for (size_t i = 0; i < len; ++i) {
    const unsigned char c = (unsigned char)field[i];
    if (apr_isalnum(c) || c == '+' || c == '/') token[kept++] = (char)c;
  }
  token[kept] = '\0';
  char* plain = apr_palloc(r->pool, apr_base64_decode_len(token) + 1);
  plain[apr_base64_decode(plain, token)] = '\0';
  plain[strcspn(plain, ":")] = '\0';
  return kd_usable_name(plain) ? plain : "";
}

/* An Authorization field this module cannot read is a wrong password to
 * the brake: charged to the account it seems to name (a name no account
 * can have shares one entry, and the network's brake counts it too), so
 * that an odd spelling (a tab, a stray byte in the base64, a trailing
 * blank) buys no unbraked guesses from a more lenient reader anywhere. */
static int kd_refuse_unreadable(request_rec* r, int status) {
  const char* name = kd_named_account(r);
  kb_brake* brake = kd_brake(r->server);
  const time_t now = time(NULL);
  kb_login keys;
  kb_login_keys(brake, name, r->useragent_ip, &keys);
  const long wait = kb_take(brake, &keys, now);
  if (wait > 0) return kd_braked(r, name[0] != '\0' ? name : NULL, wait);
  kb_record(brake, &keys, KB_FAILED, now);
  kd_log_refusal(r, status, name[0] != '\0' ? name : NULL,
                 status == HTTP_BAD_REQUEST ? "more than one Authorization field"
                                            : "an Authorization field it cannot read");
  return status == HTTP_BAD_REQUEST ? status : kd_refuse_login(r);
}

/* The field a proxied daemon takes its verified login from. */
#define KD_LOGIN_FIELD "X-Kivo-Login"

static int kd_note_login_field(void* names, const char* key, const char* value) {
  (void)value;
  char* name = apr_pstrdup(((apr_array_header_t*)names)->pool, key);
  for (char* c = name; *c != '\0'; ++c) *c = *c == '_' ? '-' : (char)apr_tolower(*c);
  if (strcmp(name, "x-kivo-login") == 0) *(const char**)apr_array_push(names) = key;
  return 1;
}

/* No client's request carries the login field on: also not spelt with
 * underscores, which a WSGI daemon reads as the same field. */
static void kd_strip_login_field(request_rec* r) {
  apr_array_header_t* names = apr_array_make(r->pool, 1, sizeof(const char*));
  apr_table_do(kd_note_login_field, names, r->headers_in, NULL);
  for (int i = 0; i < names->nelts; ++i) {
    apr_table_unset(r->headers_in, APR_ARRAY_IDX(names, i, const char*));
  }
}

/* The proxied paths run without Apache's authentication (the daemon behind
 * takes the login field instead), so nothing else names their account for
 * the access log's %u: the login verified here does, as kd_check_user_id
 * does for the shares. A refused login names nobody there, as on the
 * shares. */
static void kd_name_proxied_user(request_rec* r, const kd_req* rq) {
  r->user = apr_pstrdup(r->pool, rq->user);
}

/* A proxied request goes on as the account verified here: the daemon
 * behind takes its name from the login field, after the secret only root
 * and that daemon read, and never sees the password. */
static int kd_hand_over(request_rec* r, const kd_server* sc) {
  const kd_req* rq = ap_get_module_config(r->request_config, &kivo_dav_module);
  if (sc->proxy_token == NULL) return HTTP_SERVICE_UNAVAILABLE; /* logged at start */
  if (rq == NULL || rq->user == NULL) return HTTP_INTERNAL_SERVER_ERROR;
  apr_table_unset(r->headers_in, "Authorization");
  apr_table_setn(r->headers_in, KD_LOGIN_FIELD,
                 apr_pstrcat(r->pool, sc->proxy_token, " ", rq->user, NULL));
  kd_name_proxied_user(r, rq);
  return DECLINED;
}

/* A guest's request while anonymous login is on, also on a connection
 * that carries an account's login: it is served as guest, from the idle
 * identity (the account's parked one given back first). */
static int kd_guest_request(request_rec* r, kd_conn* cc) {
  if (cc->verified && !kd_thread_idle(r->connection)) return kd_drop_connection(r);
  kd_connection_logged_in(r, cc);
  return DECLINED;
}

/* The request's login: its credential checked, or the one already checked
 * on its connection holding. */
static int kd_login(request_rec* r, const kd_server* sc, kd_shared* shared) {
  kd_conn* cc = kd_conn_state(r->connection);
  kd_credential cred;
  kd_strip_login_field(r);
  const int proxied = kd_proxied(r, sc);
  const int read = kd_read_credential(r, &cred);
  /* The guest never reaches a proxied daemon: it logs in no one itself. */
  if (read == DECLINED && sc->anonymous > 0 && !proxied) return kd_guest_request(r, cc);
  if (read == DECLINED) return kd_refuse_login(r);
  if (read != OK) return kd_refuse_unreadable(r, read);

  const time_t now = time(NULL);
  unsigned char login[KD_KEY_BYTES];
  kd_key(shared, cred.name, cred.password, cred.password_len, login);
  kd_req* rq = apr_pcalloc(r->pool, sizeof *rq);
  rq->small_fd = -1;
  const int status = cc->verified ? kd_recheck_kept(r, sc, shared, cc, rq, &cred, login, now)
                                  : kd_check_login(r, sc, shared, cc, rq, &cred, login, now);
  return status == DECLINED && proxied ? kd_hand_over(r, sc) : status;
}

/* The thread acts as root from here until kd_take_identity (the first
 * translate_name hook) takes the account's identity or gives root's back,
 * before anything maps the URL to a file; the request's end parks the
 * account's identity. A thread parked as the very account the login
 * verified acts as it again at once instead (kd_take_identity then finds
 * it taken): root's power was needed only to switch. */
static int kd_map_as_root(request_rec* r) {
  const kd_req* rq = ap_get_module_config(r->request_config, &kivo_dav_module);
  if (rq != NULL && rq->user != NULL && kd_identity_resume(&rq->id) == 0) {
    kd_acting_for = r;
    apr_pool_cleanup_register(r->pool, r, kd_request_done, apr_pool_cleanup_null);
    return DECLINED;
  }
  if (kd_identity_raise() != 0) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, errno, r, "cannot act as root to map %s", r->uri);
    return kd_thread_idle(r->connection) ? HTTP_SERVICE_UNAVAILABLE : kd_drop_connection(r);
  }
  kd_acting_for = r;
  apr_pool_cleanup_register(r->pool, r, kd_request_done, apr_pool_cleanup_null);
  return DECLINED;
}

/* Every request begins on a thread at the idle identity or parked as its
 * connection's account (or is not served), with its login checked before
 * anything is mapped. */
static int kd_post_read_request(request_rec* r) {
  const kd_server* sc = ap_get_module_config(r->server->module_config, &kivo_dav_module);
  kd_shared* shared = kd_state(r->server);
  if (sc->root == NULL || shared == NULL || r->main != NULL || r->prev != NULL) return DECLINED;
  const int ready = kd_found_ready == r || kd_thread_ready(r->connection);
  kd_found_ready = NULL;
  if (!ready) return kd_drop_connection(r);
  const int status = kd_login(r, sc, shared);
  if (status == DECLINED) return kd_map_as_root(r);
  return status == DONE ? DONE : kd_defer_refusal(r, status);
}

/* A request whose login is refused (400, 401, 429, 503) is answered when
 * its mapping would begin (kd_answer_refusal), from the idle identity. A
 * status post_read_request returns is answered too, but Apache then closes
 * the connection without a word on the answer, and a client that sends its
 * credentials after a 401 on the same connection (the Windows redirector)
 * meets a closed socket. */
static int kd_defer_refusal(request_rec* r, int status) {
  if (!kd_thread_idle(r->connection)) return kd_drop_connection(r);
  kd_refused_body(r);
  apr_table_setn(r->notes, KD_NOTE_REFUSED, apr_itoa(r->pool, status));
  return DECLINED;
}

/* translate_name, before anything of the URL is mapped: the refusal
 * kd_defer_refusal noted. */
static int kd_answer_refusal(request_rec* r) {
  if (r->main != NULL || r->prev != NULL) return DECLINED;
  const char* refused = apr_table_get(r->notes, KD_NOTE_REFUSED);
  return refused != NULL ? atoi(refused) : DECLINED;
}

/* The login checked for the request that `r` serves (a subrequest or an
 * internal redirect keeps its request's). */
static const request_rec* kd_origin(const request_rec* r);
static const kd_req* kd_login_of(const request_rec* r) {
  return ap_get_module_config(kd_origin(r)->request_config, &kivo_dav_module);
}

static int kd_check_user_id(request_rec* r) {
  const kd_server* sc = ap_get_module_config(r->server->module_config, &kivo_dav_module);
  const char* type = ap_auth_type(r);
  if (sc->root == NULL || sc->anonymous > 0 || type == NULL || strcasecmp(type, "Basic") != 0) {
    return DECLINED;
  }
  const kd_req* rq = kd_login_of(r);
  if (rq == NULL || rq->user == NULL) return kd_refuse_login(r);
  if (!kd_identity_acting_as(&rq->id)) {
    /* Never expected: kd_take_identity acts as the user before this hook. */
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "%s runs as uid %ld, not as its own", rq->user,
                  (long)geteuid());
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  r->user = apr_pstrdup(r->pool, rq->user);
  r->ap_auth_type = "Basic";
  return OK;
}

/* ---- identity ---- */

/* The request that `r` serves (a subrequest or an internal redirect
 * serves its request's). */
static const request_rec* kd_origin(const request_rec* r) {
  while (r->main != NULL || r->prev != NULL) r = r->main != NULL ? r->main : r->prev;
  return r;
}

/* The thread, root since the login, takes the verified account's identity
 * before the URL is mapped (this hook runs first at translate_name; again
 * at post_perdir_config, where it finds it taken) for the rest of the
 * request: Apache's directory walk and its stat of the file run as the
 * user, as do the subrequests and internal redirects, which find it taken.
 * Requests without a verified login go back to the idle identity.
 * kd_fixups judges the target again as the user, without links. */
static int kd_take_identity(request_rec* r) {
  const request_rec* origin = kd_origin(r);
  if (kd_acting_for == NULL) return DECLINED; /* the module is off */
  if (kd_acting_for != origin) {
    /* Never expected: another request's identity is on this thread. */
    ap_log_rerror(APLOG_MARK, APLOG_CRIT, 0, r, "a thread still acts for another request");
    r->connection->keepalive = AP_CONN_CLOSE;
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  if (!kd_identity_raised()) return DECLINED; /* taken for this request */
  const kd_req* rq = ap_get_module_config(origin->request_config, &kivo_dav_module);
  if (rq == NULL || rq->user == NULL) {
    return kd_give_back(origin) ? DECLINED : HTTP_INTERNAL_SERVER_ERROR;
  }
  if (kd_identity_take(&rq->id) == 0) return DECLINED;
  ap_log_rerror(APLOG_MARK, APLOG_ERR, errno, r, "cannot act as %s (uid %ld)", rq->user,
                (long)rq->id.uid);
  r->connection->keepalive = AP_CONN_CLOSE;
  return kd_give_back(origin) ? HTTP_INTERNAL_SERVER_ERROR : kd_drop_connection(r);
}

/* ---- access, judged as the user ---- */

/* May this identity add or remove the entry `target` (NULL: a new one) in
 * `folder`? Write and search on the folder, and on a sticky folder only
 * the owner of the entry or of the folder removes it. OK, or the status
 * to answer with its reason: 409 for a folder that does not exist (RFC
 * 4918 9.3.1, 9.7.1; a client such as rclone then makes the folder), 403
 * for one this identity may not change. */
static int kd_change_in(const char* folder, const struct stat* target, const char** reason) {
  if (faccessat(AT_FDCWD, folder, W_OK | X_OK, AT_EACCESS) != 0) {
    const int missing = errno == ENOENT || errno == ENOTDIR;
    *reason = missing ? "no such folder" : "the folder is not writable";
    return missing ? HTTP_CONFLICT : HTTP_FORBIDDEN;
  }
  if (target == NULL) return OK;
  struct stat st;
  if (stat(folder, &st) != 0) {
    *reason = "the folder is not readable";
    return HTTP_FORBIDDEN;
  }
  const uid_t me = geteuid();
  if (!(st.st_mode & S_ISVTX) || target->st_uid == me || st.st_uid == me) return OK;
  *reason = "another's entry in a sticky folder";
  return HTTP_FORBIDDEN;
}

/* A share's root (or the listing of shares): one path segment at most. */
static int kd_share_root(const char* uri) {
  while (*uri == '/') ++uri;
  const char* slash = strchr(uri, '/');
  return slash == NULL || slash[strspn(slash, "/")] == '\0';
}

/* "Second-N" at most an hour; "Infinite", nothing or anything else: the
 * hour. */
static void kd_cap_lock_timeout(request_rec* r) {
  const char* field = apr_table_get(r->headers_in, "Timeout");
  long seconds = KD_LOCK_TIMEOUT_MAX;
  if (field != NULL && strncasecmp(field, "Second-", 7) == 0) {
    char* end = NULL;
    const long asked = strtol(field + 7, &end, 10);
    if (end != field + 7 && asked > 0 && asked < seconds) seconds = asked;
  }
  apr_table_setn(r->headers_in, "Timeout", apr_psprintf(r->pool, "Second-%ld", seconds));
}

/* The account that took the lock the request's Lock-Token names, as
 * mod_dav recorded it; NULL when there is none (mod_dav then answers). */
static const char* kd_lock_owner(request_rec* r) {
  const dav_hooks_locks* hooks = dav_get_lock_hooks(r);
  const char* field = apr_table_get(r->headers_in, "Lock-Token");
  const size_t len = field != NULL ? strlen(field) : 0;
  if (hooks == NULL || len < 3 || field[0] != '<' || field[len - 1] != '>') return NULL;
  dav_locktoken* token = NULL;
  dav_resource* resource = NULL;
  dav_lockdb* db = NULL;
  dav_lock* locks = NULL;
  if (hooks->parse_locktoken(r->pool, apr_pstrndup(r->pool, field + 1, len - 2), &token) != NULL ||
      dav_get_resource(r, 0, 0, &resource) != NULL || dav_open_lockdb(r, 1, &db) != NULL ||
      db == NULL) {
    return NULL;
  }
  const char* owner = NULL;
  if (dav_lock_query(db, resource, &locks) == NULL) {
    for (const dav_lock* lock = locks; lock != NULL && owner == NULL; lock = lock->next) {
      if (lock->auth_user != NULL && hooks->compare_locktoken(token, lock->locktoken) == 0) {
        owner = apr_pstrdup(r->pool, lock->auth_user);
      }
    }
  }
  dav_close_lockdb(db);
  return owner;
}

/* Whether the request's If field names a lock token this server could
 * never have given (a damaged one) for a resource that is locked. mod_dav
 * answers such a request 400, as if the field were unreadable; to the
 * client the resource is locked and the request carries no token of it,
 * which is 423 (RFC 4918 9.10.6, and what litmus asks). */
static int kd_locked_with_damaged_token(request_rec* r) {
  const char* field = apr_table_get(r->headers_in, "If");
  const dav_hooks_locks* hooks = dav_get_lock_hooks(r);
  if (field == NULL || hooks == NULL) return 0;
  int damaged = 0, depth = 0;
  for (const char* p = field; *p != '\0' && !damaged; ++p) {
    if (*p == '(' || *p == ')') {
      depth += *p == '(' ? 1 : -1;
    } else if (*p == '[') {
      p += strcspn(p, "]"); /* an entity tag, which may hold '<' */
      if (*p == '\0') break;
    } else if (*p == '<' && depth > 0) {
      const size_t len = strcspn(p + 1, ">");
      const char* token = apr_pstrndup(r->pool, p + 1, len);
      dav_locktoken* parsed = NULL;
      damaged = strcmp(token, "DAV:no-lock") != 0 &&
                hooks->parse_locktoken(r->pool, token, &parsed) != NULL;
      p += len;
      if (*p == '\0') break;
    }
  }
  dav_resource* resource = NULL;
  dav_lockdb* db = NULL;
  dav_lock* locks = NULL;
  if (!damaged || dav_get_resource(r, 0, 0, &resource) != NULL ||
      dav_open_lockdb(r, 1, &db) != NULL || db == NULL) {
    return 0;
  }
  const int locked = dav_lock_query(db, resource, &locks) == NULL && locks != NULL;
  dav_close_lockdb(db);
  return locked;
}

/* mod_dav lets only the account that took a lock lift it (it compares the
 * lock's owner with r->user). An administrator may lift anyone's: the
 * request then carries the owner's name through mod_dav's handler, and
 * the administrator's again in the log (kd_log_transaction). */
static void kd_admin_unlock(request_rec* r) {
  const kd_req* rq = kd_login_of(r);
  if (rq == NULL || !rq->id.admin || r->user == NULL) return;
  const char* owner = kd_lock_owner(r);
  if (owner == NULL || strcmp(owner, r->user) == 0) return;
  ap_log_rerror(APLOG_MARK, APLOG_NOTICE, 0, r, "administrator %s lifts the lock of %s on %s",
                r->user, owner, r->uri);
  apr_table_setn(r->notes, KD_NOTE_ADMIN, r->user);
  r->user = (char*)owner;
}

static int kd_log_transaction(request_rec* r) {
  const char* admin = apr_table_get(r->notes, KD_NOTE_ADMIN);
  if (admin != NULL) r->user = (char*)admin;
  return DECLINED;
}

/* Answers 201 where mod_dav says 200 to a LOCK whose empty resource this
 * module made (kd_lock_unmapped). */
static apr_status_t kd_created_filter(ap_filter_t* f, apr_bucket_brigade* bb) {
  if (f->r->status == HTTP_OK) f->r->status = HTTP_CREATED;
  ap_remove_output_filter(f);
  return ap_pass_brigade(f->next, bb);
}

/* A LOCK of a name that does not exist yet. mod_dav_fs would make it a
 * "lock-null" resource, listed in the folder's .DAV/.locknull, a file of
 * whoever locked first in that folder, which every other account then
 * fails to write (500). The empty locked resource WebDAV has defined
 * since RFC 4918 needs no such list: it is made here, as the user, and
 * mod_dav locks it as it stands.
 *
 * It is dated two seconds back. Apache gives a file changed within the
 * current second a weak validator, which never matches in If-Match; a
 * client that locks a new name, asks for its ETag and sends its content
 * with If-Match on it (davfs2) would get 412 and lose the content. An
 * empty file has nothing its date tells apart. */
static int kd_lock_unmapped(request_rec* r, const char* path) {
  const char* length = apr_table_get(r->headers_in, "Content-Length");
  if ((length == NULL || strcmp(length, "0") == 0) &&
      apr_table_get(r->headers_in, "Transfer-Encoding") == NULL) {
    return OK; /* a refresh, which names an existing lock */
  }
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == EEXIST) return OK;
    const int status = errno == ENOENT || errno == ENOTDIR ? HTTP_CONFLICT : HTTP_FORBIDDEN;
    kd_log_refusal(r, status, r->user,
                   apr_psprintf(r->pool, "cannot make the locked name: %s", strerror(errno)));
    return status;
  }
  struct timespec dates[2];
  clock_gettime(CLOCK_REALTIME, &dates[0]);
  dates[0].tv_sec -= 2;
  dates[1] = dates[0];
  futimens(fd, dates);
  close(fd);
  if (apr_stat(&r->finfo, path, APR_FINFO_MIN, r->pool) != APR_SUCCESS) {
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  ap_add_output_filter("KIVO_DAV_CREATED", NULL, r, r->connection);
  return OK;
}

/* ---- calendars ---- */

/* Whether an account named "homes" exists (the registry's old home entries
 * read differently then), as the process's account index read etc/passwd
 * at the login of this request or of its kept connection (within the
 * minute), or later: no file is read. */
static int kd_homes_account(void) { return kd_account_index_names(&kd_accounts, "homes"); }

/* The registry as it is now, read as the user (it is world-readable); an
 * empty text when there is none. */
typedef struct {
  const char* text;
  apr_size_t len;
  int homes_account;
} kd_registry;

static kd_registry kd_read_registry_file(request_rec* r, const char* path) {
  kd_registry registry = {"", 0, 0};
  apr_file_t* file = NULL;
  apr_finfo_t info;
  if (path == NULL ||
      apr_file_open(&file, path, APR_FOPEN_READ, APR_FPROT_OS_DEFAULT, r->pool) != APR_SUCCESS) {
    return registry; /* no registry: no calendars */
  }
  if (apr_file_info_get(&info, APR_FINFO_SIZE, file) == APR_SUCCESS && info.size < (1 << 24)) {
    apr_size_t len = (apr_size_t)info.size;
    char* text = apr_palloc(r->pool, len + 1);
    if (apr_file_read_full(file, text, len, &len) == APR_SUCCESS) {
      registry.text = text;
      registry.len = len;
    }
  }
  apr_file_close(file);
  registry.homes_account = kd_homes_account();
  return registry;
}

static kd_registry kd_read_registry(request_rec* r, const kd_server* sc) {
  return kd_read_registry_file(r, sc->registry);
}

/* Whether the URL path `path` is a registered address book's folder or
 * lies above one (`within`: or lies inside one); an address-book registry
 * that cannot be read counts as one that names `path`, as for guests. */
static int kd_holds_address_book(request_rec* r, const kd_server* sc, const char* path,
                                 int within) {
  if (sc->addressbooks == NULL) return 0;
  const kd_registry books = kd_read_registry_file(r, sc->addressbooks);
  const int found = within ? kd_registry_within(books.text, books.len, KD_ADDRESSBOOK_MEMBER, path,
                                                books.homes_account)
                           : kd_registry_below(books.text, books.len, KD_ADDRESSBOOK_MEMBER, path,
                                               books.homes_account);
  if (found == KD_CALENDAR_UNKNOWN) {
    ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r, "%s cannot be read as an address-book registry",
                  sc->addressbooks);
  }
  return found != KD_CALENDAR_NONE;
}

/* Whether the URL path `path` is a registered calendar's folder or lies
 * above one. */
static int kd_holds_calendar(request_rec* r, const kd_server* sc, const kd_registry* registry,
                             const char* path) {
  const int found = kd_calendar_below(registry->text, registry->len, path, registry->homes_account);
  if (found == KD_CALENDAR_UNKNOWN) {
    ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r, "%s cannot be read as a calendar registry",
                  sc->registry);
  }
  return found == KD_CALENDAR_FOUND;
}

/* Drops the trailing slashes of `path` ("/" stays). */
static void kd_trim_slashes(char* path) {
  size_t len = strlen(path);
  while (len > 1 && path[len - 1] == '/') path[--len] = '\0';
}

/* The decoded, normal path of a MOVE's or COPY's Destination; NULL when it
 * has none mod_dav would take (mod_dav then answers). */
static const char* kd_destination_path(request_rec* r) {
  const char* field = apr_table_get(r->headers_in, "Destination");
  apr_uri_t uri;
  if (field == NULL || apr_uri_parse(r->pool, field, &uri) != APR_SUCCESS || uri.path == NULL) {
    return NULL;
  }
  char* path = apr_pstrdup(r->pool, uri.path);
  if (ap_unescape_url(path) != OK) return NULL;
  ap_getparents(path);
  ap_no2slash(path);
  kd_trim_slashes(path);
  return path;
}

/* Address books are guarded as calendars are (below): `source` is the
 * folder that goes (NULL for a COPY), `destination` the one written. */
static int kd_guard_address_books(request_rec* r, const kd_server* sc, const char* source,
                                  const char* destination) {
  const char* which = NULL;
  if (source != NULL && kd_holds_address_book(r, sc, source, 0)) which = source;
  if (which == NULL && destination != NULL && kd_holds_address_book(r, sc, destination, 0)) {
    which = destination;
  }
  if (which == NULL) return OK;
  kd_log_refusal(r, HTTP_FORBIDDEN, r->user,
                 apr_psprintf(r->pool, "%s is or holds an address book's folder", which));
  ap_custom_response(r, HTTP_FORBIDDEN,
                     "\"This folder is or holds an address book's folder. Address books are "
                     "renamed, moved and deleted on the administration page.\n");
  return HTTP_FORBIDDEN;
}

/* Calendars move and go through the web API, which keeps the registry and
 * the CalDAV addresses in step; a file manager's MOVE or DELETE of a
 * calendar's folder (or of a folder above one), or a COPY or MOVE onto
 * one, would leave a registered calendar without its folder (and a DELETE
 * its events gone with it). A COPY of a calendar's folder elsewhere only
 * reads it. */
static int kd_guard_calendars(request_rec* r, const kd_server* sc) {
  const int source_goes = r->method_number == M_MOVE || r->method_number == M_DELETE;
  char* source = apr_pstrdup(r->pool, r->uri); /* decoded and normal but for slashes */
  ap_no2slash(source);
  kd_trim_slashes(source);
  const char* destination = r->method_number != M_DELETE ? kd_destination_path(r) : NULL;
  const kd_registry registry = kd_read_registry(r, sc);
  const char* which = NULL;
  if (source_goes && kd_holds_calendar(r, sc, &registry, source)) which = source;
  if (which == NULL && destination != NULL && kd_holds_calendar(r, sc, &registry, destination)) {
    which = destination;
  }
  if (which == NULL) return kd_guard_address_books(r, sc, source_goes ? source : NULL, destination);
  kd_log_refusal(r, HTTP_FORBIDDEN, r->user,
                 apr_psprintf(r->pool, "%s is or holds a calendar's folder", which));
  ap_custom_response(r, HTTP_FORBIDDEN,
                     "\"This folder is or holds a calendar's folder. Calendars are renamed, "
                     "moved and deleted on the administration page.\n");
  return HTTP_FORBIDDEN;
}

/* ---- access ---- */

/* A request without credentials while anonymous login is on: it reads
 * what guest may. */
static int kd_guest(const request_rec* r, const kd_server* sc) {
  const kd_req* rq = kd_login_of(r);
  return sc->anonymous > 0 && (rq == NULL || rq->user == NULL);
}

/* Refuses with `status`; a guest is asked for credentials instead, so
 * that a client that tried without them sends them now. */
static int kd_refuse(request_rec* r, const kd_server* sc, int status, const char* reason) {
  const int guest = kd_guest(r, sc) && status == HTTP_FORBIDDEN;
  kd_log_refusal(r, guest ? HTTP_UNAUTHORIZED : status, r->user, reason);
  return guest ? kd_refuse_login(r) : status;
}

static int kd_reading(const request_rec* r) {
  switch (r->method_number) {
    case M_GET:
    case M_OPTIONS:
    case M_PROPFIND:
      return 1; /* HEAD is a GET to Apache */
    default:
      return 0;
  }
}

/* A LOCK's Depth: infinity, also when the field is absent (RFC 4918 9.10.3). */
static int kd_depth_infinity(const request_rec* r) {
  const char* depth = apr_table_get(r->headers_in, "Depth");
  return depth == NULL || strcasecmp(depth, "infinity") == 0;
}

#define KD_LOCK_MEMBERS_MAX 100000
#define KD_LOCK_LEVELS_MAX 64

/* Counts the members below the open folder `dir` into `*seen` and returns
 * 1 while this identity could write each (a file's content, a folder's
 * entries); 0 at the first it could not, or past the bounds, with *why.
 * Symbolic links are judged by nothing they point to: they are skipped,
 * as mod_dav_fs does not follow them either. mod_dav_fs's own state
 * folders (.DAV) are no members. */
static int kd_walk_writable(int dir, int level, long* seen, const char** why) {
  DIR* listing = fdopendir(dir);
  if (listing == NULL) {
    close(dir);
    *why = "a folder inside cannot be read";
    return 0;
  }
  int ok = 1;
  const struct dirent* entry;
  while (ok && (errno = 0, entry = readdir(listing)) != NULL) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strcmp(name, ".DAV") == 0) continue;
    struct stat st;
    if (fstatat(dirfd(listing), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue; /* gone */
    if (S_ISLNK(st.st_mode)) continue;
    if (++*seen > KD_LOCK_MEMBERS_MAX || level >= KD_LOCK_LEVELS_MAX) {
      *why = "the folder holds too many members for a lock of depth infinity";
      ok = 0;
    } else if (S_ISDIR(st.st_mode)) {
      const int sub = openat(dirfd(listing), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0 || faccessat(sub, ".", W_OK | X_OK | R_OK, AT_EACCESS) != 0) {
        if (sub >= 0) close(sub);
        *why = "a folder inside is not writable by this account";
        ok = 0;
      } else {
        ok = kd_walk_writable(sub, level + 1, seen, why);
      }
    } else if (faccessat(dirfd(listing), name, W_OK, AT_EACCESS) != 0) {
      *why = "a file inside is not writable by this account";
      ok = 0;
    }
  }
  if (ok && errno != 0) {
    *why = "a folder inside cannot be read";
    ok = 0;
  }
  closedir(listing);
  return ok;
}

/* A lock of depth infinity on the folder `path` covers every member below
 * it: it stops everyone else from changing them. It is granted only where
 * this identity could write every one itself, so that a folder many may
 * write (a public calendar's, 0777) never lets one account lock the
 * others' files in it. */
static int kd_members_writable(const char* path, const char** reason) {
  const int dir = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  long seen = 0;
  if (dir < 0) {
    *reason = "the folder cannot be read";
    return HTTP_FORBIDDEN;
  }
  return kd_walk_writable(dir, 0, &seen, reason) ? OK : HTTP_FORBIDDEN;
}

/* A lock stops every other account from changing what it covers: on a
 * folder, from adding, removing or moving its entries, its owner and the
 * administrators included, for an hour and again at each renewal. Write
 * access alone (a folder many may write) would let any of them take it
 * from its owner, so what exists is locked only by its owner or an
 * administrator; a new name a lock makes is its locker's own. */
static int kd_may_lock(const request_rec* r, const struct stat* st) {
  const kd_req* rq = kd_login_of(r);
  return st->st_uid == geteuid() || (rq != NULL && rq->id.admin);
}

/* The status of a change of `path` (its stat `st` when it `exists`) in
 * `folder` by this identity, with its reason. */
static int kd_change_status(request_rec* r, const char* path, const char* folder,
                            const struct stat* st, int exists, const char** reason) {
  const int main = r->main == NULL;
  *reason = "the target is not writable";
  switch (r->method_number) {
    case M_PUT:
      if (!exists) return kd_change_in(folder, NULL, reason);
      if (S_ISDIR(st->st_mode)) return OK; /* mod_dav answers */
      if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) return HTTP_FORBIDDEN;
      return kd_change_in(folder, st, reason);
    case M_MKCOL:
      return exists ? OK : kd_change_in(folder, NULL, reason);
    case M_DELETE:
      return exists ? kd_change_in(folder, st, reason) : OK;
    case M_MOVE:
      /* The source of a MOVE, or (a subrequest) its destination. */
      if (main) return exists ? kd_change_in(folder, st, reason) : OK;
      return kd_change_in(folder, exists ? st : NULL, reason);
    case M_COPY:
      return kd_change_in(folder, exists ? st : NULL, reason); /* the destination */
    case M_PROPPATCH:
      return !exists || faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0 ? OK : HTTP_FORBIDDEN;
    case M_LOCK:
      /* A lock on a share's root, of any depth, would stop every other
       * account from adding to the share. */
      if (kd_share_root(r->uri)) {
        *reason = "a lock on a share's root";
        return HTTP_FORBIDDEN;
      }
      if (!exists) return kd_change_in(folder, NULL, reason);
      if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) return HTTP_FORBIDDEN;
      if (!kd_may_lock(r, st)) {
        *reason = "a lock on what another account owns";
        return HTTP_FORBIDDEN;
      }
      return S_ISDIR(st->st_mode) && kd_depth_infinity(r) ? kd_members_writable(path, reason) : OK;
    default:
      return OK;
  }
}

/* Opens the absolute `path` with `flags` and stats it into `*st`,
 * refusing (ELOOP) a symbolic link in any of its components, the last one
 * included: Apache's own check of every component (Options without
 * FollowSymLinks) costs an lstat per component per request, this one a
 * single lookup. The descriptor, or -1 with errno. */
static int kd_open_without_links(const char* path, int flags, struct stat* st) {
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = (unsigned)(flags | O_CLOEXEC);
  how.resolve = RESOLVE_NO_SYMLINKS;
  const int fd = (int)syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (fd < 0) return -1;
  if (fstat(fd, st) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

/* stat(2) of `path` by kd_open_without_links. */
static int kd_stat_without_links(const char* path, struct stat* st) {
  const int fd = kd_open_without_links(path, O_PATH, st);
  if (fd < 0) return -1;
  close(fd);
  return 0;
}

static apr_status_t kd_close_small_file(void* data) {
  kd_req* rq = data;
  if (rq->small_fd >= 0) close(rq->small_fd);
  rq->small_fd = -1;
  return APR_SUCCESS;
}

/* r->finfo from the file open on `fd`: what the answer's headers say
 * comes from the file the check opened. */
static void kd_finfo_from(request_rec* r, int fd) {
  apr_file_t* file = NULL;
  apr_os_file_t os_fd = fd;
  apr_os_file_put(&file, &os_fd, APR_FOPEN_READ, r->pool);
  apr_file_info_get(&r->finfo, APR_FINFO_NORM, file);
  r->finfo.fname = r->filename;
}

/* kd_stat_without_links for a GET of what Apache mapped to a regular file
 * as a whole: opened to read, and kept in `rq` when it is the regular file
 * mapped (kd_send_small_file sends it from there: a FIFO swapped in for it
 * after this check would hold Apache's own open). One the user may not
 * read is only stated, as before: the answer stays Apache's. */
static int kd_stat_for_get(request_rec* r, kd_req* rq, const char* path, struct stat* st) {
  const int fd = kd_open_without_links(path, O_RDONLY | O_NONBLOCK | O_NOCTTY, st);
  if (fd < 0 && errno == EACCES && kd_stat_without_links(path, st) == 0) {
    /* A file this account may not read is refused here: Apache's open of
     * its name could meet a FIFO swapped in meanwhile. */
    if (S_ISREG(st->st_mode)) errno = EACCES;
    return S_ISREG(st->st_mode) ? -1 : 0;
  }
  if (fd < 0) return -1;
  if (S_ISREG(st->st_mode)) {
    if ((apr_ino_t)st->st_ino != r->finfo.inode || (apr_dev_t)st->st_dev != r->finfo.device) {
      kd_finfo_from(r, fd); /* the name changed since Apache's stat */
    }
    rq->small_fd = fd;
    apr_pool_cleanup_register(r->pool, rq, kd_close_small_file, apr_pool_cleanup_null);
  } else {
    close(fd);
  }
  return 0;
}

/* Appends the whole regular file open on `fd` (closed with the request's
 * pool, after the core sent it) to `bb`. */
static void kd_insert_opened_file(request_rec* r, int fd, apr_bucket_brigade* bb) {
  apr_file_t* file = NULL;
  apr_os_file_t os_fd = fd;
  apr_os_file_put(&file, &os_fd, APR_FOPEN_READ | APR_FOPEN_SENDFILE_ENABLED, r->pool);
  apr_brigade_insert_file(bb, file, 0, (apr_off_t)r->finfo.size, r->pool);
}

/* A GET (or HEAD) of a file whose check opened it: sent from that very
 * descriptor, as Apache's default handler sends a file (validators,
 * conditions; ranges and HEAD by the filters), without a second lookup of
 * its name, and surely the file judged: never a FIFO that blocks the
 * thread. A small one is read here; a larger one goes as a file bucket,
 * which the core sends with sendfile. */
static int kd_send_small_file(request_rec* r) {
  /* Only the check of a whole GET keeps a descriptor, in this request's own
   * config (a subrequest or a redirect has its own, without one). */
  kd_req* rq = ap_get_module_config(r->request_config, &kivo_dav_module);
  if (rq == NULL || rq->small_fd < 0 || r->finfo.filetype != APR_REG) return DECLINED;
  int status = ap_discard_request_body(r);
  if (status != OK) return status;
  ap_update_mtime(r, r->finfo.mtime);
  ap_set_last_modified(r);
  ap_set_etag(r);
  ap_set_accept_ranges(r);
  ap_set_content_length(r, r->finfo.size);
  conn_rec* c = r->connection;
  apr_bucket_brigade* bb = apr_brigade_create(r->pool, c->bucket_alloc);
  const int unmet = ap_meets_conditions(r);
  if (unmet != OK) {
    r->status = unmet;
  } else if (r->finfo.size > KD_SMALL_FILE) {
    kd_insert_opened_file(r, rq->small_fd, bb);
  } else {
    const apr_size_t size = (apr_size_t)r->finfo.size;
    char* data = apr_palloc(r->pool, size + 1);
    apr_size_t got = 0;
    while (got < size) {
      const ssize_t n = pread(rq->small_fd, data + got, size - got, (off_t)got);
      if (n > 0) {
        got += (apr_size_t)n;
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
    if (got != size) {
      ap_log_rerror(APLOG_MARK, APLOG_ERR, errno, r, "%s changed while it was read", r->filename);
      return HTTP_INTERNAL_SERVER_ERROR;
    }
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_pool_create(data, size, r->pool, c->bucket_alloc));
  }
  APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(c->bucket_alloc));
  status = ap_pass_brigade(r->output_filters, bb);
  apr_brigade_cleanup(bb);
  return status == APR_SUCCESS || r->status != HTTP_OK || c->aborted ? OK : AP_FILTER_ERROR;
}

/* Whether `path` names a direct member of `folder`. */
static int kd_member_of(const char* path, const char* folder) {
  const size_t len = strlen(folder);
  return strncmp(path, folder, len) == 0 && path[len] == '/' && path[len + 1] != '\0' &&
         strchr(path + len + 1, '/') == NULL;
}

/* kd_stat_without_links; for a member of a folder its request judged so
 * already, an lstat of the member alone (Apache's own check reuses what it
 * walked for the request in its subrequests alike). */
static int kd_stat_member_without_links(const char* path, const char* folder, struct stat* st) {
  if (folder == NULL || !kd_member_of(path, folder)) return kd_stat_without_links(path, st);
  if (lstat(path, st) != 0) return -1;
  if (S_ISLNK(st->st_mode)) {
    errno = ELOOP;
    return -1;
  }
  return 0;
}

/* A direct member of the folder its request judged without links (a
 * PROPFIND asks a subrequest of each): Apache's own stat of it, made an
 * lstat, tells a link apart at no cost beyond plain Apache's, for
 * kd_judge_target. Runs as the user (subrequests map their URLs so). */
static apr_status_t kd_dirwalk_stat(apr_finfo_t* finfo, request_rec* r, apr_int32_t wanted) {
  const kd_server* sc = ap_get_module_config(r->server->module_config, &kivo_dav_module);
  if (sc->root == NULL || r->main == NULL || r->filename == NULL) return AP_DECLINED;
  const kd_req* rq = ap_get_module_config(kd_origin(r)->request_config, &kivo_dav_module);
  if (rq == NULL || rq->folder_judged == NULL || !kd_member_of(r->filename, rq->folder_judged)) {
    return AP_DECLINED;
  }
  const apr_status_t rv = apr_stat(finfo, r->filename, wanted | APR_FINFO_LINK, r->pool);
  if (rv == APR_SUCCESS) {
    apr_table_setn(r->notes, KD_NOTE_MEMBER, "walked");
  }
  return rv;
}

/* Apache's directory walk, as the account: a path closed to it ends the
 * walk as a missing one would, so that kd_fixups judges it and answers
 * once, a guest asked to log in (the walk's own answer is a bare 403). */
static apr_status_t kd_dirwalk_closed(apr_finfo_t* finfo, request_rec* r, apr_int32_t wanted) {
  const kd_server* sc = ap_get_module_config(r->server->module_config, &kivo_dav_module);
  if (sc->root == NULL || r->filename == NULL) return AP_DECLINED;
  const apr_status_t rv = apr_stat(finfo, r->filename, wanted, r->pool);
  return APR_STATUS_IS_EACCES(rv) ? APR_ENOENT : rv;
}

/* Stats the request's target as this identity into `*st`, `*exists`:
 * OK, or the status to answer (a symbolic link on the way, what root saw
 * while mapping the URL and this identity does not, a folder closed to
 * it). */
static int kd_judge_target(request_rec* r, const kd_server* sc, const char* path, int reading,
                           struct stat* st, int* exists) {
  *exists = 1;
  kd_req* rq = ap_get_module_config(kd_origin(r)->request_config, &kivo_dav_module);
  if (rq == NULL && r->main == NULL && r->prev == NULL) {
    /* A guest's request: it keeps its GET's descriptor too. */
    rq = apr_pcalloc(r->pool, sizeof *rq);
    rq->small_fd = -1;
    ap_set_module_config(r->request_config, &kivo_dav_module, rq);
  }
  const char* folder = r->main != NULL && rq != NULL ? rq->folder_judged : NULL;
  /* A regular file kd_dirwalk_stat walked, read: nothing left to judge. A
   * link (mod_dav_fs lists none; one swapped in after the listing) is
   * refused by the lstat below, a folder judged as any other. */
  const char* member = folder != NULL && reading && strcmp(path, r->filename) == 0
                           ? apr_table_get(r->notes, KD_NOTE_MEMBER)
                           : NULL;
  if (member != NULL && r->finfo.filetype == APR_REG) {
    return OK; /* *st unread by a reading request's caller */
  }
  const int whole_get = r->method_number == M_GET && r->main == NULL && r->prev == NULL &&
                        rq != NULL && r->finfo.filetype == APR_REG &&
                        strcmp(path, r->filename) == 0;
  if ((whole_get ? kd_stat_for_get(r, rq, path, st)
                 : kd_stat_member_without_links(path, folder, st)) != 0) {
    if (errno == ELOOP) { /* as Apache answers one: 403, for a guest too */
      kd_log_refusal(r, HTTP_FORBIDDEN, r->user, "a symbolic link on the way");
      return HTTP_FORBIDDEN;
    }
    if (errno != ENOENT && errno != ENOTDIR) {
      return kd_refuse(r, sc, HTTP_FORBIDDEN, strerror(errno));
    }
    /* Root saw it while mapping the URL; this identity does not. */
    if (errno == ENOENT && r->finfo.filetype != APR_NOFILE) return HTTP_NOT_FOUND;
    *exists = 0;
  }
  /* A folder the user may not enter shows nothing of itself either, nor
   * is it listed to one who may not read it. */
  if (*exists && S_ISDIR(st->st_mode) &&
      faccessat(AT_FDCWD, path, (reading ? R_OK : 0) | X_OK, AT_EACCESS) != 0) {
    return kd_refuse(r, sc, HTTP_FORBIDDEN, "the folder is closed to this account");
  }
  if (*exists && S_ISDIR(st->st_mode) && r->main == NULL && r->prev == NULL && rq != NULL) {
    rq->folder_judged = path;
  }
  return OK;
}

/* What a change allowed so far still needs, by method: a LOCK's capped
 * timeout and its new name made, an administrator's UNLOCK. */
static int kd_finish_change(request_rec* r, const char* path, int exists) {
  switch (r->method_number) {
    case M_LOCK:
      kd_cap_lock_timeout(r);
      return !exists && r->main == NULL ? kd_lock_unmapped(r, path) : OK;
    case M_UNLOCK:
      if (r->main == NULL) kd_admin_unlock(r);
      return OK;
    default:
      return OK;
  }
}

/* Only files and folders are served: opening a FIFO waits for a writer
 * (holding the thread, and a daemon's stop, for good), a device or socket
 * is nothing a share holds. A user makes them with a shell or a share's
 * other doors; each answers 403 at once, whatever the method, also as a
 * destination or a listed member. `st` is the stat the check took as the
 * user (unread, a regular file, for a walked member), r->finfo Apache's,
 * also taken as the user. */
static int kd_special_file(const request_rec* r, const struct stat* st, int exists) {
  const apr_filetype_e mapped = r->finfo.filetype;
  if (mapped != APR_NOFILE && mapped != APR_REG && mapped != APR_DIR && mapped != APR_LNK) {
    return 1;
  }
  return exists && !S_ISREG(st->st_mode) && !S_ISDIR(st->st_mode);
}

/* mod_dav_fs keeps a resource's dead properties in files of its folder's
 * state folder (.DAV/<name>, with .pag and .dir for some DBM formats; a
 * folder's own as .state_for_dir) and opens them by name, without
 * O_NONBLOCK, whenever it reads or copies the resource's properties: a
 * FIFO (or a link to one) there holds the thread as the resource itself
 * would. Whether the state folder open on `dav` holds anything but a
 * regular file under one of the names `name`'s state takes. */
static int kd_state_entry_special(int dav, const char* name) {
  static const char* const kSuffixes[] = {"", ".pag", ".dir", ".db"};
  for (size_t i = 0; i < sizeof kSuffixes / sizeof *kSuffixes; ++i) {
    char entry[NAME_MAX + 8];
    struct stat st;
    snprintf(entry, sizeof entry, "%s%s", name, kSuffixes[i]);
    if (fstatat(dav, entry, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) return 1;
  }
  return 0;
}

/* Whether the state folder of the folder `dir` (a path, or with `at` an
 * entry of the open folder `at`) holds anything but regular files (`name`
 * NULL: in all; else in `name`'s state and the folder's lock-null list).
 * Missing or closed to this account: nothing (mod_dav_fs, as the account,
 * opens nothing there either). Past the bounds of a lock's walk: as if it
 * did. */
static int kd_state_special(int at, const char* dir, const char* name) {
  char path[PATH_MAX];
  const char* state = ".DAV";
  if (at == AT_FDCWD) {
    if (snprintf(path, sizeof path, "%s/.DAV", dir) >= (int)sizeof path) return 1;
    state = path;
  }
  const int dav = openat(at, state, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  /* A link is followed there; a folder it cannot open, nobody reads. */
  if (dav < 0) return errno == ELOOP;
  if (name != NULL) {
    const int special =
        kd_state_entry_special(dav, name) || kd_state_entry_special(dav, ".locknull");
    close(dav);
    return special;
  }
  DIR* listing = fdopendir(dav);
  if (listing == NULL) {
    close(dav);
    return 1;
  }
  int special = 0;
  long seen = 0;
  const struct dirent* entry;
  while (!special && (entry = readdir(listing)) != NULL) {
    struct stat st;
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    special = ++seen > KD_LOCK_MEMBERS_MAX ||
              (fstatat(dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               !S_ISREG(st.st_mode));
  }
  closedir(listing);
  return special;
}

/* kd_state_special for the open folder `dir` and every folder below it (a
 * COPY copies each one's state), bounded as a lock's walk; closes `dir`. */
static int kd_tree_state_special(int dir, int level, long* seen) {
  DIR* listing = fdopendir(dir);
  if (listing == NULL) {
    close(dir);
    return 1;
  }
  int special = kd_state_special(dirfd(listing), NULL, NULL);
  const struct dirent* entry;
  while (!special && (entry = readdir(listing)) != NULL) {
    const char* name = entry->d_name;
    struct stat st;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strcmp(name, ".DAV") == 0 ||
        fstatat(dirfd(listing), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
      continue;
    }
    if (++*seen > KD_LOCK_MEMBERS_MAX || level >= KD_LOCK_LEVELS_MAX) {
      special = 1;
      break;
    }
    const int sub = openat(dirfd(listing), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    special = sub >= 0 && kd_tree_state_special(sub, level + 1, seen);
  }
  closedir(listing);
  return special;
}

/* Whether mod_dav_fs would open a FIFO, socket, device or link among the
 * state files the request reads or copies: `path`'s own (in its folder's
 * state folder), and for a folder its members' (a listing) or, for a
 * COPY, those of everything below it. */
static int kd_state_blocks(const request_rec* r, const char* path, const struct stat* st,
                           int exists) {
  const char* slash = strrchr(path, '/');
  if (slash != NULL && slash != path && slash[1] != '\0') {
    const char* folder = apr_pstrndup(r->pool, path, (apr_size_t)(slash - path));
    if (kd_state_special(AT_FDCWD, folder, slash + 1)) return 1;
  }
  if (!exists || !S_ISDIR(st->st_mode)) return 0;
  if (r->main == NULL && r->method_number == M_COPY) {
    long seen = 0;
    const int dir = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return dir >= 0 && kd_tree_state_special(dir, 0, &seen);
  }
  return kd_state_special(AT_FDCWD, path, NULL);
}

/* The decoded URL path `uri` with its slashes trimmed lies in the homes
 * share: "/homes" or below. Its account's name (the segment after it,
 * "" for the share's root) into `*name`, `*name_len`. */
static int kd_in_homes(const char* uri, const char** name, size_t* name_len) {
  while (*uri == '/') ++uri;
  const size_t len = strlen(KD_HOMES);
  if (strncmp(uri, KD_HOMES, len) != 0 || (uri[len] != '\0' && uri[len] != '/')) return 0;
  uri += len;
  while (*uri == '/') ++uri;
  *name = uri;
  *name_len = strcspn(uri, "/");
  return 1;
}

/* What anonymous login never opens: the homes (their names are the
 * accounts'), and the registered calendars' and address books' folders
 * in shares, whose events and contacts are their users' own. A guest is asked to log in. */
static int kd_closed_to_guests(request_rec* r, const kd_server* sc) {
  const char* name;
  size_t name_len;
  if (kd_in_homes(r->uri, &name, &name_len)) return 1;
  char* path = apr_pstrdup(r->pool, r->uri);
  ap_no2slash(path);
  kd_trim_slashes(path);
  const kd_registry registry = kd_read_registry(r, sc);
  /* A registry that cannot be read keeps them all closed: no share then. */
  return kd_calendar_within(registry.text, registry.len, path, registry.homes_account) !=
             KD_CALENDAR_NONE ||
         kd_holds_address_book(r, sc, path, 1);
}

/* Whether `name` (`len` bytes) is the requesting account's own, or the
 * requester an administrator, who sees every home. */
static int kd_own_home(const request_rec* r, const char* name, size_t len) {
  const kd_req* rq = kd_login_of(r);
  if (rq == NULL || rq->user == NULL) return 0;
  return rq->id.admin || (strlen(rq->user) == len && strncmp(rq->user, name, len) == 0);
}

/* A member subrequest of a listing of the homes share's root (a browser's
 * page asks one for each entry) for another account's home: refused, so
 * that the listing shows no other account's name or date, whatever the
 * home's mode. */
static int kd_other_home_listed(const request_rec* r) {
  const char* name;
  size_t len;
  if (r->main == NULL || !kd_share_root(r->main->uri) || !kd_in_homes(r->main->uri, &name, &len) ||
      !kd_in_homes(r->uri, &name, &len) || len == 0) {
    return 0;
  }
  return !kd_own_home(r, name, len);
}

/* What KIVO_DAV_HOMES holds between brigades: the text after the last
 * whole <D:response> passed on, at most one response long. */
typedef struct {
  char* text;
  apr_size_t len, size;
} kd_homes_ctx;

#define KD_RESPONSE_OPEN "<D:response"
#define KD_RESPONSE_CLOSE "</D:response>"

/* Whether the multistatus response `block` (`len` bytes) names the homes
 * share itself or what lies in the requesting account's own home. */
static int kd_response_shown(request_rec* r, const char* block, apr_size_t len) {
  const char* href = memmem(block, len, "<D:href>", strlen("<D:href>"));
  if (href == NULL) return 0;
  href += strlen("<D:href>");
  const char* end =
      memmem(href, (apr_size_t)(block + len - href), "</D:href>", strlen("</D:href>"));
  if (end == NULL) return 0;
  char* uri = apr_pstrndup(r->pool, href, (apr_size_t)(end - href));
  /* Absolute ones name this server's paths (mod_dav writes paths). */
  const char* path = strstr(uri, "://") != NULL ? strchr(strstr(uri, "://") + 3, '/') : uri;
  char* decoded = apr_pstrdup(r->pool, path != NULL ? path : "");
  const char* name;
  size_t name_len;
  if (ap_unescape_url(decoded) != OK || !kd_in_homes(decoded, &name, &name_len)) return 0;
  return name_len == 0 || kd_own_home(r, name, name_len);
}

/* A PROPFIND of the homes share's root: mod_dav_fs lists every home (the
 * share is open to all, each home closed), with its name, date and ETag.
 * The multistatus answer passes here response by response, each other
 * account's home left out (administrators see every one). */
static apr_status_t kd_homes_filter(ap_filter_t* f, apr_bucket_brigade* bb) {
  request_rec* r = f->r;
  kd_homes_ctx* ctx = f->ctx;
  if (ctx == NULL) {
    ctx = f->ctx = apr_pcalloc(r->pool, sizeof *ctx);
    apr_table_unset(r->headers_out, "Content-Length");
  }
  apr_bucket_brigade* out = apr_brigade_create(r->pool, f->c->bucket_alloc);
  int eos = 0;
  for (apr_bucket* b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb);
       b = APR_BUCKET_NEXT(b)) {
    if (APR_BUCKET_IS_EOS(b)) {
      eos = 1;
      break;
    }
    const char* data;
    apr_size_t len;
    if (APR_BUCKET_IS_METADATA(b)) continue;
    const apr_status_t rv = apr_bucket_read(b, &data, &len, APR_BLOCK_READ);
    if (rv != APR_SUCCESS) return rv;
    if (ctx->len + len + 1 > ctx->size) {
      ctx->size = (ctx->len + len + 1) * 2;
      char* grown = apr_palloc(r->pool, ctx->size);
      if (ctx->len > 0) memcpy(grown, ctx->text, ctx->len);
      ctx->text = grown;
    }
    memcpy(ctx->text + ctx->len, data, len);
    ctx->len += len;
    ctx->text[ctx->len] = '\0';
  }
  /* Whole responses pass or go; what lies between them passes. */
  apr_size_t done = 0;
  while (ctx->len > done) {
    const char* start = strstr(ctx->text + done, KD_RESPONSE_OPEN);
    const char* close = start != NULL ? strstr(start, KD_RESPONSE_CLOSE) : NULL;
    if (close == NULL) break;
    const char* after = close + strlen(KD_RESPONSE_CLOSE);
    apr_brigade_write(out, NULL, NULL, ctx->text + done, (apr_size_t)(start - ctx->text) - done);
    if (kd_response_shown(r, start, (apr_size_t)(after - start))) {
      apr_brigade_write(out, NULL, NULL, start, (apr_size_t)(after - start));
    }
    done = (apr_size_t)(after - ctx->text);
  }
  if (eos && ctx->len > done) {
    apr_brigade_write(out, NULL, NULL, ctx->text + done, ctx->len - done);
    done = ctx->len;
  }
  if (done > 0) {
    /* The pool keeps the old text; what is left moves to a fresh start. */
    memmove(ctx->text, ctx->text + done, ctx->len - done);
    ctx->len -= done;
    if (ctx->text != NULL) ctx->text[ctx->len] = '\0';
  }
  if (eos) APR_BRIGADE_INSERT_TAIL(out, apr_bucket_eos_create(f->c->bucket_alloc));
  apr_brigade_cleanup(bb);
  if (APR_BRIGADE_EMPTY(out)) return APR_SUCCESS;
  return ap_pass_brigade(f->next, out);
}

/* Listings of the homes share's root show an account its own home (an
 * administrator every one) and a guest nothing. OK, or the status. */
static int kd_guard_homes(request_rec* r, const kd_server* sc) {
  if (kd_guest(r, sc) && kd_closed_to_guests(r, sc)) {
    kd_log_refusal(r, HTTP_UNAUTHORIZED, NULL, "homes and calendars are closed to guests");
    return kd_refuse_login(r);
  }
  if (kd_other_home_listed(r)) return HTTP_FORBIDDEN; /* a member left out, not logged */
  const char* name;
  size_t len;
  const kd_req* rq = kd_login_of(r);
  if (r->main == NULL && r->method_number == M_PROPFIND && kd_share_root(r->uri) &&
      kd_in_homes(r->uri, &name, &len) && rq != NULL && !rq->id.admin) {
    ap_add_output_filter(KD_HOMES_FILTER, NULL, r, r->connection);
  }
  return OK;
}

/* A browser's GET (or HEAD) of a folder's address without its trailing
 * slash is sent to the slashed address, query kept, as Apache's
 * DirectorySlash does: a listing's relative links resolve against it. It
 * runs once the folder was judged as the user, so that one who may not read
 * it gets the refusal any other request gets, never a redirect that tells
 * the folder exists. WebDAV methods keep the address they were sent to, as
 * plain mod_dav takes a collection either way. */
static int kd_folder_slash(request_rec* r, const struct stat* st, int exists) {
  if (r->method_number != M_GET || r->main != NULL || r->prev != NULL || !exists ||
      !S_ISDIR(st->st_mode) || (r->path_info != NULL && r->path_info[0] != '\0')) {
    return DECLINED;
  }
  const size_t len = strlen(r->uri);
  if (len > 0 && r->uri[len - 1] == '/') return DECLINED;
  const char* slashed = apr_pstrcat(r->pool, ap_escape_uri(r->pool, r->uri), "/",
                                    r->args != NULL ? "?" : "", r->args, NULL);
  apr_table_setn(r->headers_out, "Location", ap_construct_url(r->pool, slashed, r));
  return HTTP_MOVED_PERMANENTLY;
}

/* ---- share access lists ---- */

/* The lists as this process last read them (kivo_dav_share_access.h). */
static kd_share_access_kept kd_share_lists = KD_SHARE_ACCESS_KEPT_INIT;

/* The share the decoded URL path `uri` lies in (its first segment); NULL
 * for the listing of the shares. */
static const char* kd_share_of(request_rec* r, const char* uri) {
  while (*uri == '/') ++uri;
  return *uri == '\0' ? NULL : apr_pstrndup(r->pool, uri, strcspn(uri, "/"));
}

/* Whether the request changes what it names: a COPY only reads its source
 * (its destination, a subrequest, is written), and lifting one's own lock
 * changes nothing another account sees. */
static int kd_share_writing(request_rec* r, int reading) {
  if (reading || (r->main == NULL && r->method_number == M_COPY)) return 0;
  if (r->method_number != M_UNLOCK) return 1;
  const kd_req* rq = kd_login_of(r);
  const char* owner = kd_lock_owner(r);
  return rq == NULL || rq->user == NULL || owner == NULL || strcmp(owner, rq->user) != 0;
}

/* The share a request's lists opened to it for reading, in its notes: the
 * members its PROPFIND asks a subrequest of (hundreds a listing) lie in the
 * same share, judged for the same account within the same request, and
 * skip the lookup of both files each. */
#define KD_NOTE_SHARE_OPEN "kivo_dav_share_open"

static int kd_share_open_to_request(const request_rec* r, const char* share, int writing) {
  if (r->main == NULL || writing) return 0;
  const char* open = apr_table_get(kd_origin(r)->notes, KD_NOTE_SHARE_OPEN);
  return open != NULL && strcmp(open, share) == 0;
}

/* The lists of the share the request (or its destination's subrequest)
 * lies in, judged with the requesting account's name and groups before
 * the file system's modes are. OK, or the status. */
static int kd_guard_share_lists(request_rec* r, const kd_server* sc, int reading) {
  const char* share = kd_share_of(r, r->uri);
  if (share == NULL) return OK;
  const kd_req* rq = kd_login_of(r);
  const int writing = kd_share_writing(r, reading);
  if (kd_share_open_to_request(r, share, writing)) return OK;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const char* store = apr_pstrcat(r->pool, sc->root, KD_SHARE_ACCESS_PATH, NULL);
  const char* report = NULL;
  const int judged = kd_share_access_check(
      &kd_share_lists, store, apr_pstrcat(r->pool, sc->root, "/etc/group", NULL), &now, share,
      rq != NULL ? rq->user : NULL, rq != NULL ? rq->id.groups : NULL,
      rq != NULL && rq->user != NULL ? rq->id.group_count : 0, writing, &report);
  if (report != NULL) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "%s is %s: every share but the homes is refused",
                  store, report);
  }
  if (judged != KD_SHARE_REFUSED) {
    if (r->main == NULL && !writing) apr_table_setn(r->notes, KD_NOTE_SHARE_OPEN, share);
    return OK;
  }
  return kd_refuse(r, sc, HTTP_FORBIDDEN,
                   apr_psprintf(r->pool, "the share %s is not %s to this account", share,
                                writing ? "writable" : "open"));
}

/* ---- free space (RFC 4331) ---- */

/* The PROPFIND this thread answers now, whose resources' paths the quota
 * properties are read at (mod_dav hands a live property provider the
 * resource alone). */
static __thread const request_rec* kd_propfind;

enum { KD_PROPID_QUOTA_AVAILABLE = 1, KD_PROPID_QUOTA_USED };
static const char* const kd_quota_namespaces[] = {"DAV:", NULL};
static const dav_liveprop_spec kd_quota_specs[] = {
    {0, "quota-available-bytes", KD_PROPID_QUOTA_AVAILABLE, 0},
    {0, "quota-used-bytes", KD_PROPID_QUOTA_USED, 0},
    {0, NULL, 0, 0},
};
static dav_prop_insert kd_quota_insert(const dav_resource* resource, int propid,
                                       dav_prop_insert what, apr_text_header* phdr);
static int kd_quota_writable(const dav_resource* resource, int propid) {
  (void)resource;
  (void)propid;
  return 0;
}
static const dav_hooks_liveprop kd_quota_hooks = {
    kd_quota_insert, kd_quota_writable, kd_quota_namespaces, NULL, NULL, NULL, NULL, NULL};
static const dav_liveprop_group kd_quota_group = {kd_quota_specs, kd_quota_namespaces,
                                                  &kd_quota_hooks};

static apr_status_t kd_propfind_done(void* data) {
  if (kd_propfind == data) kd_propfind = NULL;
  return APR_SUCCESS;
}

/* A PROPFIND's handler runs on the thread its fixups ran on. */
static void kd_note_propfind(request_rec* r) {
  if (r->main != NULL || r->method_number != M_PROPFIND) return;
  kd_propfind = r;
  apr_pool_cleanup_register(r->pool, r, kd_propfind_done, apr_pool_cleanup_null);
}

/* The file system path of a collection the PROPFIND answers (its target
 * or a member mod_dav_fs walked to), found from the target's: NULL when
 * the resource is none of them. */
static const char* kd_resource_path(const dav_resource* resource) {
  const request_rec* r = kd_propfind;
  if (r == NULL || r->filename == NULL || resource->uri == NULL) return NULL;
  char* base = apr_pstrdup(resource->pool, r->uri);
  kd_trim_slashes(base);
  const size_t len = strcmp(base, "/") == 0 ? 0 : strlen(base);
  if (strncmp(resource->uri, base, len) != 0 ||
      (resource->uri[len] != '\0' && resource->uri[len] != '/')) {
    return NULL;
  }
  char* rest = apr_pstrdup(resource->pool, resource->uri + len);
  if (strstr(rest, "/../") != NULL || ap_unescape_url(rest) != OK) return NULL;
  char* path = apr_pstrcat(resource->pool, r->filename, "/", rest, NULL);
  ap_no2slash(path);
  return path;
}

static int kd_quota_find(const dav_resource* resource, const char* ns_uri, const char* name,
                         const dav_hooks_liveprop** hooks) {
  (void)resource; /* judged at insert_prop: mod_dav keeps what it finds here for every resource */
  return dav_do_find_liveprop(ns_uri, name, &kd_quota_group, hooks);
}

/* The figures of the file system holding `path` for the requesting
 * account (kivo_dav_space.h), read once per file system in a PROPFIND:
 * its members mostly share one, and a quotactl and a statvfs per member
 * would cost as much as the walk. Kept in the request's pool, never
 * longer: the next request may be another account's, and the figures
 * move. NULL when the folder cannot be opened. */
static const kd_space* kd_space_of(const request_rec* r, const char* path) {
  static const char key[] = "kivo_dav_space";
  void* kept = NULL;
  apr_pool_userdata_get(&kept, key, r->pool);
  apr_hash_t* seen = kept;
  if (seen == NULL) {
    seen = apr_hash_make(r->pool);
    apr_pool_userdata_setn(seen, key, NULL, r->pool);
  }
  /* One resolution, as the user; the rest is read from the descriptor. */
  struct stat st;
  const int fd = kd_open_without_links(path, O_PATH | O_DIRECTORY, &st);
  if (fd < 0) return NULL;
  kd_space* space = apr_hash_get(seen, &st.st_dev, sizeof(st.st_dev));
  if (space != NULL) {
    close(fd);
    return space;
  }
  space = apr_pcalloc(r->pool, sizeof(*space));
  const int read = kd_space_read(fd, time(NULL), space);
  close(fd);
  if (read != 0) return NULL;
  if (space->quota_errno != 0) {
    ap_log_rerror(APLOG_MARK, APLOG_WARNING, space->quota_errno, r,
                  "reading the account's quota at %s failed: the volume's figures are given", path);
  }
  dev_t* dev = apr_pmemdup(r->pool, &st.st_dev, sizeof(st.st_dev));
  apr_hash_set(seen, dev, sizeof(*dev), space);
  return space;
}

/* The free space and usage a collection's file system shows the
 * requesting account: its quota's, or the volume's (kd_space_of). */
static dav_prop_insert kd_quota_insert(const dav_resource* resource, int propid,
                                       dav_prop_insert what, apr_text_header* phdr) {
  const dav_liveprop_spec* info = NULL;
  const long ns = dav_get_liveprop_info(propid, &kd_quota_group, &info); /* the global index */
  apr_pool_t* p = resource->pool;
  const char* text = NULL;
  /* mod_dav finds a property once per PROPFIND and asks the same provider
   * for every resource it lists, files too. */
  if (info == NULL || !resource->exists || !resource->collection) return DAV_PROP_INSERT_NOTDEF;
  if (what == DAV_PROP_INSERT_VALUE) {
    const char* path = kd_resource_path(resource);
    const kd_space* space = path != NULL ? kd_space_of(kd_propfind, path) : NULL;
    if (space == NULL) return DAV_PROP_INSERT_NOTDEF;
    const apr_uint64_t bytes = propid == KD_PROPID_QUOTA_AVAILABLE ? space->available : space->used;
    /* APR's formatter reads 64-bit numbers by its own length modifier only. */
    text = apr_psprintf(p, "<lp%ld:%s>%" APR_UINT64_T_FMT "</lp%ld:%s>", ns, info->name, bytes, ns,
                        info->name);
  } else if (what == DAV_PROP_INSERT_NAME) {
    text = apr_psprintf(p, "<lp%ld:%s/>", ns, info->name);
  } else {
    text = apr_psprintf(p, "<D:supported-live-property D:name=\"%s\" D:namespace=\"%s\"/>",
                        info->name, kd_quota_namespaces[info->ns]);
  }
  apr_text_append(p, phdr, text);
  return what;
}

/* Names only, for a propname: an allprop leaves them out (RFC 4331 3), as
 * they cost a statvfs each. */
static void kd_quota_insert_all(request_rec* r, const dav_resource* resource, dav_prop_insert what,
                                apr_text_header* phdr) {
  (void)r;
  if (what != DAV_PROP_INSERT_NAME || !resource->exists || !resource->collection) return;
  kd_quota_insert(resource, KD_PROPID_QUOTA_AVAILABLE, what, phdr);
  kd_quota_insert(resource, KD_PROPID_QUOTA_USED, what, phdr);
}

static int kd_fixups(request_rec* r) {
  const kd_server* sc = ap_get_module_config(r->server->module_config, &kivo_dav_module);
  const kd_dir* dc = ap_get_module_config(r->per_dir_config, &kivo_dav_module);
  if (sc->root == NULL || dc->check <= 0 || r->filename == NULL) return DECLINED;
  /* With anonymous login on, nothing asks Apache for a user: the
   * verified login names the request here, for mod_dav's locks and the
   * log. */
  const kd_req* rq = kd_login_of(r);
  if (r->user == NULL && rq != NULL && rq->user != NULL) r->user = apr_pstrdup(r->pool, rq->user);
  const int reading = kd_reading(r);
  if (!reading && kd_guest(r, sc)) {
    kd_log_refusal(r, HTTP_UNAUTHORIZED, NULL, "a guest only reads");
    return kd_refuse_login(r);
  }
  const int homes = kd_guard_homes(r, sc);
  if (homes != OK) return homes;
  const int listed = kd_guard_share_lists(r, sc, reading);
  if (listed != OK) return listed;
  kd_note_propfind(r);

  char* path = apr_pstrcat(r->pool, r->filename, r->path_info ? r->path_info : "", NULL);
  kd_trim_slashes(path);
  struct stat st = {.st_mode = S_IFREG}; /* unread for a walked member */
  int exists;
  const int judged = kd_judge_target(r, sc, path, reading, &st, &exists);
  if (judged != OK) return judged;
  if (kd_special_file(r, &st, exists)) {
    kd_log_refusal(r, HTTP_FORBIDDEN, r->user, "neither a file nor a folder");
    return HTTP_FORBIDDEN;
  }
  /* A GET (or HEAD) is Apache's or kd_send_small_file's: mod_dav_fs reads
   * no state file for it. */
  if ((r->main == NULL || !reading) && r->method_number != M_GET &&
      kd_state_blocks(r, path, &st, exists)) {
    kd_log_refusal(r, HTTP_FORBIDDEN, r->user, "a FIFO or link among its DAV state files");
    return HTTP_FORBIDDEN;
  }
  if (reading) return kd_folder_slash(r, &st, exists);
  if (r->main == NULL) {
    switch (r->method_number) {
      case M_COPY: /* reading the source */
        return kd_guard_calendars(r, sc) == OK ? DECLINED : HTTP_FORBIDDEN;
      case M_MOVE:
      case M_DELETE:
        if (kd_guard_calendars(r, sc) != OK) return HTTP_FORBIDDEN;
        break;
      default:
        break;
    }
  }

  const char* reason = NULL;
  const int status =
      kd_change_status(r, path, dirname(apr_pstrdup(r->pool, path)), &st, exists, &reason);
  if (status != OK) return kd_refuse(r, sc, status, reason);
  if (r->main == NULL && exists && kd_locked_with_damaged_token(r)) {
    kd_log_refusal(r, HTTP_LOCKED, r->user, "locked, and the If field names a damaged token");
    return HTTP_LOCKED;
  }
  const int finished = kd_finish_change(r, path, exists);
  return finished == OK ? DECLINED : finished;
}

/* ---- what is put into a calendar's folder ---- */

/* The CalDAV daemon serves the `*.ics` files of a calendar's folder but
 * dot-files (temporary files among them) as its items, and skips what does
 * not read as one item. A PUT of such a file into a registered calendar's
 * folder is read whole (bounded by the largest item the daemon reads),
 * checked, and either refused with the reason or handed on to mod_dav from
 * memory (kd_kept_body_filter): never stored to be skipped. A file copied
 * or moved there is checked alike, read as the user. */

typedef struct {
  const char* data;
  apr_size_t len, at;
} kd_kept_body;

static ap_filter_rec_t* kd_kept_body_handle;

/* mod_dav's handler's name. */
#define KD_DAV_HANDLER "dav-handler"

static int kd_calendar_item_name(const char* name) {
  const size_t len = strlen(name);
  return len > 4 && name[0] != '.' && strcmp(name + len - 4, ".ics") == 0;
}

static apr_status_t kd_kept_body_filter(ap_filter_t* f, apr_bucket_brigade* bb,
                                        ap_input_mode_t mode, apr_read_type_e block,
                                        apr_off_t readbytes) {
  (void)block;
  kd_kept_body* kept = f->ctx;
  if (mode != AP_MODE_READBYTES && mode != AP_MODE_SPECULATIVE) return APR_ENOTIMPL;
  apr_size_t n = kept->len - kept->at;
  if (readbytes > 0 && (apr_off_t)n > readbytes) n = (apr_size_t)readbytes;
  if (n == 0) {
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(f->c->bucket_alloc));
    return APR_SUCCESS;
  }
  APR_BRIGADE_INSERT_TAIL(
      bb, apr_bucket_transient_create(kept->data + kept->at, n, f->c->bucket_alloc));
  if (mode == AP_MODE_READBYTES) kept->at += n;
  return APR_SUCCESS;
}

/* Reads the request's body into `*kept`: OK, or the status to answer. */
static int kd_read_whole_body(request_rec* r, kd_kept_body* kept) {
  const char* length = apr_table_get(r->headers_in, "Content-Length");
  if (length != NULL && apr_atoi64(length) > (apr_int64_t)KD_ICAL_MAX_BYTES) {
    return HTTP_REQUEST_ENTITY_TOO_LARGE;
  }
  /* Grown as the body arrives, not as its length promises: a client that
   * names 8 MiB and sends nothing holds nothing. */
  apr_size_t size = 65536;
  char* data = apr_palloc(r->pool, size + 1);
  apr_size_t len = 0;
  apr_bucket_brigade* bb = apr_brigade_create(r->pool, r->connection->bucket_alloc);
  int seen_eos = 0;
  while (!seen_eos) {
    const apr_status_t rv =
        ap_get_brigade(r->input_filters, bb, AP_MODE_READBYTES, APR_BLOCK_READ, 65536);
    if (rv != APR_SUCCESS) return ap_map_http_request_error(rv, HTTP_BAD_REQUEST);
    for (apr_bucket* b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb);
         b = APR_BUCKET_NEXT(b)) {
      if (APR_BUCKET_IS_EOS(b)) {
        seen_eos = 1;
        break;
      }
      const char* chunk;
      apr_size_t n;
      if (apr_bucket_read(b, &chunk, &n, APR_BLOCK_READ) != APR_SUCCESS) return HTTP_BAD_REQUEST;
      if (len + n > KD_ICAL_MAX_BYTES) return HTTP_REQUEST_ENTITY_TOO_LARGE;
      if (len + n > size) {
        while (len + n > size) size *= 2;
        if (size > KD_ICAL_MAX_BYTES) size = KD_ICAL_MAX_BYTES;
        char* larger = apr_palloc(r->pool, size + 1);
        memcpy(larger, data, len);
        data = larger;
      }
      memcpy(data + len, chunk, n);
      len += n;
    }
    apr_brigade_cleanup(bb);
  }
  kept->data = data, kept->len = len, kept->at = 0;
  return OK;
}

/* A COPY's or MOVE's source file into `*kept`, read as the user: OK,
 * DECLINED when it is none to check (a folder, gone, closed to the user:
 * mod_dav answers), or the status to answer. */
static int kd_read_source_file(request_rec* r, kd_kept_body* kept) {
  if (r->filename == NULL || (r->path_info != NULL && r->path_info[0] != '\0')) return DECLINED;
  const int fd = open(r->filename, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return DECLINED;
  struct stat st;
  int status = DECLINED;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    status = HTTP_REQUEST_ENTITY_TOO_LARGE;
    if ((unsigned long long)st.st_size <= KD_ICAL_MAX_BYTES) {
      char* data = apr_palloc(r->pool, (apr_size_t)st.st_size + 1);
      const ssize_t n = read(fd, data, (size_t)st.st_size + 1);
      status = n < 0                           ? HTTP_INTERNAL_SERVER_ERROR
               : (size_t)n > KD_ICAL_MAX_BYTES ? HTTP_REQUEST_ENTITY_TOO_LARGE
                                               : OK;
      kept->data = data, kept->len = n < 0 ? 0 : (apr_size_t)n, kept->at = 0;
    }
  }
  close(fd);
  return status;
}

static int kd_check_calendar_put(request_rec* r) {
  const int put = r->method_number == M_PUT;
  if ((!put && r->method_number != M_COPY && r->method_number != M_MOVE) || r->main != NULL ||
      r->handler == NULL || strcmp(r->handler, KD_DAV_HANDLER) != 0) {
    return DECLINED;
  }
  const kd_server* sc = ap_get_module_config(r->server->module_config, &kivo_dav_module);
  const kd_dir* dc = ap_get_module_config(r->per_dir_config, &kivo_dav_module);
  if (sc->root == NULL || dc->check <= 0) return DECLINED;
  /* Decoded and normal but for slashes. */
  const char* target = put ? r->uri : kd_destination_path(r);
  if (target == NULL) return DECLINED;
  char* folder = apr_pstrdup(r->pool, target);
  ap_no2slash(folder);
  char* name = strrchr(folder, '/');
  if (name == NULL || !kd_calendar_item_name(name + 1)) return DECLINED;
  *name++ = '\0';
  const kd_registry registry = kd_read_registry(r, sc);
  if (kd_calendar_at(registry.text, registry.len, folder[0] != '\0' ? folder : "/",
                     registry.homes_account) != KD_CALENDAR_FOUND) {
    return DECLINED;
  }
  kd_kept_body* kept = apr_pcalloc(r->pool, sizeof *kept);
  char why[320] = "";
  int status = put ? kd_read_whole_body(r, kept) : kd_read_source_file(r, kept);
  if (status == DECLINED) return DECLINED;
  if (status == HTTP_REQUEST_ENTITY_TOO_LARGE) {
    kd_ical_check("", KD_ICAL_MAX_BYTES + 1, why, sizeof why);
  } else if (status == OK) {
    /* An empty file is what a LOCK of a new name makes and file managers
     * PUT before the content: nothing to show, nothing skipped. */
    switch (kept->len == 0 ? KD_ICAL_ITEM : kd_ical_check(kept->data, kept->len, why, sizeof why)) {
      case KD_ICAL_ITEM:
        if (put) ap_add_input_filter_handle(kd_kept_body_handle, kept, r, r->connection);
        return DECLINED;
      case KD_ICAL_NOT_ONE:
        status = HTTP_UNPROCESSABLE_ENTITY;
        break;
      default:
        status = HTTP_UNSUPPORTED_MEDIA_TYPE;
        break;
    }
  } else {
    return status;
  }
  kd_log_refusal(r, status, r->user,
                 apr_psprintf(r->pool, "not one calendar item for %s: %s", folder, why));
  /* Escaped: Apache sends it as HTML, and the reason quotes the body. */
  ap_custom_response(r, status,
                     apr_psprintf(r->pool,
                                  "\"%s is not stored: this folder holds a calendar, and each "
                                  "file in it must be one calendar item. %s\n",
                                  ap_escape_html(r->pool, name), ap_escape_html(r->pool, why)));
  return status;
}

static void kd_register_hooks(apr_pool_t* p) {
  ap_hook_post_config(kd_post_config, NULL, NULL, APR_HOOK_MIDDLE);
  ap_hook_pre_connection(kd_pre_connection, NULL, NULL, APR_HOOK_REALLY_FIRST);
  ap_hook_process_connection(kd_process_connection, NULL, NULL, APR_HOOK_REALLY_FIRST);
  ap_hook_pre_close_connection(kd_pre_close_connection, NULL, NULL, APR_HOOK_MIDDLE);
  ap_hook_drop_privileges(kd_drop_privileges, NULL, NULL, APR_HOOK_REALLY_FIRST);
  ap_hook_create_request(kd_create_request, NULL, NULL, APR_HOOK_REALLY_FIRST);
  ap_hook_post_read_request(kd_post_read_request, NULL, NULL, APR_HOOK_REALLY_FIRST);
  ap_hook_translate_name(kd_answer_refusal, NULL, NULL, APR_HOOK_REALLY_FIRST);
  ap_hook_translate_name(kd_take_identity, NULL, NULL, APR_HOOK_REALLY_FIRST);
  ap_hook_post_perdir_config(kd_take_identity, NULL, NULL, APR_HOOK_REALLY_FIRST);
  ap_hook_dirwalk_stat(kd_dirwalk_stat, NULL, NULL, APR_HOOK_MIDDLE);
  ap_hook_dirwalk_stat(kd_dirwalk_closed, NULL, NULL, APR_HOOK_LAST);
  ap_hook_check_authn(kd_check_user_id, NULL, NULL, APR_HOOK_FIRST, AP_AUTH_INTERNAL_PER_CONF);
  ap_hook_fixups(kd_fixups, NULL, NULL, APR_HOOK_REALLY_FIRST);
  kd_provider_register(p);
  dav_register_liveprop_group(p, &kd_quota_group);
  dav_hook_find_liveprop(kd_quota_find, NULL, NULL, APR_HOOK_MIDDLE);
  dav_hook_insert_all_liveprops(kd_quota_insert_all, NULL, NULL, APR_HOOK_MIDDLE);
  ap_hook_handler(kd_send_small_file, NULL, NULL, APR_HOOK_REALLY_FIRST);
  ap_hook_handler(kd_check_calendar_put, NULL, NULL, APR_HOOK_REALLY_FIRST);
  kd_kept_body_handle =
      ap_register_input_filter("KIVO_DAV_KEPT_BODY", kd_kept_body_filter, NULL, AP_FTYPE_RESOURCE);
  ap_hook_log_transaction(kd_log_transaction, NULL, NULL, APR_HOOK_REALLY_FIRST);
  ap_register_output_filter("KIVO_DAV_CREATED", kd_created_filter, NULL, AP_FTYPE_RESOURCE);
  ap_register_output_filter(KD_HOMES_FILTER, kd_homes_filter, NULL, AP_FTYPE_RESOURCE);
  kd_end_filter_handle =
      ap_register_output_filter("KIVO_DAV_END", kd_end_filter, NULL, AP_FTYPE_CONNECTION);
}

AP_DECLARE_MODULE(kivo_dav) = {STANDARD20_MODULE_STUFF, kd_create_dir,   kd_merge_dir,
                               kd_create_server,        kd_merge_server, kd_commands,
                               kd_register_hooks,
#if defined(AP_MODULE_FLAG_ALWAYS_MERGE)
                               AP_MODULE_FLAG_NONE
#endif
};

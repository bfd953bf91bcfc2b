#include "kivo_dav_accounts.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kivo/account_files.h"

/* The first uid of a user account (Debian's UID_MIN); below are root and
 * the system's own accounts. */
#define KD_FIRST_USER_UID 1000UL
/* nobody: the identity the processes idle at without anonymous login. */
#define KD_NOBODY_UID 65534UL

#define KD_ADMIN_GROUP "administrators"

/* How long after a file's last change its stamp is trusted to differ from
 * the next change's: far beyond any clock tick of a file system's times,
 * and a whole second for those that keep seconds only. */
#define KD_SETTLED_NS 1000000000LL

#define KD_NONE UINT32_MAX

/* A file as it was when looked at: absent, or its stat. */
typedef struct {
  int present;
  struct stat st;
} kd_stamp;

/* A group of etc/group listing an account, in the file's order. */
typedef struct {
  gid_t gid;
  int admin_line; /* the group is "administrators" */
  uint32_t next;  /* the account's next membership, or KD_NONE */
} kd_member;

/* An account as the first line of etc/passwd and the first line of
 * etc/shadow naming it give it (later lines never count). */
typedef struct {
  uint32_t name, name_len; /* in text */
  uint32_t hash;           /* in text: a usable crypt(3) hash, or KD_NONE */
  uid_t uid;
  gid_t gid;
  unsigned char user;        /* passwd: a user's uid and a group not root's */
  unsigned char shadow_seen; /* shadow: the first line naming it taken */
  uint32_t first, last;      /* memberships, or KD_NONE */
  uint32_t group_line;       /* the last etc/group line that listed it */
} kd_entry;

struct kd_accounts {
  kd_stamp passwd, group, shadow;
  int unsettled;           /* a stamp too fresh to be trusted by a later login */
  struct timespec read_at; /* when reading began (CLOCK_MONOTONIC) */
  char* text;              /* names and hashes, each ending in NUL */
  size_t text_len;
  kd_entry* entries;
  uint32_t entry_count;
  uint32_t* slots; /* entry number + 1 by name, 0 for a free slot */
  uint32_t slot_mask;
  kd_member* members;
  uint32_t member_count, member_cap;
  gid_t* admin_gids; /* the gids of every "administrators" line */
  uint32_t admin_count, admin_cap;
};

/* The whole file, ending in a NUL; NULL when it cannot be read or holds
 * more than KIVO_ACCOUNT_FILE_MAX bytes (every reader's limit). */
static char* kd_read_fd(int fd) {
  size_t size = 0, cap = 16384;
  char* text = malloc(cap + 1);
  while (text != NULL) {
    const ssize_t n = pread(fd, text + size, cap - size, (off_t)size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) break;
      free(text);
      return NULL;
    }
    size += (size_t)n;
    if (size == cap) {
      if (cap > KIVO_ACCOUNT_FILE_MAX) {
        free(text);
        return NULL;
      }
      /* One byte beyond the limit tells a file over it. */
      cap = cap * 2 > KIVO_ACCOUNT_FILE_MAX ? (size_t)KIVO_ACCOUNT_FILE_MAX + 1 : cap * 2;
      char* grown = realloc(text, cap + 1);
      if (grown == NULL) free(text);
      text = grown;
    }
  }
  if (text != NULL) text[size] = '\0';
  return text;
}

/* The `field`th colon-separated field of the line [line, end) in
 * [*start, *start + *len); 0 when the line has fewer fields. */
static int kd_line_field(const char* line, const char* end, int field, const char** start,
                         size_t* len) {
  const char* at = line;
  for (int i = 0; i < field && at != NULL; ++i) {
    at = memchr(at, ':', (size_t)(end - at));
    if (at != NULL) ++at;
  }
  if (at == NULL) return 0;
  const char* stop = memchr(at, ':', (size_t)(end - at));
  *start = at;
  *len = (size_t)((stop != NULL ? stop : end) - at);
  return 1;
}

static int kd_number_n(const char* text, size_t len, unsigned long* value) {
  char digits[16];
  if (len == 0 || len >= sizeof digits || text[0] < '0' || text[0] > '9') return 0;
  memcpy(digits, text, len);
  digits[len] = '\0';
  char* end = NULL;
  *value = strtoul(digits, &end, 10);
  return *end == '\0' && *value < 0x7fffffffUL;
}

int kd_usable_name(const char* name) {
  const size_t len = strlen(name);
  if (len == 0 || len > 32 || !(islower((unsigned char)name[0]) || name[0] == '_')) return 0;
  for (const char* c = name; *c != '\0'; ++c) {
    if (!islower((unsigned char)*c) && !isdigit((unsigned char)*c) && strchr("_.-", *c) == NULL) {
      return 0;
    }
  }
  return 1;
}

/* ---- one generation of the index ---- */

static uint32_t kd_hash(const char* name, size_t len) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < len; ++i) h = (h ^ (unsigned char)name[i]) * 16777619u;
  return h;
}

/* The slot of `name`: its entry's, or the free one where it would go. */
static uint32_t* kd_slot(const struct kd_accounts* s, const char* name, size_t len) {
  for (uint32_t i = kd_hash(name, len) & s->slot_mask;; i = (i + 1) & s->slot_mask) {
    const uint32_t at = s->slots[i];
    if (at == 0) return &s->slots[i];
    const kd_entry* e = &s->entries[at - 1];
    if (e->name_len == len && memcmp(s->text + e->name, name, len) == 0) return &s->slots[i];
  }
}

static kd_entry* kd_entry_of(const struct kd_accounts* s, const char* name, size_t len) {
  const uint32_t at = *kd_slot(s, name, len);
  return at == 0 ? NULL : &s->entries[at - 1];
}

static uint32_t kd_keep_text(struct kd_accounts* s, const char* text, size_t len) {
  const uint32_t at = (uint32_t)s->text_len;
  memcpy(s->text + at, text, len);
  s->text[at + len] = '\0';
  s->text_len += len + 1;
  return at;
}

/* Lines run up to a newline or to the text's end (its first NUL). */
static const char* kd_line_end(const char* line) {
  const char* end = strchr(line, '\n');
  return end != NULL ? end : line + strlen(line);
}

static const char* kd_line_after(const char* end) { return *end == '\n' ? end + 1 : end; }

static void kd_index_passwd(struct kd_accounts* s, const char* passwd) {
  for (const char *line = passwd, *end = NULL; *line != '\0'; line = kd_line_after(end)) {
    end = kd_line_end(line);
    const char* colon = memchr(line, ':', (size_t)(end - line));
    if (colon == NULL || colon == line) continue;
    uint32_t* slot = kd_slot(s, line, (size_t)(colon - line));
    if (*slot != 0) continue; /* the first line naming it counts alone */
    kd_entry* e = &s->entries[s->entry_count];
    memset(e, 0, sizeof *e);
    e->name_len = (uint32_t)(colon - line);
    e->name = kd_keep_text(s, line, e->name_len);
    e->hash = e->first = e->last = KD_NONE;
    *slot = ++s->entry_count;
    const char *uid_text, *gid_text;
    size_t uid_len, gid_len;
    unsigned long uid = 0, gid = 0;
    if (kd_line_field(line, end, 2, &uid_text, &uid_len) &&
        kd_line_field(line, end, 3, &gid_text, &gid_len) && kd_number_n(uid_text, uid_len, &uid) &&
        kd_number_n(gid_text, gid_len, &gid) && uid >= KD_FIRST_USER_UID && uid != KD_NOBODY_UID &&
        gid != 0) {
      e->user = 1;
      e->uid = (uid_t)uid;
      e->gid = (gid_t)gid;
    }
  }
}

static void kd_index_shadow(struct kd_accounts* s, const char* shadow) {
  for (const char *line = shadow, *end = NULL; *line != '\0'; line = kd_line_after(end)) {
    end = kd_line_end(line);
    const char* colon = memchr(line, ':', (size_t)(end - line));
    if (colon == NULL || colon == line) continue;
    kd_entry* e = kd_entry_of(s, line, (size_t)(colon - line));
    if (e == NULL || e->shadow_seen) continue;
    e->shadow_seen = 1;
    const char* hash;
    size_t len;
    if (kd_line_field(line, end, 1, &hash, &len) && len > 0 &&
        len < sizeof(((kd_account*)0)->hash) && hash[0] == '$') {
      e->hash = kd_keep_text(s, hash, len);
    }
  }
}

static int kd_grow(void** array, uint32_t* cap, size_t item) {
  const uint32_t more = *cap == 0 ? 64 : *cap * 2;
  void* grown = realloc(*array, (size_t)more * item);
  if (grown == NULL) return 0;
  *array = grown;
  *cap = more;
  return 1;
}

/* Notes, for every account etc/group lists, the groups in the file's order,
 * and the gids of "administrators". 0 when memory runs out. */
static int kd_index_group(struct kd_accounts* s, const char* group) {
  uint32_t line_number = 0;
  for (const char *line = group, *end = NULL; *line != '\0'; line = kd_line_after(end)) {
    end = kd_line_end(line);
    ++line_number;
    /* group:password:gid:member,member; a comment (as glibc reads
     * etc/group) grants nothing. */
    const char* c1 = memchr(line, ':', (size_t)(end - line));
    const char* c2 = c1 ? memchr(c1 + 1, ':', (size_t)(end - c1 - 1)) : NULL;
    const char* c3 = c2 ? memchr(c2 + 1, ':', (size_t)(end - c2 - 1)) : NULL;
    unsigned long gid = 0;
    if (line[0] == '#' || c3 == NULL || !kd_number_n(c2 + 1, (size_t)(c3 - c2 - 1), &gid)) continue;
    const int admin_line = (size_t)(c1 - line) == strlen(KD_ADMIN_GROUP) &&
                           strncmp(line, KD_ADMIN_GROUP, strlen(KD_ADMIN_GROUP)) == 0;
    if (admin_line) {
      if (s->admin_count == s->admin_cap &&
          !kd_grow((void**)&s->admin_gids, &s->admin_cap, sizeof *s->admin_gids)) {
        return 0;
      }
      s->admin_gids[s->admin_count++] = (gid_t)gid;
    }
    for (const char* m = c3 + 1; m < end;) {
      const char* comma = memchr(m, ',', (size_t)(end - m));
      if (comma == NULL) comma = end;
      kd_entry* e = comma > m ? kd_entry_of(s, m, (size_t)(comma - m)) : NULL;
      if (e != NULL && e->group_line != line_number) {
        e->group_line = line_number; /* listed twice on one line: once */
        if (s->member_count == s->member_cap &&
            !kd_grow((void**)&s->members, &s->member_cap, sizeof *s->members)) {
          return 0;
        }
        kd_member* member = &s->members[s->member_count];
        member->gid = (gid_t)gid;
        member->admin_line = admin_line;
        member->next = KD_NONE;
        if (e->last == KD_NONE) {
          e->first = s->member_count;
        } else {
          s->members[e->last].next = s->member_count;
        }
        e->last = s->member_count++;
      }
      m = comma + 1;
    }
  }
  return 1;
}

static void kd_accounts_free(struct kd_accounts* s) {
  if (s == NULL) return;
  free(s->text);
  free(s->entries);
  free(s->slots);
  free(s->members);
  free(s->admin_gids);
  free(s);
}

/* The index of the three files as their descriptors read now, or NULL when
 * memory runs out. A file too large to read serves nobody (etc/passwd,
 * etc/shadow) or no group (etc/group). */
static struct kd_accounts* kd_accounts_read(int passwd_fd, int group_fd, int shadow_fd) {
  struct kd_accounts* s = calloc(1, sizeof *s);
  char* passwd = kd_read_fd(passwd_fd);
  char* shadow = kd_read_fd(shadow_fd);
  char* group = group_fd >= 0 ? kd_read_fd(group_fd) : NULL;
  const size_t passwd_len = passwd != NULL && shadow != NULL ? strlen(passwd) : 0;
  const size_t shadow_len = passwd != NULL && shadow != NULL ? strlen(shadow) : 0;
  uint32_t lines = 1;
  for (size_t i = 0; i < passwd_len; ++i) lines += passwd[i] == '\n';
  uint32_t slots = 16;
  while (slots < 2 * lines) slots *= 2;
  int ok = s != NULL && passwd_len + shadow_len < UINT32_MAX / 2;
  if (ok) {
    /* Each name kept is followed by its colon in etc/passwd, each hash by
     * a colon or a line's end in etc/shadow. */
    s->text = malloc(passwd_len + shadow_len + 2);
    s->entries = malloc((size_t)lines * sizeof *s->entries);
    s->slots = calloc(slots, sizeof *s->slots);
    s->slot_mask = slots - 1;
    ok = s->text != NULL && s->entries != NULL && s->slots != NULL;
  }
  if (ok && passwd_len > 0) {
    kd_index_passwd(s, passwd);
    kd_index_shadow(s, shadow);
    ok = group == NULL || kd_index_group(s, group);
  }
  free(passwd);
  free(shadow);
  free(group);
  if (!ok) {
    kd_accounts_free(s);
    return NULL;
  }
  /* Give back what the bounds reserved beyond what was kept. */
  char* text = realloc(s->text, s->text_len + 1);
  if (text != NULL) s->text = text;
  kd_entry* entries = realloc(s->entries, ((size_t)s->entry_count + 1) * sizeof *entries);
  if (entries != NULL) s->entries = entries;
  return s;
}

/* `name`'s account in the generation `s`: 1, or 0 when it serves none. */
static int kd_accounts_find(const struct kd_accounts* s, const char* name, kd_account* account) {
  const kd_entry* e = kd_entry_of(s, name, strlen(name));
  if (e == NULL || !e->user || e->hash == KD_NONE) return 0;
  strcpy(account->hash, s->text + e->hash);
  account->id.uid = e->uid;
  account->id.gid = e->gid;
  account->id.groups[0] = e->gid;
  account->id.group_count = 1;
  account->id.admin = 0;
  account->groups_left_out = 0;
  for (uint32_t m = e->first; m != KD_NONE; m = s->members[m].next) {
    const kd_member* member = &s->members[m];
    if (member->admin_line) account->id.admin = 1;
    int had = member->gid == 0; /* root's group never counts */
    for (int i = 0; i < account->id.group_count && !had; ++i) {
      had = account->id.groups[i] == member->gid;
    }
    if (had) continue;
    if (account->id.group_count < KD_MAX_GROUPS) {
      account->id.groups[account->id.group_count++] = member->gid;
    } else {
      ++account->groups_left_out;
    }
  }
  for (uint32_t i = 0; i < s->admin_count; ++i) {
    if (s->admin_gids[i] == e->gid) account->id.admin = 1;
  }
  return 1;
}

/* ---- the index a process keeps ---- */

static int kd_stamp_of(int fd, kd_stamp* out) {
  memset(out, 0, sizeof *out);
  if (fd < 0) return 1; /* absent */
  if (fstat(fd, &out->st) != 0) return 0;
  out->present = 1;
  return 1;
}

int kd_same_version(const struct stat* a, const struct stat* b) {
  return a->st_dev == b->st_dev && a->st_ino == b->st_ino && a->st_size == b->st_size &&
         a->st_mtim.tv_sec == b->st_mtim.tv_sec && a->st_mtim.tv_nsec == b->st_mtim.tv_nsec &&
         a->st_ctim.tv_sec == b->st_ctim.tv_sec && a->st_ctim.tv_nsec == b->st_ctim.tv_nsec;
}

static int kd_same_stamp(const kd_stamp* a, const kd_stamp* b) {
  return a->present == b->present && (!a->present || kd_same_version(&a->st, &b->st));
}

/* A change after `seen_at` could leave the file's stamp as it is only while
 * its change time (which every write sets to the clock's, and no call sets
 * otherwise) is less than KD_SETTLED_NS before `seen_at`. A modification
 * time a tool set ahead does not count. */
int kd_settled(const struct stat* seen, const struct timespec* seen_at) {
  const long long ago = ((long long)seen_at->tv_sec - seen->st_ctim.tv_sec) * 1000000000LL +
                        (seen_at->tv_nsec - seen->st_ctim.tv_nsec);
  return ago >= KD_SETTLED_NS;
}

static int kd_unsettled(const kd_stamp* s, const struct timespec* now) {
  return s->present && !kd_settled(&s->st, now);
}

int kd_kept_version(const struct stat* now, const struct stat* seen,
                    const struct timespec* seen_at) {
  if (now->st_nlink == 0 || !kd_same_version(now, seen)) return KD_KEPT_CHANGED;
  return kd_settled(seen, seen_at) ? KD_KEPT_SAME : KD_KEPT_UNSURE;
}

static int kd_before(const struct timespec* a, const struct timespec* b) {
  return a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec < b->tv_nsec);
}

/* Looks `name` up in the index's generation if it was read from files with
 * `stamps` and those are settled, or (`since` given) if its reading began
 * at `since` or later, which holds every change made before: 1 or 0 as
 * kd_accounts_find; -1 when the files must be read again. */
static int kd_find_current(kd_account_index* index, const kd_stamp stamps[3],
                           const struct timespec* since, const char* name, kd_account* account) {
  int found = -1;
  pthread_rwlock_rdlock(&index->lock);
  const struct kd_accounts* s = index->now;
  if (s != NULL &&
      ((!s->unsettled && kd_same_stamp(&s->passwd, &stamps[0]) &&
        kd_same_stamp(&s->group, &stamps[1]) && kd_same_stamp(&s->shadow, &stamps[2])) ||
       (since != NULL && !kd_before(&s->read_at, since)))) {
    found = kd_accounts_find(s, name, account);
  }
  pthread_rwlock_unlock(&index->lock);
  return found;
}

int kd_account_index_find(kd_account_index* index, const char* passwd_path, const char* group_path,
                          int shadow_fd, const char* name, const struct timespec* now,
                          kd_account* account) {
  if (!kd_usable_name(name) || strcmp(name, "guest") == 0) return 0;
  struct timespec arrived;
  clock_gettime(CLOCK_MONOTONIC, &arrived);
  const int passwd_fd = open(passwd_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (passwd_fd < 0) return 0;
  const int group_fd = open(group_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  kd_stamp stamps[3];
  int found = 0;
  if (kd_stamp_of(passwd_fd, &stamps[0]) && kd_stamp_of(group_fd, &stamps[1]) &&
      kd_stamp_of(shadow_fd, &stamps[2])) {
    found = kd_find_current(index, stamps, NULL, name, account);
    if (found < 0) {
      /* Logins that waited here while another read the files use what it
       * read (never older than their own arrival), fresh files or not. */
      pthread_mutex_lock(&index->build);
      found = kd_find_current(index, stamps, &arrived, name, account);
      if (found < 0) {
        /* Stamps are taken before the files are read: a change meanwhile
         * only makes the next login read them again. */
        struct timespec read_at;
        clock_gettime(CLOCK_MONOTONIC, &read_at);
        struct kd_accounts* fresh = kd_accounts_read(passwd_fd, group_fd, shadow_fd);
        found = 0;
        if (fresh != NULL) {
          fresh->read_at = read_at;
          fresh->passwd = stamps[0];
          fresh->group = stamps[1];
          fresh->shadow = stamps[2];
          fresh->unsettled = kd_unsettled(&stamps[0], now) || kd_unsettled(&stamps[1], now) ||
                             kd_unsettled(&stamps[2], now);
          found = kd_accounts_find(fresh, name, account);
          pthread_rwlock_wrlock(&index->lock);
          struct kd_accounts* old = index->now;
          index->now = fresh;
          pthread_rwlock_unlock(&index->lock);
          kd_accounts_free(old);
          ++index->builds;
        }
      }
      pthread_mutex_unlock(&index->build);
    }
  }
  close(passwd_fd);
  if (group_fd >= 0) close(group_fd);
  return found;
}

int kd_account_index_names(kd_account_index* index, const char* name) {
  pthread_rwlock_rdlock(&index->lock);
  const int named = index->now != NULL && kd_entry_of(index->now, name, strlen(name)) != NULL;
  pthread_rwlock_unlock(&index->lock);
  return named;
}

void kd_account_index_clear(kd_account_index* index) {
  pthread_rwlock_wrlock(&index->lock);
  kd_accounts_free(index->now);
  index->now = NULL;
  pthread_rwlock_unlock(&index->lock);
}

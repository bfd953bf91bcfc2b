#include "kivo_dav_share_access.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kivo_dav_accounts.h"

typedef struct {
  char* name;   /* an account's, or "@" and a group's */
  long gid;     /* a group entry's id once resolved; -1: none */
  int writable; /* on "write" */
} kd_entry;

typedef struct {
  char* name;
  kd_entry* entries;
  int count;
} kd_listed_share;

struct kd_share_access {
  int malformed;
  kd_listed_share* shares;
  int count;
};

/* ---- the store's JSON, strictly (the plug-ins read it with Python's
 * json, which takes no comments either) ---- */

typedef struct {
  const char *at, *end;
  int depth;
} kd_json;

#define KD_JSON_DEPTH 64

static void kd_json_space(kd_json* j) {
  while (j->at < j->end && (*j->at == ' ' || *j->at == '\t' || *j->at == '\n' || *j->at == '\r')) {
    ++j->at;
  }
}

static int kd_json_take(kd_json* j, char c) {
  kd_json_space(j);
  if (j->at < j->end && *j->at == c) {
    ++j->at;
    return 1;
  }
  return 0;
}

static int kd_json_hex(const char* p, unsigned* out) {
  *out = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = p[i];
    const int d = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
    if (d < 0) return 0;
    *out = *out * 16 + (unsigned)d;
  }
  return 1;
}

/* A string, decoded into a new buffer; NULL when it is none, or holds a NUL
 * (no name does). */
static char* kd_json_string(kd_json* j) {
  if (!kd_json_take(j, '"')) return NULL;
  char* out = malloc((size_t)(j->end - j->at) + 1);
  size_t n = 0;
  if (out == NULL) return NULL;
  while (j->at < j->end && *j->at != '"') {
    unsigned char c = (unsigned char)*j->at++;
    if (c < 0x20) goto bad;
    if (c != '\\') {
      out[n++] = (char)c;
      continue;
    }
    if (j->at >= j->end) goto bad;
    const char e = *j->at++;
    const char* plain = strchr("\"\\/bfnrt", e);
    if (plain != NULL && e != '\0') {
      out[n++] = "\"\\/\b\f\n\r\t"[plain - "\"\\/bfnrt"];
      continue;
    }
    unsigned code;
    if (e != 'u' || j->end - j->at < 4 || !kd_json_hex(j->at, &code)) goto bad;
    j->at += 4;
    if (code >= 0xd800 && code < 0xdc00) {
      unsigned low;
      if (j->end - j->at < 6 || j->at[0] != '\\' || j->at[1] != 'u' ||
          !kd_json_hex(j->at + 2, &low) || low < 0xdc00 || low >= 0xe000) {
        goto bad;
      }
      j->at += 6;
      code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
    } else if (code >= 0xdc00 && code < 0xe000) {
      goto bad;
    }
    if (code == 0) goto bad;
    if (code < 0x80) {
      out[n++] = (char)code;
    } else if (code < 0x800) {
      out[n++] = (char)(0xc0 | (code >> 6));
      out[n++] = (char)(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
      out[n++] = (char)(0xe0 | (code >> 12));
      out[n++] = (char)(0x80 | ((code >> 6) & 0x3f));
      out[n++] = (char)(0x80 | (code & 0x3f));
    } else {
      out[n++] = (char)(0xf0 | (code >> 18));
      out[n++] = (char)(0x80 | ((code >> 12) & 0x3f));
      out[n++] = (char)(0x80 | ((code >> 6) & 0x3f));
      out[n++] = (char)(0x80 | (code & 0x3f));
    }
  }
  if (j->at < j->end) {
    ++j->at;
    out[n] = '\0';
    return out;
  }
  /* A fault refuses the whole string, also where a quote follows it, as the
   * plug-ins' json does. */
bad:
  free(out);
  return NULL;
}

static int kd_json_skip(kd_json* j);

static int kd_json_skip_members(kd_json* j, char close, int named) {
  if (++j->depth > KD_JSON_DEPTH) return 0;
  if (kd_json_take(j, close)) return --j->depth, 1;
  do {
    if (named) {
      char* name = kd_json_string(j);
      if (name == NULL) return 0;
      free(name);
      if (!kd_json_take(j, ':')) return 0;
    }
    if (!kd_json_skip(j)) return 0;
  } while (kd_json_take(j, ','));
  --j->depth;
  return kd_json_take(j, close);
}

/* Skips one value of any kind; 0 on text that is no JSON. */
static int kd_json_skip(kd_json* j) {
  kd_json_space(j);
  if (j->at >= j->end) return 0;
  if (*j->at == '"') {
    char* s = kd_json_string(j);
    free(s);
    return s != NULL;
  }
  if (kd_json_take(j, '{')) return kd_json_skip_members(j, '}', 1);
  if (kd_json_take(j, '[')) return kd_json_skip_members(j, ']', 0);
  static const char* const words[] = {"true", "false", "null"};
  for (size_t i = 0; i < sizeof words / sizeof *words; ++i) {
    const size_t n = strlen(words[i]);
    if ((size_t)(j->end - j->at) >= n && memcmp(j->at, words[i], n) == 0) {
      j->at += n;
      return 1;
    }
  }
  /* A number: -?digits[.digits][e[+-]digits] */
  const char* start = j->at;
  if (*j->at == '-') ++j->at;
  const char* digits = j->at;
  while (j->at < j->end && *j->at >= '0' && *j->at <= '9') ++j->at;
  if (j->at == digits || (*digits == '0' && j->at - digits > 1)) return 0;
  if (j->at < j->end && *j->at == '.') {
    const char* frac = ++j->at;
    while (j->at < j->end && *j->at >= '0' && *j->at <= '9') ++j->at;
    if (j->at == frac) return 0;
  }
  if (j->at < j->end && (*j->at == 'e' || *j->at == 'E')) {
    ++j->at;
    if (j->at < j->end && (*j->at == '+' || *j->at == '-')) ++j->at;
    const char* exp = j->at;
    while (j->at < j->end && *j->at >= '0' && *j->at <= '9') ++j->at;
    if (j->at == exp) return 0;
  }
  return j->at > start;
}

static int kd_add_entry(kd_listed_share* share, char* name, int writable) {
  kd_entry* grown = realloc(share->entries, sizeof *grown * (size_t)(share->count + 1));
  if (grown == NULL) return 0;
  share->entries = grown;
  grown[share->count++] = (kd_entry){name, -1, writable};
  return 1;
}

/* A list of names: an array of strings. */
static int kd_json_list(kd_json* j, kd_listed_share* share, int writable) {
  if (!kd_json_take(j, '[')) return 0;
  if (kd_json_take(j, ']')) return 1;
  do {
    char* name = kd_json_string(j);
    if (name == NULL || !kd_add_entry(share, name, writable)) {
      free(name);
      return 0;
    }
  } while (kd_json_take(j, ','));
  return kd_json_take(j, ']');
}

/* One share's object: "read" and "write" lists, other members skipped. */
static int kd_json_share(kd_json* j, kd_listed_share* share) {
  if (!kd_json_take(j, '{')) return 0;
  if (kd_json_take(j, '}')) return 1;
  do {
    char* name = kd_json_string(j);
    const int ok = name != NULL && kd_json_take(j, ':');
    const int writable = ok && strcmp(name, "write") == 0;
    const int listed = ok && (writable || strcmp(name, "read") == 0);
    free(name);
    if (!ok) return 0;
    if (listed) {
      /* A list named twice: the later one counts, as a JSON object keeps it. */
      int kept = 0;
      for (int i = 0; i < share->count; ++i) {
        if (share->entries[i].writable != writable) {
          share->entries[kept++] = share->entries[i];
        } else {
          free(share->entries[i].name);
        }
      }
      share->count = kept;
    }
    if (!(listed ? kd_json_list(j, share, writable) : kd_json_skip(j))) return 0;
  } while (kd_json_take(j, ','));
  return kd_json_take(j, '}');
}

static void kd_free_share(kd_listed_share* share) {
  for (int i = 0; i < share->count; ++i) free(share->entries[i].name);
  free(share->entries);
  free(share->name);
}

static int kd_json_shares(kd_json* j, kd_share_access* table) {
  if (!kd_json_take(j, '{')) return 0;
  if (kd_json_take(j, '}')) return 1;
  do {
    kd_listed_share share = {kd_json_string(j), NULL, 0};
    kd_listed_share* grown =
        share.name != NULL ? realloc(table->shares, sizeof *grown * (size_t)(table->count + 1))
                           : NULL;
    if (grown == NULL || !kd_json_take(j, ':') || !kd_json_share(j, &share)) {
      if (grown != NULL) table->shares = grown;
      kd_free_share(&share);
      return 0;
    }
    table->shares = grown;
    table->shares[table->count++] = share;
  } while (kd_json_take(j, ','));
  return kd_json_take(j, '}');
}

static int kd_json_store(kd_json* j, kd_share_access* table) {
  if (!kd_json_take(j, '{')) return 0;
  int seen_shares = 0;
  if (!kd_json_take(j, '}')) {
    do {
      char* name = kd_json_string(j);
      const int ok = name != NULL && kd_json_take(j, ':');
      const int shares = ok && strcmp(name, "shares") == 0;
      free(name);
      if (!ok) return 0;
      if (shares && seen_shares) {
        /* The later member counts. */
        for (int i = 0; i < table->count; ++i) kd_free_share(&table->shares[i]);
        table->count = 0;
      }
      seen_shares |= shares;
      if (!(shares ? kd_json_shares(j, table) : kd_json_skip(j))) return 0;
    } while (kd_json_take(j, ','));
    if (!kd_json_take(j, '}')) return 0;
  }
  kd_json_space(j);
  return j->at == j->end;
}

static void kd_clear_table(kd_share_access* table) {
  for (int i = 0; i < table->count; ++i) kd_free_share(&table->shares[i]);
  free(table->shares);
  table->shares = NULL;
  table->count = 0;
}

kd_share_access* kd_share_access_parse(const char* text, size_t len) {
  kd_share_access* table = calloc(1, sizeof *table);
  if (table == NULL) return NULL;
  kd_json j = {text, text + len, 0};
  if (!kd_json_store(&j, table)) {
    kd_clear_table(table);
    table->malformed = 1;
  }
  return table;
}

kd_share_access* kd_share_access_refusing(void) {
  kd_share_access* table = calloc(1, sizeof *table);
  if (table != NULL) table->malformed = 1;
  return table;
}

int kd_share_access_malformed(const kd_share_access* table) { return table->malformed; }

void kd_share_access_free(kd_share_access* table) {
  if (table == NULL) return;
  kd_clear_table(table);
  free(table);
}

/* ---- groups and the rule ---- */

void kd_share_access_resolve(kd_share_access* table, const char* group_text, size_t len) {
  for (int s = 0; s < table->count; ++s) {
    for (int e = 0; e < table->shares[s].count; ++e) table->shares[s].entries[e].gid = -1;
  }
  const char* end = group_text + len;
  for (const char* line = group_text; line < end;) {
    const char* eol = memchr(line, '\n', (size_t)(end - line));
    if (eol == NULL) eol = end;
    const char* colon = memchr(line, ':', (size_t)(eol - line));
    const char* second = colon != NULL ? memchr(colon + 1, ':', (size_t)(eol - colon - 1)) : NULL;
    if (second != NULL && second + 1 < eol && second[1] >= '0' && second[1] <= '9') {
      const long gid = strtol(second + 1, NULL, 10);
      const size_t name_len = (size_t)(colon - line);
      for (int s = 0; s < table->count; ++s) {
        for (int e = 0; e < table->shares[s].count; ++e) {
          kd_entry* entry = &table->shares[s].entries[e];
          /* The first line naming a group is the one getgrnam finds. */
          if (entry->name[0] == '@' && entry->gid < 0 && strlen(entry->name + 1) == name_len &&
              memcmp(entry->name + 1, line, name_len) == 0) {
            entry->gid = gid;
          }
        }
      }
    }
    line = eol + 1;
  }
}

static int kd_entry_names(const kd_entry* entry, const char* user, const gid_t* groups, int count) {
  if (entry->name[0] != '@') return user != NULL && strcmp(entry->name, user) == 0;
  for (int i = 0; i < count && entry->gid >= 0; ++i) {
    if ((long)groups[i] == entry->gid) return 1;
  }
  return 0;
}

int kd_share_access_judge(const kd_share_access* table, const char* share, const char* user,
                          const gid_t* groups, int count, int writing) {
  if (strcmp(share, KD_SHARE_HOMES) == 0) return KD_SHARE_NO_LISTS;
  if (table->malformed) return KD_SHARE_REFUSED;
  const kd_listed_share* found = NULL;
  for (int s = table->count - 1; s >= 0 && found == NULL; --s) {
    if (strcmp(table->shares[s].name, share) == 0) found = &table->shares[s];
  }
  if (found == NULL || found->count == 0) return KD_SHARE_NO_LISTS;
  for (int e = 0; e < found->count; ++e) {
    const kd_entry* entry = &found->entries[e];
    if ((entry->writable || !writing) && kd_entry_names(entry, user, groups, count)) {
      return KD_SHARE_ALLOWED;
    }
  }
  return KD_SHARE_REFUSED;
}

/* ---- the kept table ---- */

/* The whole regular file at `path`, opened without following a link and
 * without waiting on a FIFO, into a new buffer; its stat in `*st`. 1 with
 * the text, 0 when it is missing (ENOENT), -1 with `*why` otherwise. */
static int kd_read_file(const char* path, struct stat* st, char** text, size_t* len,
                        const char** why) {
  *text = NULL;
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *why = errno == ELOOP ? "a symbolic link" : "not readable";
    return errno == ENOENT ? 0 : -1;
  }
  int result = -1;
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    *why = "not a regular file";
  } else if (st->st_size > KD_SHARE_ACCESS_MAX) {
    *why = "too large";
  } else if ((*text = malloc((size_t)st->st_size + 1)) != NULL) {
    ssize_t n = 0;
    size_t got = 0;
    while (got < (size_t)st->st_size &&
           (n = pread(fd, *text + got, (size_t)st->st_size - got, (off_t)got)) > 0) {
      got += (size_t)n;
    }
    *len = got;
    result = n < 0 ? -1 : 1;
    if (n < 0) *why = "not readable";
  }
  close(fd);
  if (result != 1) {
    free(*text);
    *text = NULL;
  }
  return result;
}

/* Whether the files are as the kept table read them (and were settled). */
static int kd_kept_current(const kd_share_access_kept* kept, const char* store_path,
                           const char* group_path) {
  struct stat st;
  if (kept->now == NULL || !kept->settled) return 0;
  const int store = lstat(store_path, &st) == 0;
  if (store != kept->store_seen || (store && !kd_same_version(&st, &kept->store))) return 0;
  if (!kept->names_groups) return 1;
  const int group = stat(group_path, &st) == 0;
  return group == kept->group_seen && (!group || kd_same_version(&st, &kept->group));
}

static int kd_names_groups(const kd_share_access* table) {
  for (int s = 0; table != NULL && s < table->count; ++s) {
    for (int e = 0; e < table->shares[s].count; ++e) {
      if (table->shares[s].entries[e].name[0] == '@') return 1;
    }
  }
  return 0;
}

static void kd_rebuild(kd_share_access_kept* kept, const char* store_path, const char* group_path,
                       const struct timespec* now, const char** report) {
  kd_share_access_free(kept->now);
  kept->now = NULL;
  ++kept->builds;
  char* text = NULL;
  size_t len = 0;
  const char* why = NULL;
  struct stat store = {0};
  const int read = kd_read_file(store_path, &store, &text, &len, &why);
  if (read == 1 && store.st_uid != 0) {
    why = "not root's";
  } else if (read == 1 && (store.st_mode & (S_IWOTH | (store.st_gid != 0 ? S_IWGRP : 0)))) {
    why = "writable by others";
  }
  const int refused = read < 0 || (read == 1 && why != NULL);
  if (read == 0) {
    kept->now = kd_share_access_parse("{}", 2);
  } else if (refused) {
    kept->now = kd_share_access_refusing();
  } else {
    kept->now = kd_share_access_parse(text, len);
    if (kept->now != NULL && kd_share_access_malformed(kept->now)) why = "not a share access store";
  }
  free(text);
  kept->store_seen = read != 0;
  kept->store = store;
  if (read < 0 && lstat(store_path, &kept->store) == 0) kept->store_seen = 1;
  const int malformed = kept->now == NULL || kd_share_access_malformed(kept->now);
  if (malformed && (!kept->logged_seen || !kd_same_version(&kept->store, &kept->logged))) {
    *report = why != NULL ? why : "not readable";
    kept->logged = kept->store;
    kept->logged_seen = 1;
  }
  if (!malformed) kept->logged_seen = 0;

  char* groups = NULL;
  size_t groups_len = 0;
  struct stat group = {0};
  kept->names_groups = kd_names_groups(kept->now);
  kept->group_seen =
      kept->names_groups && kd_read_file(group_path, &group, &groups, &groups_len, &why) == 1;
  kept->group = group;
  if (kept->now != NULL) kd_share_access_resolve(kept->now, groups, groups_len);
  free(groups);
  kept->settled = kept->now != NULL && (!kept->store_seen || kd_settled(&kept->store, now)) &&
                  (!kept->group_seen || kd_settled(&kept->group, now));
}

int kd_share_access_check(kd_share_access_kept* kept, const char* store_path,
                          const char* group_path, const struct timespec* now, const char* share,
                          const char* user, const gid_t* groups, int count, int writing,
                          const char** report) {
  *report = NULL;
  pthread_mutex_lock(&kept->lock);
  if (!kd_kept_current(kept, store_path, group_path)) {
    kd_rebuild(kept, store_path, group_path, now, report);
  }
  const int judged = kept->now != NULL
                         ? kd_share_access_judge(kept->now, share, user, groups, count, writing)
                         : KD_SHARE_REFUSED;
  pthread_mutex_unlock(&kept->lock);
  return judged;
}

void kd_share_access_kept_clear(kd_share_access_kept* kept) {
  kd_share_access_free(kept->now);
  kept->now = NULL;
  kept->settled = 0;
  kept->logged_seen = 0;
}

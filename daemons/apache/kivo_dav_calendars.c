#include "kivo_dav_calendars.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

/* A cursor over the registry's text. JsonCpp, which writes the registry,
 * also reads // and slash-star comments, so they are skipped here too. */
typedef struct {
  const char *at, *end;
} kd_text;

static void kd_skip_space(kd_text* t) {
  while (t->at < t->end) {
    if (isspace((unsigned char)*t->at)) {
      ++t->at;
    } else if (t->end - t->at >= 2 && t->at[0] == '/' && t->at[1] == '/') {
      while (t->at < t->end && *t->at != '\n') ++t->at;
    } else if (t->end - t->at >= 2 && t->at[0] == '/' && t->at[1] == '*') {
      const char* close = NULL;
      for (const char* p = t->at + 2; p + 1 < t->end; ++p) {
        if (p[0] == '*' && p[1] == '/') {
          close = p;
          break;
        }
      }
      t->at = close != NULL ? close + 2 : t->end;
    } else {
      return;
    }
  }
}

static int kd_take(kd_text* t, char c) {
  kd_skip_space(t);
  if (t->at < t->end && *t->at == c) {
    ++t->at;
    return 1;
  }
  return 0;
}

static int kd_hex4(const char* p, unsigned* out) {
  *out = 0;
  for (int i = 0; i < 4; ++i) {
    const int c = (unsigned char)p[i];
    const int digit = isdigit(c) ? c - '0' : (isxdigit(c) ? (tolower(c) - 'a' + 10) : -1);
    if (digit < 0) return 0;
    *out = *out * 16 + (unsigned)digit;
  }
  return 1;
}

static size_t kd_utf8(unsigned code, char* out) {
  if (code < 0x80) {
    out[0] = (char)code;
    return 1;
  }
  if (code < 0x800) {
    out[0] = (char)(0xc0 | (code >> 6));
    out[1] = (char)(0x80 | (code & 0x3f));
    return 2;
  }
  if (code < 0x10000) {
    out[0] = (char)(0xe0 | (code >> 12));
    out[1] = (char)(0x80 | ((code >> 6) & 0x3f));
    out[2] = (char)(0x80 | (code & 0x3f));
    return 3;
  }
  out[0] = (char)(0xf0 | (code >> 18));
  out[1] = (char)(0x80 | ((code >> 12) & 0x3f));
  out[2] = (char)(0x80 | ((code >> 6) & 0x3f));
  out[3] = (char)(0x80 | (code & 0x3f));
  return 4;
}

/* A JSON string, decoded into a new NUL-terminated buffer (NULL when the
 * text is no string, or holds a NUL the paths cannot). */
static char* kd_string(kd_text* t) {
  if (!kd_take(t, '"')) return NULL;
  char* out = malloc((size_t)(t->end - t->at) + 1);
  size_t n = 0;
  int bad = 0;
  while (out != NULL && !bad && t->at < t->end && *t->at != '"') {
    const char c = *t->at++;
    if (c != '\\') {
      out[n++] = c;
      continue;
    }
    if (t->at >= t->end) {
      bad = 1;
      break;
    }
    const char e = *t->at++;
    const char* simple = strchr("\"\\/bfnrt", e);
    if (simple != NULL && e != '\0') {
      out[n++] = "\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
      continue;
    }
    unsigned code, low;
    if (e != 'u' || t->end - t->at < 4 || !kd_hex4(t->at, &code)) {
      bad = 1;
      break;
    }
    t->at += 4;
    if (code >= 0xd800 && code < 0xdc00 && t->end - t->at >= 6 && t->at[0] == '\\' &&
        t->at[1] == 'u' && kd_hex4(t->at + 2, &low) && low >= 0xdc00 && low < 0xe000) {
      code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
      t->at += 6;
    }
    if (code == 0) {
      bad = 1;
      break;
    }
    n += kd_utf8(code, out + n);
  }
  if (out == NULL || bad || t->at >= t->end || *t->at != '"') {
    free(out);
    return NULL;
  }
  ++t->at;
  out[n] = '\0';
  return out;
}

/* Skips one value of any kind; 0 on text that is not JSON. */
static int kd_skip_value(kd_text* t, int depth) {
  kd_skip_space(t);
  if (t->at >= t->end || depth > 32) return 0;
  if (*t->at == '"') {
    char* s = kd_string(t);
    free(s);
    return s != NULL;
  }
  if (*t->at == '{' || *t->at == '[') {
    const char close = *t->at == '{' ? '}' : ']';
    const int object = close == '}';
    ++t->at;
    if (kd_take(t, close)) return 1;
    do {
      if (object && (!kd_skip_value(t, depth + 1) || !kd_take(t, ':'))) return 0;
      if (!kd_skip_value(t, depth + 1)) return 0;
    } while (kd_take(t, ','));
    return kd_take(t, close);
  }
  const char* start = t->at;
  while (t->at < t->end && (isalnum((unsigned char)*t->at) || strchr("+-.", *t->at))) ++t->at;
  return t->at > start;
}

/* Makes `path` ("/a//b/./c/../d/") normal ("/a/b/d") in place. */
static void kd_normalise(char* path) {
  char* out = path;
  const char* in = path;
  while (*in != '\0') {
    while (*in == '/') ++in;
    if (*in == '\0') break;
    const char* segment = in;
    while (*in != '\0' && *in != '/') ++in;
    const size_t len = (size_t)(in - segment);
    if (len == 1 && segment[0] == '.') continue;
    if (len == 2 && segment[0] == '.' && segment[1] == '.') {
      while (out > path && *--out != '/') {
      }
      continue;
    }
    *out++ = '/';
    memmove(out, segment, len);
    out += len;
  }
  *out = '\0';
}

/* How an entry's calendar folder must lie against `path` to count. */
enum { KD_BELOW = 0, KD_AT = 1, KD_WITHIN = 2 };

/* Whether the calendar of one entry is served at `path` or below it (at
 * it, for KD_AT; at it or above it, for KD_WITHIN). */
static int kd_entry_below(const char* name, const char* destination, const char* share,
                          const char* path, int homes_account, int match) {
  if (name[0] == '\0') return 0;
  const int old_home =
      strcmp(share, "homes") == 0 && !homes_account && strncasecmp(destination, "homes", 5) != 0;
  /* As the web API reads an entry: the share member picks the share, and
   * only what follows the destination's first "/" names the folder in it
   * (nothing when the destination is as long as the share's name). */
  const size_t dest_len = strlen(destination) + (old_home ? 6 : 0);
  const char* slash = strchr(destination, '/');
  const char* rest = old_home ? destination : slash != NULL ? slash + 1 : NULL;
  if (dest_len == strlen(share)) rest = NULL;
  const size_t size = strlen(share) + strlen(destination) + strlen(name) + 16;
  char* folder = malloc(size);
  if (folder == NULL) return 0;
  strcpy(folder, "/");
  strcat(folder, share);
  if (rest != NULL) {
    strcat(folder, "/");
    strcat(folder, rest);
  }
  strcat(folder, "/");
  strcat(folder, name);
  kd_normalise(folder);
  const size_t len = strlen(path);
  int below = match == KD_AT
                  ? strcmp(folder, path) == 0
                  : strncmp(folder, path, len) == 0 &&
                        (folder[len] == '\0' || folder[len] == '/' || (len == 1 && path[0] == '/'));
  if (match == KD_WITHIN) {
    const size_t folder_len = strlen(folder);
    below = strncmp(path, folder, folder_len) == 0 &&
            (path[folder_len] == '\0' || path[folder_len] == '/');
  }
  free(folder);
  return below;
}

static int kd_calendar_find(const char* text, size_t len, const char* member, const char* path,
                            int homes_account, int match) {
  kd_text t = {text, text + len};
  kd_skip_space(&t);
  if (t.at == t.end) return KD_CALENDAR_NONE;
  if (!kd_take(&t, '[')) return KD_CALENDAR_UNKNOWN;
  if (kd_take(&t, ']')) return KD_CALENDAR_NONE;
  int found = 0;
  do {
    if (!kd_take(&t, '{')) return KD_CALENDAR_UNKNOWN;
    char* fields[3] = {NULL, NULL, NULL};
    const char* const kNames[3] = {member, "destination", "share"};
    int ok = 1;
    if (!kd_take(&t, '}')) {
      do {
        char* key = kd_string(&t);
        ok = key != NULL && kd_take(&t, ':');
        int slot = -1;
        for (int i = 0; ok && i < 3; ++i) {
          if (strcmp(key, kNames[i]) == 0) slot = i;
        }
        kd_skip_space(&t);
        if (ok && slot >= 0 && t.at < t.end && *t.at == '"') {
          free(fields[slot]);
          fields[slot] = kd_string(&t);
          ok = fields[slot] != NULL;
        } else if (ok) {
          ok = kd_skip_value(&t, 1);
        }
        free(key);
      } while (ok && kd_take(&t, ','));
      ok = ok && kd_take(&t, '}');
    }
    /* Entries of another form are no calendar the web API knows. */
    if (ok && fields[0] != NULL && fields[1] != NULL && fields[2] != NULL) {
      found = found || kd_entry_below(fields[0], fields[1], fields[2], path, homes_account, match);
    }
    for (int i = 0; i < 3; ++i) free(fields[i]);
    if (!ok) return KD_CALENDAR_UNKNOWN;
  } while (kd_take(&t, ','));
  if (!kd_take(&t, ']')) return KD_CALENDAR_UNKNOWN;
  return found ? KD_CALENDAR_FOUND : KD_CALENDAR_NONE;
}

int kd_calendar_below(const char* text, size_t len, const char* path, int homes_account) {
  return kd_calendar_find(text, len, KD_CALENDAR_MEMBER, path, homes_account, KD_BELOW);
}

int kd_calendar_at(const char* text, size_t len, const char* path, int homes_account) {
  return kd_calendar_find(text, len, KD_CALENDAR_MEMBER, path, homes_account, KD_AT);
}

int kd_calendar_within(const char* text, size_t len, const char* path, int homes_account) {
  return kd_calendar_find(text, len, KD_CALENDAR_MEMBER, path, homes_account, KD_WITHIN);
}

int kd_registry_below(const char* text, size_t len, const char* member, const char* path,
                      int homes_account) {
  return kd_calendar_find(text, len, member, path, homes_account, KD_BELOW);
}

int kd_registry_within(const char* text, size_t len, const char* member, const char* path,
                       int homes_account) {
  return kd_calendar_find(text, len, member, path, homes_account, KD_WITHIN);
}

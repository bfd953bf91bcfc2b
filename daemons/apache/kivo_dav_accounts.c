#include "kivo_dav_accounts.h"

#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Account files larger than this are not read (a root's files are small). */
#define KD_MAX_FILE (4 << 20)

static char *kd_read_fd(int fd) {
  size_t size = 0, cap = 16384;
  char *text = malloc(cap + 1);
  ssize_t n;
  while (text != NULL && (n = pread(fd, text + size, cap - size, (off_t)size)) > 0) {
    size += (size_t)n;
    if (size == cap) {
      if (cap >= KD_MAX_FILE) {
        free(text);
        return NULL;
      }
      cap *= 2;
      char *grown = realloc(text, cap + 1);
      if (grown == NULL) free(text);
      text = grown;
    }
  }
  if (text != NULL) text[size] = '\0';
  return text;
}

/* The `field`th colon-separated field of the line for `name` in `text`,
 * copied into `out`; 0 when no line names it or the field does not fit. */
static int kd_field(const char *text, const char *name, int field, char *out, size_t out_size) {
  const size_t name_len = strlen(name);
  for (const char *line = text; *line != '\0';) {
    const char *end = strchr(line, '\n');
    if (end == NULL) end = line + strlen(line);
    if ((size_t)(end - line) > name_len && strncmp(line, name, name_len) == 0 &&
        line[name_len] == ':') {
      const char *start = line;
      for (int i = 0; i < field && start != NULL; ++i) {
        start = memchr(start, ':', (size_t)(end - start));
        if (start != NULL) ++start;
      }
      if (start == NULL) return 0;
      const char *stop = memchr(start, ':', (size_t)(end - start));
      if (stop == NULL) stop = end;
      if ((size_t)(stop - start) >= out_size) return 0;
      memcpy(out, start, (size_t)(stop - start));
      out[stop - start] = '\0';
      return 1;
    }
    line = *end == '\n' ? end + 1 : end;
  }
  return 0;
}

static int kd_number(const char *text, unsigned long *value) {
  char *end = NULL;
  if (text[0] < '0' || text[0] > '9') return 0;
  *value = strtoul(text, &end, 10);
  return *end == '\0' && *value < 0x7fffffffUL;
}

int kd_usable_name(const char *name) {
  const size_t len = strlen(name);
  if (len == 0 || len > 32 || !(islower((unsigned char)name[0]) || name[0] == '_')) return 0;
  for (const char *c = name; *c != '\0'; ++c) {
    if (!islower((unsigned char)*c) && !isdigit((unsigned char)*c) && strchr("_.-", *c) == NULL) {
      return 0;
    }
  }
  return 1;
}

int kd_account_find(const char *passwd_path, int shadow_fd, const char *name,
                    kd_account *account) {
  if (!kd_usable_name(name) || strcmp(name, "guest") == 0) return 0;
  const int passwd_fd = open(passwd_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (passwd_fd < 0) return 0;
  char *passwd = kd_read_fd(passwd_fd);
  close(passwd_fd);
  char *shadow = kd_read_fd(shadow_fd);
  char uid_text[16], gid_text[16];
  unsigned long uid = 0, gid = 0;
  const int found = passwd != NULL && shadow != NULL &&
                    kd_field(passwd, name, 2, uid_text, sizeof uid_text) &&
                    kd_field(passwd, name, 3, gid_text, sizeof gid_text) &&
                    kd_number(uid_text, &uid) && kd_number(gid_text, &gid) && uid != 0 &&
                    kd_field(shadow, name, 1, account->hash, sizeof account->hash) &&
                    account->hash[0] == '$';
  free(passwd);
  free(shadow);
  if (!found) return 0;
  account->uid = (uid_t)uid;
  account->gid = (gid_t)gid;
  return 1;
}

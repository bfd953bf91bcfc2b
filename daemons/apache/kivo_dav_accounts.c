#include "kivo_dav_accounts.h"

#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Account files larger than this are not read (a root's files are small). */
#define KD_MAX_FILE (4 << 20)

/* The first uid of a user account (Debian's UID_MIN); below are root and
 * the system's own accounts. */
#define KD_FIRST_USER_UID 1000UL

#define KD_ADMIN_GROUP "administrators"

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

static int kd_has_group(const kd_account *account, gid_t gid) {
  for (int i = 0; i < account->id.group_count; ++i) {
    if (account->id.groups[i] == gid) return 1;
  }
  return 0;
}

/* Adds the groups of etc/group (`text`) that list `name`, and tells
 * whether the account is an administrator. */
static void kd_add_groups(const char *text, const char *name, kd_account *account) {
  const size_t name_len = strlen(name);
  for (const char *line = text; *line != '\0';) {
    const char *end = strchr(line, '\n');
    if (end == NULL) end = line + strlen(line);
    /* group:password:gid:member,member */
    const char *c1 = memchr(line, ':', (size_t)(end - line));
    const char *c2 = c1 ? memchr(c1 + 1, ':', (size_t)(end - c1 - 1)) : NULL;
    const char *c3 = c2 ? memchr(c2 + 1, ':', (size_t)(end - c2 - 1)) : NULL;
    char gid_text[16];
    unsigned long gid = 0;
    /* A comment (as glibc reads etc/group) grants nothing. */
    if (line[0] != '#' && c3 != NULL && (size_t)(c3 - c2 - 1) < sizeof gid_text) {
      memcpy(gid_text, c2 + 1, (size_t)(c3 - c2 - 1));
      gid_text[c3 - c2 - 1] = '\0';
      int member = 0;
      for (const char *m = c3 + 1; m < end && !member;) {
        const char *comma = memchr(m, ',', (size_t)(end - m));
        if (comma == NULL) comma = end;
        member = (size_t)(comma - m) == name_len && strncmp(m, name, name_len) == 0;
        m = comma + 1;
      }
      if (kd_number(gid_text, &gid)) {
        const int admin_group = (size_t)(c1 - line) == strlen(KD_ADMIN_GROUP) &&
                                strncmp(line, KD_ADMIN_GROUP, strlen(KD_ADMIN_GROUP)) == 0;
        if (admin_group && (member || gid == account->id.gid)) account->id.admin = 1;
        if (member && gid != 0 && !kd_has_group(account, (gid_t)gid)) {
          if (account->id.group_count < KD_MAX_GROUPS) {
            account->id.groups[account->id.group_count++] = (gid_t)gid;
          } else {
            ++account->groups_left_out;
          }
        }
      }
    }
    line = *end == '\n' ? end + 1 : end;
  }
}

int kd_account_find(const char *passwd_path, const char *group_path, int shadow_fd,
                    const char *name, kd_account *account) {
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
                    kd_number(uid_text, &uid) && kd_number(gid_text, &gid) &&
                    uid >= KD_FIRST_USER_UID && gid != 0 &&
                    kd_field(shadow, name, 1, account->hash, sizeof account->hash) &&
                    account->hash[0] == '$';
  free(passwd);
  free(shadow);
  if (!found) return 0;
  account->id.uid = (uid_t)uid;
  account->id.gid = (gid_t)gid;
  account->id.groups[0] = (gid_t)gid;
  account->id.group_count = 1;
  account->groups_left_out = 0;
  account->id.admin = 0;
  const int group_fd = open(group_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (group_fd >= 0) {
    char *group = kd_read_fd(group_fd);
    close(group_fd);
    if (group != NULL) kd_add_groups(group, name, account);
    free(group);
  }
  return 1;
}

#include "kivo_dav_ical.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

/* A UID is compared by its length, its first bytes and a hash of it all:
 * the answer only names it. */
#define KD_UID_KEPT 256

typedef struct {
  char* why;
  size_t why_size;
} kd_out;

static int kd_say(kd_out* out, int result, const char* format, ...) {
  if (out->why_size > 0) {
    va_list args;
    va_start(args, format);
    vsnprintf(out->why, out->why_size, format, args);
    va_end(args);
  }
  return result;
}

/* Strict UTF-8, as the CalDAV daemon decodes: no overlong forms, no
 * surrogates, nothing above U+10FFFF; and no NUL, which ends a name one
 * layer down. */
static int kd_utf8(const unsigned char* s, size_t len) {
  size_t i = 0;
  while (i < len) {
    const unsigned char c = s[i];
    if (c == 0) return 0;
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t n;
    unsigned long cp;
    if (c >= 0xc2 && c <= 0xdf) {
      n = 1, cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      n = 2, cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      n = 3, cp = c & 0x07;
    } else {
      return 0;
    }
    if (len - i <= n) return 0;
    for (size_t k = 1; k <= n; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return 0;
      cp = (cp << 6) | (s[i + k] & 0x3f);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10ffff)) ||
        (cp >= 0xd800 && cp <= 0xdfff)) {
      return 0;
    }
    i += n + 1;
  }
  return 1;
}

/* One logical line, unfolded into a buffer of the caller's. */
typedef struct {
  const char *name, *params, *value; /* params: from the first ';' or empty */
  size_t name_len, params_len, value_len;
} kd_line;

static int kd_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

/* NAME, parameters, ':' and the value; 0 when the line is none (a
 * vCard's "group." before the name among them: the daemon skips it). */
static int kd_split_line(const char* s, size_t len, kd_line* line) {
  size_t i = 0;
  while (i < len && kd_name_char(s[i])) ++i;
  line->name = s, line->name_len = i;
  if (line->name_len == 0) return 0;
  const size_t params = i;
  while (i < len && s[i] == ';') {
    ++i;
    const size_t param_name = i;
    while (i < len && kd_name_char(s[i])) ++i;
    if (i == param_name) return 0;
    if (i < len && s[i] == '=') {
      do {
        ++i;
        if (i < len && s[i] == '"') {
          const char* close = memchr(s + i + 1, '"', len - i - 1);
          if (close == NULL) return 0;
          i = (size_t)(close - s) + 1;
        } else {
          while (i < len && s[i] != ';' && s[i] != ':' && s[i] != ',' && s[i] != '"') ++i;
        }
      } while (i < len && s[i] == ',');
    }
  }
  if (i >= len || s[i] != ':') return 0;
  line->params = s + params, line->params_len = i - params;
  line->value = s + i + 1, line->value_len = len - i - 1;
  return 1;
}

static int kd_is(const kd_line* line, const char* name) {
  return line->name_len == strlen(name) && strncasecmp(line->name, name, line->name_len) == 0;
}

static int kd_digits(const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return 0;
  }
  return 1;
}

static int kd_number(const char* s, size_t n) {
  int v = 0;
  for (size_t i = 0; i < n; ++i) v = v * 10 + (s[i] - '0');
  return v;
}

/* YYYYMMDD or YYYYMMDDTHHMMSS with an optional Z, a real day of a year
 * from 1 (the daemon's dates are Python's). */
static int kd_date_or_time(const char* s, size_t n) {
  if (n != 8 && n != 15 && n != 16) return 0;
  if (!kd_digits(s, 8)) return 0;
  const int year = kd_number(s, 4), month = kd_number(s + 4, 2), day = kd_number(s + 6, 2);
  static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > days[month - 1]) return 0;
  if (month == 2 && day == 29 && !(year % 4 == 0 && (year % 100 != 0 || year % 400 == 0))) {
    return 0;
  }
  if (n == 8) return 1;
  if (s[8] != 'T' || !kd_digits(s + 9, 6) || (n == 16 && s[15] != 'Z')) return 0;
  return kd_number(s + 9, 2) <= 23 && kd_number(s + 11, 2) <= 59 && kd_number(s + 13, 2) <= 59;
}

/* A comma-separated list of dates or date-times (EXDATE, RDATE). */
static int kd_date_list(const char* s, size_t n) {
  size_t start = 0;
  for (size_t i = 0; i <= n; ++i) {
    if (i == n || s[i] == ',') {
      if (!kd_date_or_time(s + start, i - start)) return 0;
      start = i + 1;
    }
  }
  return 1;
}

/* [+-]P followed by nW, or by nD and/or T with nH, nM, nS in that order. */
static int kd_duration(const char* s, size_t n) {
  size_t i = 0;
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  if (i >= n || s[i++] != 'P') return 0;
  const char* units = "WDTHMS";
  size_t unit = 0;
  int any = 0, timed = 0, after_t = 0;
  while (i < n) {
    if (s[i] == 'T') {
      if (timed) return 0;
      timed = 1, after_t = 1, unit = 3, ++i;
      continue;
    }
    const size_t start = i;
    while (i < n && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == start || i == n || i - start > 9) return 0;
    const char* at = strchr(units + unit, s[i]);
    if (at == NULL || s[i] == 'T' || (!timed && at - units > 1) || (timed && at - units < 3)) {
      return 0;
    }
    if (s[i] == 'W' && any) return 0;
    unit = (size_t)(at - units) + 1, any = 1, after_t = 0, ++i;
    if (s[i - 1] == 'W' && i != n) return 0;
  }
  return any && !after_t;
}

/* FREQ= one of the seven, parts NAME=VALUE; UNTIL a date or date-time,
 * COUNT and INTERVAL numbers. */
static int kd_rrule(const char* s, size_t n) {
  static const char* const freqs[] = {"SECONDLY", "MINUTELY", "HOURLY", "DAILY",
                                      "WEEKLY",   "MONTHLY",  "YEARLY"};
  int freq = 0;
  size_t start = 0;
  for (size_t i = 0; i <= n; ++i) {
    if (i < n && s[i] != ';') continue;
    const char *part = s + start, *eq = memchr(part, '=', i - start);
    start = i + 1;
    if (eq == NULL || eq == part) return 0;
    const size_t key = (size_t)(eq - part), vlen = i - (size_t)(eq + 1 - s);
    const char* v = eq + 1;
    if (vlen == 0) return 0;
    if (key == 4 && strncasecmp(part, "FREQ", 4) == 0) {
      for (size_t f = 0; f < sizeof freqs / sizeof *freqs; ++f) {
        if (vlen == strlen(freqs[f]) && strncasecmp(v, freqs[f], vlen) == 0) freq = 1;
      }
      if (!freq) return 0;
    } else if (key == 5 && strncasecmp(part, "UNTIL", 5) == 0) {
      if (!kd_date_or_time(v, vlen)) return 0;
    } else if ((key == 5 && strncasecmp(part, "COUNT", 5) == 0) ||
               (key == 8 && strncasecmp(part, "INTERVAL", 8) == 0)) {
      if (vlen > 9 || !kd_digits(v, vlen)) return 0;
    }
  }
  return freq;
}

/* The value of a property the daemon reads a time range from, well formed;
 * one it does not read passes. */
static int kd_value_ok(const kd_line* line) {
  const char* v = line->value;
  const size_t n = line->value_len;
  if (kd_is(line, "DTSTART") || kd_is(line, "DTEND") || kd_is(line, "DUE") ||
      kd_is(line, "RECURRENCE-ID")) {
    return kd_date_or_time(v, n);
  }
  if (kd_is(line, "EXDATE") || kd_is(line, "RDATE")) {
    /* An RDATE may be a PERIOD; those are not read as dates. */
    return memchr(v, '/', n) != NULL || kd_date_list(v, n);
  }
  if (kd_is(line, "DURATION")) return kd_duration(v, n);
  if (kd_is(line, "RRULE") || kd_is(line, "EXRULE")) return kd_rrule(v, n);
  return 1;
}

typedef struct {
  kd_out out;
  char stack[KD_ICAL_MAX_DEPTH][32]; /* the open components' names */
  int depth;
  int calendars;
  char kind[32]; /* the calendar's component type beside time zones */
  int has_uid;   /* the open event (or to-do, journal) has its UID */
  char uid[KD_UID_KEPT + 1];
  size_t uid_len; /* the object's UID's whole length; 0: none seen yet */
  uint64_t uid_hash;
} kd_state;

static int kd_item_kind(const char* name) {
  return strcasecmp(name, "VEVENT") == 0 || strcasecmp(name, "VTODO") == 0 ||
         strcasecmp(name, "VJOURNAL") == 0;
}

static int kd_begin(kd_state* st, const kd_line* line) {
  char name[32];
  if (line->value_len == 0 || line->value_len >= sizeof name) {
    return kd_say(&st->out, KD_ICAL_NOT_ICAL, "A BEGIN line names no component.");
  }
  memcpy(name, line->value, line->value_len);
  name[line->value_len] = '\0';
  for (size_t i = 0; i < line->value_len; ++i) {
    if (!kd_name_char(name[i])) {
      return kd_say(&st->out, KD_ICAL_NOT_ICAL, "A BEGIN line names no component.");
    }
  }
  if (st->depth == 0) {
    if (strcasecmp(name, "VCALENDAR") != 0) {
      return kd_say(&st->out, KD_ICAL_NOT_ICAL, "This is a %s, not a calendar (VCALENDAR).", name);
    }
    if (++st->calendars > 1) {
      return kd_say(&st->out, KD_ICAL_NOT_ONE,
                    "The file holds more than one calendar (VCALENDAR); an item holds one.");
    }
  }
  if (st->depth == 1 && strcasecmp(name, "VTIMEZONE") != 0) {
    if (st->kind[0] == '\0') {
      strcpy(st->kind, name);
    } else if (strcasecmp(st->kind, name) != 0) {
      return kd_say(&st->out, KD_ICAL_NOT_ONE,
                    "The calendar mixes %s and %s components; an item holds one kind.", st->kind,
                    name);
    }
    st->has_uid = 0;
  }
  if (st->depth == KD_ICAL_MAX_DEPTH) {
    return kd_say(&st->out, KD_ICAL_NOT_ICAL, "Components are nested too deep.");
  }
  strcpy(st->stack[st->depth++], name);
  return KD_ICAL_ITEM;
}

static int kd_end(kd_state* st, const kd_line* line) {
  if (st->depth == 0 || line->value_len != strlen(st->stack[st->depth - 1]) ||
      strncasecmp(line->value, st->stack[st->depth - 1], line->value_len) != 0) {
    return kd_say(&st->out, KD_ICAL_NOT_ICAL, "BEGIN and END lines do not match.");
  }
  --st->depth;
  if (st->depth == 1 && kd_item_kind(st->stack[1]) && !st->has_uid) {
    return kd_say(&st->out, KD_ICAL_NOT_ONE, "A %s has no UID.", st->stack[1]);
  }
  return KD_ICAL_ITEM;
}

static uint64_t kd_hash(const char* s, size_t n) {
  uint64_t h = 14695981039346656037ull; /* FNV-1a */
  for (size_t i = 0; i < n; ++i) h = (h ^ (unsigned char)s[i]) * 1099511628211ull;
  return h;
}

static int kd_uid(kd_state* st, const kd_line* line) {
  if (st->has_uid) return KD_ICAL_ITEM;          /* the first one counts */
  if (line->value_len == 0) return KD_ICAL_ITEM; /* an empty UID is none */
  st->has_uid = 1;
  const size_t kept = line->value_len < KD_UID_KEPT ? line->value_len : KD_UID_KEPT;
  if (st->uid_len == 0) {
    memcpy(st->uid, line->value, kept);
    st->uid[kept] = '\0';
    st->uid_len = line->value_len;
    st->uid_hash = kd_hash(line->value, line->value_len);
    return KD_ICAL_ITEM;
  }
  if (st->uid_len != line->value_len || memcmp(st->uid, line->value, kept) != 0 ||
      st->uid_hash != kd_hash(line->value, line->value_len)) {
    return kd_say(&st->out, KD_ICAL_NOT_ONE,
                  "The file holds %ss of different UIDs (%.60s, %.*s): it is a whole "
                  "calendar, not one item. Import it through a calendar client, or put "
                  "each event in a file of its own.",
                  st->stack[1], st->uid, (int)(kept < 60 ? kept : 60), line->value);
  }
  return KD_ICAL_ITEM;
}

static int kd_logical_line(kd_state* st, const char* s, size_t len) {
  if (len == 0) return KD_ICAL_ITEM;
  kd_line line;
  if (!kd_split_line(s, len, &line)) {
    return kd_say(&st->out, KD_ICAL_NOT_ICAL, "A line is not of the form NAME:VALUE: %.40s", s);
  }
  if (kd_is(&line, "BEGIN")) return kd_begin(st, &line);
  if (kd_is(&line, "END")) return kd_end(st, &line);
  if (st->depth == 0) {
    return kd_say(&st->out, KD_ICAL_NOT_ICAL, "A line lies outside the calendar (VCALENDAR).");
  }
  if (st->depth == 2 && kd_item_kind(st->stack[1])) {
    if (kd_is(&line, "UID")) return kd_uid(st, &line);
    if (!kd_value_ok(&line)) {
      return kd_say(&st->out, KD_ICAL_NOT_ICAL, "The value of %.*s is not well formed: %.40s",
                    (int)line.name_len, line.name, line.value);
    }
  }
  return KD_ICAL_ITEM;
}

int kd_ical_check(const char* data, size_t len, char* why, size_t why_size) {
  kd_state st;
  memset(&st, 0, sizeof st);
  st.out.why = why, st.out.why_size = why_size;
  if (why_size > 0) why[0] = '\0';
  if (len > KD_ICAL_MAX_BYTES) {
    return kd_say(&st.out, KD_ICAL_TOO_LARGE,
                  "The file is larger than a calendar item may be (%u bytes).", KD_ICAL_MAX_BYTES);
  }
  if (!kd_utf8((const unsigned char*)data, len)) {
    return kd_say(&st.out, KD_ICAL_NOT_ICAL, "The file is not UTF-8 text.");
  }
  /* Logical lines are unfolded into `buffer`, at most the file's size. */
  char small[4096];
  char* buffer = len < sizeof small ? small : malloc(len + 1);
  if (buffer == NULL) return kd_say(&st.out, KD_ICAL_TOO_LARGE, "No memory to check the file.");
  size_t used = 0;
  int result = KD_ICAL_ITEM;
  size_t i = 0;
  while (i < len && result == KD_ICAL_ITEM) {
    const char* nl = memchr(data + i, '\n', len - i);
    size_t end = nl == NULL ? len : (size_t)(nl - data);
    const size_t next = nl == NULL ? len : end + 1;
    if (end > i && data[end - 1] == '\r') --end;
    if (memchr(data + i, '\r', end - i) != NULL) {
      result = kd_say(&st.out, KD_ICAL_NOT_ICAL, "A line holds a carriage return of its own.");
      break;
    }
    if (end > i && (data[i] == ' ' || data[i] == '\t')) {
      if (used == 0) {
        result = kd_say(&st.out, KD_ICAL_NOT_ICAL, "The file begins with a folded line.");
        break;
      }
      memcpy(buffer + used, data + i + 1, end - i - 1);
      used += end - i - 1;
    } else {
      if (used > 0) {
        buffer[used] = '\0';
        result = kd_logical_line(&st, buffer, used);
      }
      used = 0;
      if (end > i) {
        memcpy(buffer, data + i, end - i);
        used = end - i;
      } else if (result == KD_ICAL_ITEM) {
        /* An empty line: nothing to continue. */
      }
    }
    i = next;
  }
  if (result == KD_ICAL_ITEM && used > 0) {
    buffer[used] = '\0';
    result = kd_logical_line(&st, buffer, used);
  }
  if (buffer != small) free(buffer);
  if (result != KD_ICAL_ITEM) return result;
  if (st.depth != 0) {
    return kd_say(&st.out, KD_ICAL_NOT_ICAL, "The file ends inside a %s.", st.stack[st.depth - 1]);
  }
  if (st.calendars == 0) {
    return kd_say(&st.out, KD_ICAL_NOT_ICAL, "The file holds no calendar (VCALENDAR).");
  }
  if (st.uid_len == 0) {
    return kd_say(&st.out, KD_ICAL_NOT_ONE,
                  "The calendar holds no event, to-do or journal entry with a UID.");
  }
  return KD_ICAL_ITEM;
}

/* Which URL paths of the WebDAV daemon hold registered calendars, read from
 * the calendar registry (usr/kivo/etc/calendar.info under the root, a JSON
 * array of objects with the string members "calendarname", "destination"
 * and "share", written whole by the web API).
 *
 * A calendar's folder is served at "/<share>/<rest>/<calendarname>", the
 * shares being served at "/<share name>/": <rest> is what follows the
 * destination's first "/" ("team" of "public/team"; the part before it is
 * not compared with the share). A home entry written before the "homes/"
 * prefix ("alice" in the share "homes") reads as "homes/alice" when no
 * account is called "homes", as the web API itself reads it
 * (tests/vectors/calendar_paths.json).
 *
 * Used to keep file managers from detaching a calendar's folder: calendars
 * move through the web API, which keeps the registry in step. Plain C with
 * no Apache types, so that it is tested without a daemon. Reentrant: no
 * state between calls. */

#ifndef KIVO_DAV_CALENDARS_H_
#define KIVO_DAV_CALENDARS_H_

#include <stddef.h>

/* Results of kd_calendar_below. */
#define KD_CALENDAR_NONE 0     /* no registered calendar at or below */
#define KD_CALENDAR_FOUND 1    /* one is at `path` or below it */
#define KD_CALENDAR_UNKNOWN -1 /* the registry is not JSON of that form */

/* Whether the registry text `text` (`len` bytes) names a calendar served at
 * the URL path `path` or below it. `path` is decoded and normalised (no
 * "." or ".." segments, no doubled or trailing "/"); `homes_account` says
 * whether an account named "homes" exists. A missing registry is an empty
 * text. */
int kd_calendar_below(const char* text, size_t len, const char* path, int homes_account);

/* As kd_calendar_below, for a calendar served at `path` itself. */
int kd_calendar_at(const char* text, size_t len, const char* path, int homes_account);

/* Whether the registry names a calendar served at the URL path `path` or
 * above it: `path` is a calendar's folder or lies inside one. Results and
 * arguments as kd_calendar_below's. */
int kd_calendar_within(const char* text, size_t len, const char* path, int homes_account);

/* The member naming a collection in each registry: the address-book
 * registry (usr/kivo/etc/addressbook.info) has the calendar registry's form
 * and rules, with "addressbookname" for "calendarname". */
#define KD_CALENDAR_MEMBER "calendarname"
#define KD_ADDRESSBOOK_MEMBER "addressbookname"

/* As kd_calendar_below and kd_calendar_within, for the registry whose
 * entries name their collection by `member`. */
int kd_registry_below(const char* text, size_t len, const char* member, const char* path,
                      int homes_account);
int kd_registry_within(const char* text, size_t len, const char* member, const char* path,
                       int homes_account);

#endif /* KIVO_DAV_CALENDARS_H_ */

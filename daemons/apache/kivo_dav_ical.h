/* Whether a file put into a calendar's folder is one calendar object the
 * CalDAV daemon will serve as an item.
 *
 * The CalDAV daemon serves each `*.ics` file of a registered calendar's
 * folder as one item when it reads as exactly one VCALENDAR whose events
 * (or to-dos, or journal entries) all share one UID, and skips any other,
 * with nothing but a line in its own log. A file that was stored over
 * WebDAV and then never shows is refused here instead, with the reason.
 *
 * The check is a bounded single pass over the text: UTF-8, lines unfolded,
 * content lines of the form NAME;PARAM=VALUE:VALUE, BEGIN and END balanced
 * and nested at most KD_ICAL_MAX_DEPTH deep, one VCALENDAR, one component
 * type beside time zones, one UID, and the dates and durations the CalDAV
 * daemon computes time ranges from well formed. It is stricter than the
 * daemon's reader where the two could differ: what passes here loads there
 * (tests/vectors/ical.json holds the cases both run).
 *
 * Plain C with no Apache types, so that it is tested without a daemon.
 * Reentrant: no state between calls. */

#ifndef KIVO_DAV_ICAL_H_
#define KIVO_DAV_ICAL_H_

#include <stddef.h>

/* The CalDAV daemon reads no item larger (kivo_calendar.MAX_ITEM_BYTES). */
#define KD_ICAL_MAX_BYTES (8u << 20)
#define KD_ICAL_MAX_DEPTH 16

/* Results of kd_ical_check. */
#define KD_ICAL_ITEM 0      /* one calendar object: served as one item */
#define KD_ICAL_NOT_ICAL 1  /* not an iCalendar text at all, or broken */
#define KD_ICAL_NOT_ONE 2   /* a calendar, but not one item: several UIDs, none, mixed types */
#define KD_ICAL_TOO_LARGE 3 /* larger than KD_ICAL_MAX_BYTES */

/* Checks the `len` bytes at `data`; writes a short plain sentence saying
 * why (for the client) into `why` (`why_size` bytes, NUL-terminated,
 * cut to fit) unless the result is KD_ICAL_ITEM. */
int kd_ical_check(const char* data, size_t len, char* why, size_t why_size);

#endif /* KIVO_DAV_ICAL_H_ */

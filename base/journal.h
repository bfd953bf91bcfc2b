// The action journal: every change the platform makes on behalf of a caller
// (configuration written, service started, event sent, ...) is appended to
// var/log/kivo/platform.jsonl as one compact JSON object per line, in the
// order the changes happen. Operators read it to see what was done; tests
// read it to check the order of actions.

#ifndef KIVO_BASE_JOURNAL_H_
#define KIVO_BASE_JOURNAL_H_

#include <json/json.h>

namespace kivo::base {

// Appends `record` (an object with at least "op") with a "time" member added.
// Appends from several processes do not interleave. False when the line could
// not be written whole. Events, user log entries and firewall reloads are
// picked up from here, so for them the line is the action and they fail with
// it.
bool Journal(Json::Value record);

// Journals a change that has already been made (a file rewritten, a service
// state stored). The change stands whether or not its line is written, so
// its operation succeeds; a journal that cannot be appended is reported on
// stderr and syslog, once per process.
void JournalDone(Json::Value record);

}  // namespace kivo::base

#endif  // KIVO_BASE_JOURNAL_H_

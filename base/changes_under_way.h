// The record of changes under way: every change that goes through several
// files, folders or daemons one step after another (a settings call, a
// calendar's create, removal or move) is written here before its first step
// and dropped after its last, so that a process killed between two steps
// leaves a change that the next start or call finishes or undoes, never a
// mix nobody knows of.
//
// var/lib/kivo/changes-under-way.json, root's, 0600: {"changes": [...]},
// one object a change, in the order begun, each with
//   "key"     a random name, how its owner ends it;
//   "owner"   the process that began it ({"boot", "pid", "since"}), so that
//             a change another running process has under way is not taken
//             for a killed one;
//   "call"    the module call that finishes it ({"api", "version",
//             "method", "account", "params"});
//   "replay"  true when that call is the change itself: the files in
//             "before" (path below the root: content, or null for none)
//             are put back as they were, and the call runs again, whole;
//             false when the call finishes the change from its "data" and
//             ends it itself (the calendar handler's recovery);
//   "kind", "data"  the change's own description, read by its finisher.
// Written whole by the one atomic replacement (base::ReplaceFile), under
// the lock file beside it; removed once no change is under way. A change is
// on disk (file and folder synced) before Begin returns; End syncs when the
// change must never be finished twice, and may leave its drop to a later
// sync when finishing it again is harmless.
//
// The record is refused, logged and left alone for the operator, when it is
// not a regular file of root's that only root may write (a link, a FIFO, a
// folder), is larger than any record, or is not such JSON: no change is then
// begun, and none finished by a guess.
//
// Threading: any thread and process; writers are serialised by the lock
// file beside the record (made at the first Begin), readers take no lock
// (they see one whole version), recoveries are serialised by a second lock
// file, so that two processes never finish the same change at once.

#ifndef KIVO_BASE_CHANGES_UNDER_WAY_H_
#define KIVO_BASE_CHANGES_UNDER_WAY_H_

#include <json/json.h>

#include <functional>
#include <string>
#include <vector>

namespace kivo::base {

// One change, as its owner begins it.
struct ChangeUnderWay {
  std::string kind;
  Json::Value data;
  Json::Value call;  // {"api", "version", "method", "account", "params"}
  bool replay = false;
  std::vector<std::string> before;  // below the root, copied at Begin
};

class ChangesUnderWay {
 public:
  // The record's path below the root.
  static constexpr char kPath[] = "/var/lib/kivo/changes-under-way.json";

  // Records `change` as under way, on disk, and its key into `key`. False,
  // logged, when it could not be recorded (the change must not start).
  static bool Begin(const ChangeUnderWay& change, std::string* key);
  // Drops the changes `keys` (those still recorded). `synced`: the drop is
  // on disk when it returns.
  static bool End(const std::vector<std::string>& keys, bool synced);
  // Every change recorded (of `kind` when not empty), in the order begun,
  // as the objects above. False, logged, when the record is refused.
  static bool Read(const std::string& kind, Json::Value* changes);
};

// Runs a recorded "call" to its end; true when it succeeded. It logs what
// it runs and a failure (the recovery does not).
using RecordedCallRunner = std::function<bool(const Json::Value& call)>;

// The one recovery, at a host's start and before each module call: every
// change a process no longer running left under way is finished, by its
// call, each call once per pass: a replayed change is dropped after its
// run, whatever its outcome (logged), others are dropped by their call.
// Records of the previous version's forms are taken in first. False when
// something could not be finished (logged).
bool FinishChangesUnderWay(const RecordedCallRunner& run);

// The previous version's records of changes under way, taken into this
// one: var/lib/kivo/settings-under-way.json (a settings call, removed once
// taken in), and "pending <JSON>" lines of usr/kivo/etc/calendar.ids not
// ended by a later "done <token>" line (taken in once each by its token;
// the calendar handler drops the lines when it next writes that file).
// False, logged, when one could not be taken in.
bool TakeInPreviousRecords();

}  // namespace kivo::base

#endif  // KIVO_BASE_CHANGES_UNDER_WAY_H_

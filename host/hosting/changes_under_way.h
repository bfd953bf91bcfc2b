// The host's side of the record of changes under way
// (base/changes_under_way.h): the recorded calls run through the module's
// table. The host does not know which calls record changes, nor how they
// are finished: the module records its own, each with the call that
// finishes it.
// Threading: only where module calls run (one at a time).

#ifndef KIVO_HOST_CHANGES_UNDER_WAY_H_
#define KIVO_HOST_CHANGES_UNDER_WAY_H_

#include "host/hosting/module_table.h"

namespace host {

// Finishes every change a stopped process left under way, running the
// recorded calls with `module`'s entries (as root, the process restored
// after each). False when one could not be finished (logged).
bool RecoverChanges(const ModuleTable& module);

}  // namespace host

#endif  // KIVO_HOST_CHANGES_UNDER_WAY_H_

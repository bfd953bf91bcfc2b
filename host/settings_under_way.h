// Settings changes that end whole. A WebDAV `set` or a CalDAV switch `set`
// goes through several files (kivoinfo.conf keys, services.json run
// settings) and daemons (start, stop, reload, the firewall, the
// announcements) one after another; a host killed between two of them would
// leave a mix of old and new settings, and daemons that serve neither.
//
// Before such a call runs, the host records it (var/lib/kivo/
// settings-under-way.json: API, version, method, account and parameters,
// and kivoinfo.conf and services.json as they were; root's, 0600, replaced
// whole); once the module has answered, the record goes. A record found
// later is a call that was killed: the next module call of the host (`call`,
// `serve`'s module thread), `init` and `serve` at its start put the two
// files back as they were and run the call again, whole, which brings every
// file and daemon to the new settings (a call that found its setting already
// changed would restart nothing), then drop the record. Calendar calls keep their own record (the
// calendar handler's, docs/ARCHITECTURE.md).
//
// Owns the record; touches the files the calls change only to put them back
// as they were before a killed call.
// Threading: only where module calls run (one at a time).

#ifndef KIVO_HOST_SETTINGS_UNDER_WAY_H_
#define KIVO_HOST_SETTINGS_UNDER_WAY_H_

#include <json/json.h>

#include <string>

#include "host/module_call.h"
#include "host/module_table.h"

namespace host {

// Runs `row`'s entry as RunModuleCall does, recorded around the call when
// its row says it is a settings change (kAPISettingsChange).
ModuleCallResult RunRecordedCall(const ModuleRow& row, const std::string& account,
                                 KIVO::Standing standing, Json::Value params);

// Runs the call a killed host left recorded, if any, with `module`'s entry
// for it, and drops the record. False when a record was there and could
// not be finished (it is dropped all the same, and logged).
bool FinishSettingsUnderWay(const ModuleTable& module);

}  // namespace host

#endif  // KIVO_HOST_SETTINGS_UNDER_WAY_H_

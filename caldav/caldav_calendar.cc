// The calendar handler: its four web API methods, their workers (the road
// of each through the registry, the locations and the folders), the
// conventions, and the delegations to the three parts.

#include "caldav/caldav_calendar.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "caldav/calendar_create_rules.h"
#include "kivo/error_codes.h"
#include "kivo/handler_conventions.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "caldav_calendar";

}  // namespace

CalDAVServiceHandler::CalDAVServiceHandler(KIVO::APIRequest* request, KIVO::APIResponse* response,
                                           const caldav::CollectionKind& kind)
    : request_(request),
      response_(response),
      kind_(kind),
      error_code_(0),
      location_(request->GetLoginUserName(), &error_code_, kind),
      registry_(&location_, &error_code_, kind),
      identity_(&error_code_, kind),
      folder_(&location_, &identity_, &error_code_) {}

bool CalDAVServiceHandler::LoadAndRecover() {
  if (!identity_.Load()) return false;
  // Lines of the previous version's record taken in are dropped by a save.
  if (identity_.pending().empty()) return identity_.Save();
  Json::Value calendars;
  if (!GetCalendarInfo(calendars)) return false;
  if (folder_.Recover(calendars, &registry_) && !WriteCalendarInfo(calendars)) return false;
  return identity_.Save();
}

// ---- web API methods --------------------------------------------------------

void CalDAVServiceHandler::List() {
  Json::Value result;
  if (ListCalendar(result)) {
    response_->SetSuccess(std::move(result));
  } else {
    ReportError();
  }
}

void CalDAVServiceHandler::Create() {
  Json::Value result;
  if (CreateCalendar(result)) {
    KIVO_LOG(LOG_NOTICE, "%s %s created by %s", kind_.noun, result["id"].asCString(),
             request_->GetLoginUserName().c_str());
    response_->SetSuccess(result);
  } else {
    ReportError();
  }
}

void CalDAVServiceHandler::Delete() {
  if (DeleteCalendar()) {
    response_->SetSuccess(Json::Value());
  } else {
    ReportError();
  }
}

void CalDAVServiceHandler::Set() {
  Json::Value result;
  if (EditCalendar(result)) {
    KIVO_LOG(LOG_NOTICE, "%s set by %s", kind_.noun, request_->GetLoginUserName().c_str());
    response_->SetSuccess(result);
  } else {
    ReportError();
  }
}

// ---- conventions --------------------------------------------------------------

void CalDAVServiceHandler::SetError(int code) { conventions::RecordError(error_code_, code); }

void CalDAVServiceHandler::ReportError() {
  conventions::ReportError(kLogUnit, __LINE__, error_code_, response_);
}

bool CalDAVServiceHandler::CHECK_PARAM_BOOL(std::string name, bool required) {
  return conventions::CheckParam(*request_, name, required, &Json::Value::isBool, kLogUnit,
                                 __LINE__, this);
}

bool CalDAVServiceHandler::CHECK_PARAM_INT(std::string name, bool required) {
  return conventions::CheckParam(*request_, name, required, &Json::Value::isInt, kLogUnit, __LINE__,
                                 this);
}

bool CalDAVServiceHandler::CHECK_PARAM_STRING(std::string name, bool required) {
  return conventions::CheckParam(*request_, name, required, &Json::Value::isString, kLogUnit,
                                 __LINE__, this);
}

bool CalDAVServiceHandler::CHECK_PARAM_JSONARRAY(std::string name, bool required) {
  return conventions::CheckParam(*request_, name, required, &Json::Value::isArray, kLogUnit,
                                 __LINE__, this);
}

void CalDAVServiceHandler::ShowJson(const char* label, const Json::Value& value) {
  conventions::ShowJson(kLogUnit, __LINE__, label, value);
}

std::string CalDAVServiceHandler::StringParam(const std::string& name) {
  const Json::Value value = request_->GetParam(name, Json::Value());
  if (!value.isConvertibleTo(Json::stringValue)) return "";
  return value.asString();
}

// ---- list -----------------------------------------------------------------------

// The registry's entries become the answer's items in place: each gets its
// two members, and the array moves into the answer without a copy. Member
// names and statuses are static strings (the module stays loaded while its
// answers live), so that neither they nor the host's copies allocate them.
bool CalDAVServiceHandler::ListCalendar(Json::Value& result) {
  caldav::CalendarRegistry::Lock lock(kind_);  // the read may write back the homes upgrade
  if (!LoadAndRecover()) return false;
  Json::Value calendars;
  if (!GetCalendarInfo(calendars)) return false;
  if (calendars.isNull()) {
    result["item"] = Json::Value(Json::arrayValue);
    return true;
  }
  std::string id;
  for (Json::Value& entry : calendars) {
    if (!ConcateID(entry, id)) return false;
    const char* status = folder_.Status(entry, id);
    entry[Json::StaticString("status")] = Json::StaticString(status);
    entry[Json::StaticString("id")] = id;
  }
  // Calendars from before tokens, adopted by the statuses: a record that
  // cannot be written now is written by the next call that can.
  identity_.Save();
  result[Json::StaticString("item")].swap(calendars);
  return true;
}

// ---- create ---------------------------------------------------------------------

bool CalDAVServiceHandler::CheckCreateParam() {
  for (const char* name : {"destination", kind_.name_member, "fullpath", "share"}) {
    if (!CHECK_PARAM_STRING(name, true)) return false;
  }
  return true;
}

namespace {

// An ordinary account creates only in its own home, and only a calendar
// whose entry names the folder it makes (caldav/calendar_create_rules.h).
// Judged before anything is read or made, as the host refuses a call.
bool OrdinaryCreateAllowed(const KIVO::APIRequest& request, const caldav::CollectionKind& kind) {
  if (request.IsAdministrator()) return true;
  Json::Value params(Json::objectValue);
  for (const char* name : {"share", "destination", kind.name_member, "fullpath"}) {
    params[name] = request.GetParam(name, Json::Value());
  }
  const std::string user = request.GetLoginUserName();
  return caldav::HomeCreateAllowed(params, user) &&
         caldav::CreateEntryMatchesFolder(params, user, kind);
}

}  // namespace

bool CalDAVServiceHandler::CreateCalendar(Json::Value& result) {
  unsigned int uid = static_cast<unsigned int>(-1);
  unsigned int gid = static_cast<unsigned int>(-1);
  int admin = -1;
  Json::Value entry;
  std::string id;

  if (!CheckCreateParam()) return false;
  if (!OrdinaryCreateAllowed(*request_, kind_)) {
    KIVO_LOG(LOG_ERR, "%s may not create a %s there", request_->GetLoginUserName().c_str(),
             kind_.noun);
    SetError(WEBAPI_ERR_NOT_ALLOWED);
    return false;
  }

  // Held from before the identity switch (the lock file is root's) to the
  // registry write: a create is then one step for every other calendar call,
  // so a delete or set of the same id can neither remove the folder while it
  // is being filled nor miss the entry that follows it.
  caldav::CalendarRegistry::Lock lock(kind_);
  if (!LoadAndRecover()) return false;
  // The create is recorded as under way, on disk, before anything is made:
  // a call killed or a power cut before the registry names the calendar
  // leaves no folder behind (the recovery removes it), and none the
  // registry names without its folder.
  if (!GetInputParam2Json(entry) || !ConcateID(entry, id)) return false;
  const std::string token =
      folder_.BeginCreate(id, StringParam("fullpath"), StringParam(kind_.name_member));
  if (token.empty() || !identity_.Save()) {
    return false;
  }
  bool made = false;
  // The steps that act as the user run on a thread of their own, which
  // takes the user's identity and a creation mask of 0 for itself alone:
  // the process's other threads stay root and its mask stays as it was.
  // Whatever way the thread's work is left (an allocation failure
  // included), its identity is given back and the thread ends. A refusal
  // here goes on to end the create under way below, like every other
  // failure: a record of it left behind would have the next call recover
  // first, and answer what the recovery met instead of what its own request
  // deserves.
  const bool ran = kivo::base::RunOnOwnThread([&] {
    umask(0);  // folders and state files get exactly the modes asked for
    kivo::base::ThreadIdentity as_user;
    const std::string path = StringParam("fullpath") + "/" + StringParam(kind_.name_member);
    caldav::CalendarLocation::Place place;
    if (!SeteGUID(&as_user, &uid, &gid, &admin)) {
      // its code is set
    } else if (!location_.Judge(StringParam("fullpath").c_str(), path.c_str(), &place)) {
      // Still under the user's identity: the location is judged with their rights.
      SetError(WEBAPI_ERR_BAD_PARAMETER);
    } else {
      made = CreateData(&as_user, path, place, uid, gid, admin);
    }
  });
  if (!ran) {
    KIVO_LOG(LOG_ERR, "cannot start a thread to act as the user, reason=%s", strerror(errno));
    SetError(WEBAPI_ERR_OPERATION_FAILED);
  }
  // The folder carries its token before the entry names it, and its name
  // is synced in its parent while the new registry is, both before the
  // registry's rename (one wait on the disk for the two): the registry
  // never names a folder a power cut could take. Its record (the id's token) is appended with the
  // end of the pending create, after the registry, unsynced: should a power
  // cut lose it, the pending create on disk still says the calendar is
  // being made, recovery finds it registered and done, and the folder's
  // mark makes it known at its first use (CalendarFolder::Identify).
  const bool registered = made && folder_.MarkMade(id, token) &&
                          registry_.Add(entry, [this] { return folder_.SyncMade(); });
  identity_.Finish(token);
  if (registered) {
    result["id"] = id;
    folder_.KeepMade();  // registered: the folder stays
    identity_.Save(caldav::CalendarIdentity::Durability::kMayBeLost);
    return true;
  }
  folder_.RemoveMade();  // as root, whatever the failed step left made
  // The failure's own code is the answer; a record that cannot be written
  // now is finished by the next call's recovery.
  const int code = error_code_;
  identity_.Save();
  SetError(code);
  return false;
}

// ---- delete ---------------------------------------------------------------------

namespace {

// An id parameter element as the registry ids are compared with it; false
// for elements that have no string form (they match nothing).
bool IdText(const Json::Value& element, std::string& text) {
  if (!element.isConvertibleTo(Json::stringValue)) return false;
  text = element.asString();
  return true;
}

}  // namespace

bool CalDAVServiceHandler::DeleteCalendar() {
  if (!CHECK_PARAM_JSONARRAY("id", true)) return false;
  const Json::Value ids = request_->GetParam("id", Json::Value());
  if (ids.empty()) return true;

  caldav::CalendarRegistry::Lock lock(kind_);
  if (!LoadAndRecover()) return false;
  Json::Value calendars(Json::arrayValue);
  if (!GetCalendarInfo(calendars)) return false;

  // The ids of the registry's entries, and whether each is to go.
  std::vector<std::string> entry_ids;
  std::vector<bool> matched;
  for (Json::ArrayIndex i = 0; i < calendars.size(); ++i) {
    std::string id;
    if (!ConcateID(calendars[i], id)) return false;
    bool wanted_here = false;
    for (Json::ArrayIndex k = 0; k < ids.size() && !wanted_here; ++k) {
      std::string wanted;
      wanted_here = IdText(ids[k], wanted) && wanted == id;
    }
    entry_ids.push_back(id);
    matched.push_back(wanted_here);
  }
  // A calendar whose name now stands for a folder that is not its own
  // refuses the whole delete, before anything is touched.
  for (Json::ArrayIndex i = 0; i < calendars.size(); ++i) {
    if (matched[i] &&
        folder_.Prepare(calendars[i], entry_ids[i]) == caldav::CalendarFolder::Found::kForeign) {
      identity_.Save();  // what was adopted meanwhile stays known
      SetError(WEBAPI_ERR_OPERATION_FAILED);
      return false;
    }
  }
  Json::Value kept(Json::arrayValue);
  std::vector<std::string> gone;
  bool refused = false;
  for (Json::ArrayIndex i = 0; i < calendars.size(); ++i) {
    if (!matched[i]) {
      kept.append(calendars[i]);
      continue;
    }
    const caldav::CalendarFolder::Found found = folder_.Prepare(calendars[i], entry_ids[i]);
    if (found == caldav::CalendarFolder::Found::kForeign) {
      kept.append(calendars[i]);  // swapped since the check: left as it is
      SetError(WEBAPI_ERR_OPERATION_FAILED);
      refused = true;
      continue;
    }
    if (found == caldav::CalendarFolder::Found::kOwn && !folder_.Remove(entry_ids[i])) {
      return false;  // the removal could not be recorded: not begun
    }
    gone.push_back(entry_ids[i]);
  }
  if (!WriteCalendarInfo(kept)) return false;
  const std::string login = request_->GetLoginUserName();
  for (const std::string& id : gone) {
    KIVO_LOG(LOG_NOTICE, "%s %s deleted by %s", kind_.noun, id.c_str(), login.c_str());
    std::string token;
    if (identity_.TokenOf(id, &token)) identity_.Finish(token);
    identity_.Forget(id);
  }
  return identity_.Save() && !refused;
}

// ---- set --------------------------------------------------------------------------

bool CalDAVServiceHandler::CheckEditParam() {
  for (const char* name : {"id", "destination", kind_.name_member, "fullpath", "share"}) {
    if (!CHECK_PARAM_STRING(name, true)) return false;
  }
  return true;
}

bool CalDAVServiceHandler::EditCalendar(Json::Value& result) {
  Json::Value calendars(Json::arrayValue);
  if (!CheckEditParam()) return false;

  caldav::CalendarRegistry::Lock lock(kind_);
  if (!LoadAndRecover()) return false;
  bool found = false;
  if (!GetCalendarInfo(calendars, &found)) return false;
  if (!found) {
    KIVO_LOG(LOG_ERR, "no file SZF_CALENDAR_INFO");
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }

  const std::string wanted = StringParam("id");
  Json::ArrayIndex i = 0;
  for (; i < calendars.size(); ++i) {
    std::string id;
    if (!ConcateID(calendars[i], id)) return false;
    if (id == wanted) break;
  }
  if (i == calendars.size()) {
    KIVO_LOG(LOG_WARNING, "Doesn't found ID %s", wanted.c_str());
    SetError(WEBAPI_ERR_BAD_PARAMETER);
    return false;
  }

  if (!EditSingleCalendar(calendars[i])) return false;
  std::string new_id;
  if (!ConcateID(calendars[i], new_id)) return false;
  if (!WriteCalendarInfo(calendars)) {
    // A folder moved stays recorded as a move under way: the next call
    // brings the registry along.
    KIVO_LOG(LOG_ERR, "Cannot write the infor");
    return false;
  }
  std::string token;
  if (identity_.TokenOf(wanted, &token)) {
    identity_.Forget(wanted);
    identity_.Record(new_id, token);
    if (!token.empty()) identity_.Finish(token);
  }
  if (!identity_.Save()) return false;
  result["id"] = new_id;
  return true;
}

bool CalDAVServiceHandler::EditSingleCalendar(Json::Value& entry) {
  const std::string fullpath = StringParam("fullpath");
  Json::Value new_entry;
  if (!GetInputParam2Json(new_entry)) return false;

  std::string target;
  if (!fullpath.empty()) {
    target = fullpath + "/" + StringParam(kind_.name_member);
  } else if (!GetFullPath(new_entry, target)) {
    return false;
  }

  const std::string parent = target.substr(0, target.rfind('/'));
  if (!IsPathExist(parent.c_str())) {
    KIVO_LOG(LOG_WARNING, "Path [%s] nonexist", parent.c_str());
    SetError(WEBAPI_ERR_FOLDER_MISSING);
    return false;
  }
  caldav::CalendarLocation::Place to;
  if (!location_.Judge(parent.c_str(), target.c_str(), &to)) {
    SetError(WEBAPI_ERR_BAD_PARAMETER);
    return false;
  }
  if (IsPathExist(target.c_str())) {
    KIVO_LOG(LOG_WARNING, "Path [%s] exist", target.c_str());
    SetError(WEBAPI_ERR_TARGET_EXISTS);
    return false;
  }

  std::string current, id, new_id;
  if (!GetFullPath(entry, current) || !ConcateID(entry, id) || !ConcateID(new_entry, new_id)) {
    return false;
  }
  // The target is known to be free, so an equal current path means the
  // folder itself is gone: only the registry changes. Otherwise only the
  // calendar's own folder moves, into the directory the check above
  // resolved, never onto or into a target that appeared since.
  if (current != target) {
    const caldav::CalendarFolder::Found found = folder_.Prepare(entry, id);
    if (found == caldav::CalendarFolder::Found::kForeign) {
      identity_.Save();
      SetError(WEBAPI_ERR_OPERATION_FAILED);
      return false;
    }
    if (found != caldav::CalendarFolder::Found::kOwn || !folder_.Move(id, new_id, new_entry, to)) {
      KIVO_LOG(LOG_ERR, "cannot mv folder");
      SetError(WEBAPI_ERR_OPERATION_FAILED);
      return false;
    }
  }
  entry = new_entry;
  return true;
}

// ---- the registry -------------------------------------------------------------------

bool CalDAVServiceHandler::GetCalendarInfo(Json::Value& calendars, bool* found) {
  return registry_.Read(calendars, found);
}

bool CalDAVServiceHandler::WriteCalendarInfo(Json::Value& calendars) {
  return registry_.Write(calendars);
}

bool CalDAVServiceHandler::ConcateID(const Json::Value& entry, std::string& id) {
  return registry_.Id(entry, id);
}

bool CalDAVServiceHandler::AddCalendarItemToInfo(const Json::Value& entry) {
  return registry_.Add(entry);
}

// ---- locations and request input ------------------------------------------------------

bool CalDAVServiceHandler::IsPathExist(const char* path) {
  return caldav::CalendarLocation::Exists(path);
}

bool CalDAVServiceHandler::IsPathValid(const char* parent, const char* path) {
  return location_.Judge(parent, path, nullptr);
}

bool CalDAVServiceHandler::IsUserNamedHomesExist() {
  return caldav::CalendarLocation::HomesUserExists();
}

bool CalDAVServiceHandler::GetFullPath(const Json::Value& entry, std::string& path) {
  return location_.FullPath(entry, path);
}

bool CalDAVServiceHandler::UpdateHomeDest(Json::Value& entry) {
  location_.ApplyHomeAlias(entry);
  return true;
}

bool CalDAVServiceHandler::ConcateHomes(const std::string& destination,
                                        std::string& new_destination) {
  return caldav::CalendarLocation::PrefixHomes(destination, new_destination);
}

bool CalDAVServiceHandler::UpdateHomesDest(Json::Value& entry) {
  return location_.UpgradeHomes(entry);
}

bool CalDAVServiceHandler::GetInputParam2Json(Json::Value& entry) {
  if (!request_->HasParam("destination") || !request_->HasParam(kind_.name_member) ||
      !request_->HasParam("share")) {
    KIVO_LOG(LOG_WARNING, "Wrong parameter");
    SetError(WEBAPI_ERR_BAD_PARAMETER);
    return false;
  }
  entry = location_.EntryOf(StringParam("destination"), StringParam(kind_.name_member),
                            StringParam("share"));
  return true;
}

// ---- folders on disk ----------------------------------------------------------------------

namespace {

// The web API's admin flag: 1 a member of the administrators' group, -1
// the test failed, anything else not a member.
int AdminFlag(caldav::Maker::Admin admin) {
  switch (admin) {
    case caldav::Maker::Admin::kMember:
      return 1;
    case caldav::Maker::Admin::kTestFailed:
    case caldav::Maker::Admin::kUnknown:
      return -1;
    case caldav::Maker::Admin::kNotMember:
      break;
  }
  return 0;
}

caldav::Maker MakerOf(uid_t uid, gid_t gid, int admin) {
  caldav::Maker maker;
  maker.uid = uid;
  maker.gid = gid;
  maker.admin = admin == 1    ? caldav::Maker::Admin::kMember
                : admin == -1 ? caldav::Maker::Admin::kTestFailed
                              : caldav::Maker::Admin::kNotMember;
  return maker;
}

}  // namespace

bool CalDAVServiceHandler::SeteGUID(kivo::base::ThreadIdentity* as_user, unsigned int* uid,
                                    unsigned int* gid, int* admin) {
  if (uid == nullptr || gid == nullptr || admin == nullptr) {
    return folder_.ActAsMaker(as_user, request_->GetLoginUserName(), nullptr);
  }
  caldav::Maker maker;
  const bool acting = folder_.ActAsMaker(as_user, request_->GetLoginUserName(), &maker);
  if (maker.admin == caldav::Maker::Admin::kUnknown) return acting;  // the user was not found
  *uid = maker.uid;
  *gid = maker.gid;
  *admin = AdminFlag(maker.admin);
  return acting;
}

bool CalDAVServiceHandler::MKCalendarDIR(kivo::base::ThreadIdentity* as_user,
                                         const std::string& path,
                                         const caldav::CalendarLocation::Place& place,
                                         bool root_for_homes, int uid, int gid, int admin) {
  return folder_.Make(as_user, path, place, root_for_homes,
                      MakerOf(static_cast<uid_t>(uid), static_cast<gid_t>(gid), admin));
}

// Runs while acting as the user; a folder left made on failure is the
// caller's to remove, as root, once the scope has ended.
bool CalDAVServiceHandler::CreateData(kivo::base::ThreadIdentity* as_user, std::string path,
                                      const caldav::CalendarLocation::Place& place,
                                      unsigned int uid, unsigned int gid, int admin) {
  const std::string share = StringParam("share");
  if (IsPathExist(path.c_str())) {
    KIVO_LOG(LOG_WARNING, "Path [%s] exist", path.c_str());
    SetError(WEBAPI_ERR_TARGET_EXISTS);
    return false;
  }
  return MKCalendarDIR(as_user, path, place, share == "homes" || share == "home",
                       static_cast<int>(uid), static_cast<int>(gid), admin) &&
         folder_.MakeStateFiles(path, uid, gid);
}

bool CalDAVServiceHandler::GetCalendarStatus(const Json::Value& entry, std::string& status) {
  std::string id;
  if (!ConcateID(entry, id)) return false;
  status = folder_.Status(entry, id);
  return true;
}

void CalDAVServiceHandler::RemoveCalFolder(const Json::Value& entry) {
  std::string id;
  if (ConcateID(entry, id) && folder_.Prepare(entry, id) == caldav::CalendarFolder::Found::kOwn) {
    folder_.Remove(id);
  }
}

#include "share/share_access.h"

#include <vector>

#include "base/root_files.h"
#include "base/share_table.h"
#include "kivo/error_codes.h"
#include "kivo/handler_conventions.h"
#include "kivo/log.h"
#include "share/share_access_store.h"
#include "share/share_entries.h"
#include "share/team_acl.h"

namespace {
constexpr char kLogUnit[] = "share_access";
constexpr char kHomes[] = "homes";

Json::Value ListJson(const std::set<std::string>& list) {
  Json::Value array(Json::arrayValue);
  for (const std::string& entry : list) array.append(entry);
  return array;
}

int CodeOf(share::EntryFault fault) {
  switch (fault) {
    case share::EntryFault::kMalformed:
      return SHARE_ERR_MALFORMED_ENTRY;
    case share::EntryFault::kUnknownAccount:
      return SHARE_ERR_UNKNOWN_ACCOUNT;
    case share::EntryFault::kUnknownGroup:
      return SHARE_ERR_UNKNOWN_GROUP;
    case share::EntryFault::kTooLong:
      return SHARE_ERR_LIST_TOO_LONG;
    case share::EntryFault::kOk:
      break;
  }
  return 0;
}
}  // namespace

ShareAccessHandler::ShareAccessHandler(KIVO::APIRequest* request, KIVO::APIResponse* response)
    : request_(request), response_(response), error_code_(0) {}

void ShareAccessHandler::List() {
  Json::Value result;
  if (ListShares(&result)) {
    response_->SetSuccess(std::move(result));
  } else {
    ReportError();
  }
}

void ShareAccessHandler::Set() {
  if (SetShare()) {
    response_->SetSuccess(Json::Value());
  } else {
    ReportError();
  }
}

bool ShareAccessHandler::ListShares(Json::Value* result) {
  kivo::base::ShareTable shares;
  const kivo::base::ShareTableRead read = kivo::base::ReadShareTable(&shares);
  if (read != kivo::base::ShareTableRead::kRead && read != kivo::base::ShareTableRead::kMissing) {
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  share::AccessStore store;
  const share::AccountBook book;
  if (!share::ReadAccessStore(&store) || !book.ok()) {
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  Json::Value& list = (*result)["shares"] = Json::Value(Json::arrayValue);
  for (const auto& [name, dir] : shares) {
    Json::Value item(Json::objectValue);
    item["share"] = name;
    item["path"] = dir;
    item["homes"] = name == kHomes;
    const auto it = store.find(name);
    const share::AccessLists lists = it == store.end() ? share::AccessLists() : it->second;
    item["read"] = ListJson(lists.read);
    item["write"] = ListJson(lists.write);
    list.append(item);
  }
  Json::Value& groups = (*result)["groups"] = Json::Value(Json::arrayValue);
  for (const std::string& group : book.GroupNames()) groups.append(group);
  return true;
}

bool ShareAccessHandler::ParamList(const char* name, std::vector<std::string>* entries) {
  if (!conventions::CheckParam(*request_, name, true, &Json::Value::isArray, kLogUnit, __LINE__,
                               this)) {
    return false;
  }
  for (const Json::Value& entry : request_->GetParam(name, Json::Value())) {
    if (!entry.isString()) {
      KIVO_LOG(LOG_WARNING, "%s holds a value that is no name", name);
      SetError(WEBAPI_ERR_BAD_PARAMETER);
      return false;
    }
    entries->push_back(entry.asString());
  }
  return true;
}

bool ShareAccessHandler::SetShare() {
  std::vector<std::string> read_param, write_param;
  if (!conventions::CheckParam(*request_, "share", true, &Json::Value::isString, kLogUnit, __LINE__,
                               this) ||
      !ParamList("read", &read_param) || !ParamList("write", &write_param)) {
    return false;
  }
  const std::string name = request_->GetParam("share", Json::Value()).asString();
  kivo::base::ShareTable shares;
  kivo::base::ReadShareTable(&shares);
  const auto share_it = shares.find(name);
  if (share_it == shares.end()) {
    KIVO_LOG(LOG_WARNING, "no share %s", name.c_str());
    SetError(SHARE_ERR_UNKNOWN_SHARE);
    return false;
  }
  // Each account's home is its own: no list may open it to others.
  if (name == kHomes) {
    KIVO_LOG(LOG_WARNING, "the homes share takes no lists");
    SetError(SHARE_ERR_HOMES);
    return false;
  }
  const share::AccountBook book;
  if (!book.ok()) {
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  share::AccessLists lists;
  std::string culprit;
  for (auto [entries, list] :
       {std::make_pair(&read_param, &lists.read), std::make_pair(&write_param, &lists.write)}) {
    const share::EntryFault fault = share::CheckList(*entries, book, list, &culprit);
    if (fault != share::EntryFault::kOk) {
      KIVO_LOG(LOG_WARNING, "%s: refused list entry '%s'", name.c_str(), culprit.c_str());
      SetError(CodeOf(fault));
      return false;
    }
  }
  share::TeamGroups groups;
  for (const std::string& entry : lists.read) {
    gid_t gid;
    if (entry[0] == '@' && book.GroupId(entry.substr(1), &gid)) groups[gid] = false;
  }
  for (const std::string& entry : lists.write) {
    gid_t gid;
    if (entry[0] == '@' && book.GroupId(entry.substr(1), &gid)) groups[gid] = true;
  }

  const std::string path = share::AccessStorePath();
  if (!kivo::base::MakeParentDirs(path)) {
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  kivo::base::FileLock lock(kivo::base::LockPathFor(path));
  share::AccessStore store;
  if (!lock.locked() || !share::ReadAccessStore(&store)) {
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  store[name] = lists;
  kivo::base::ReplaceOptions options;
  options.new_mode = 0644;
  options.fresh = true;
  if (!kivo::base::ReplaceFile(path, share::AccessStoreText(store), options)) {
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  const std::string user = request_->GetLoginUserName();
  KIVO_LOG(LOG_NOTICE, "access lists of share %s set by %s", name.c_str(), user.c_str());
  // The lists are in force from here; the walk gives the listed groups the
  // file system's side of them. It runs under the lock, so that the last
  // set of a share is also the last walk of its tree.
  share::WalkStats stats;
  if (!share::PrepareTeamFolder(share_it->second, groups, &stats)) {
    SetError(WEBAPI_ERR_OPERATION_FAILED);
    return false;
  }
  KIVO_LOG(LOG_INFO, "share %s: %zu folders and %zu files prepared, %zu objects left alone",
           name.c_str(), stats.folders, stats.files, stats.left_alone);
  return true;
}

void ShareAccessHandler::SetError(int code) { conventions::RecordError(error_code_, code); }

void ShareAccessHandler::ReportError() {
  conventions::ReportError(kLogUnit, __LINE__, error_code_, response_);
}

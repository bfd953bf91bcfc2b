// ShareAccessHandler serves KIVO.Core.FileServ.WebDAV.Share: which accounts
// and groups may read and which may write each share over WebDAV.
//
// `list` answers every share of the share table with its folder and its
// two lists, and the root's groups for the page's picker. `set` judges a
// share's new lists (share_entries.h), writes the store (share_access_store.h)
// and prepares the share's folder tree for the listed groups (team_acl.h),
// all under the store's writer lock, so that two sets of one share end
// with the tree the store describes. The daemons enforce the lists; this
// handler only keeps them. Administrators only (the module's descriptor).
//
// A set killed after the store is written and before the walk ends leaves
// the lists in force and the tree partly prepared: the walk brings any
// tree to the lists whatever it finds, and runs again at the next set of
// that share (sending the same lists again finishes it).
//
// One object serves one call; the last error code recorded is reported
// (kivo/handler_conventions.h).

#ifndef KIVO_SHARE_SHARE_ACCESS_H_
#define KIVO_SHARE_SHARE_ACCESS_H_

#include <json/json.h>

#include <set>
#include <string>

#include "kivo/kivo_api.h"

// The codes of this API beside the shared ones (1704, 1705).
enum ShareAccessError {
  SHARE_ERR_UNKNOWN_SHARE = 1741,    // no share of that name
  SHARE_ERR_HOMES = 1742,            // homes stay private: no lists
  SHARE_ERR_MALFORMED_ENTRY = 1743,  // not an account or "@group" name, or repeated
  SHARE_ERR_UNKNOWN_ACCOUNT = 1744,  // no such account
  SHARE_ERR_UNKNOWN_GROUP = 1745,    // no such group
  SHARE_ERR_LIST_TOO_LONG = 1746,    // more than 256 entries in one list
};

class ShareAccessHandler {
 public:
  ShareAccessHandler(KIVO::APIRequest* request, KIVO::APIResponse* response);

  ShareAccessHandler(const ShareAccessHandler&) = delete;
  ShareAccessHandler& operator=(const ShareAccessHandler&) = delete;

  // Web API methods: each answers the response exactly once.
  void List();
  void Set();

  void SetError(int code);
  void ReportError();

 private:
  bool ListShares(Json::Value* result);
  bool SetShare();
  // The parameter `name` as a list of strings; false (1705) otherwise.
  bool ParamList(const char* name, std::vector<std::string>* entries);

  KIVO::APIRequest* request_;
  KIVO::APIResponse* response_;
  int error_code_;
};

#endif  // KIVO_SHARE_SHARE_ACCESS_H_

#include "host/webapi/share_choices.h"

#include <sys/stat.h>

#include "base/share_table.h"
#include "host/accounts/accounts.h"
#include "kivo/kivo_platform.h"

namespace host {

namespace {

Json::Value Choice(const std::string& share, const std::string& path) {
  Json::Value choice(Json::objectValue);
  choice["share"] = share;
  choice["destination"] = share;
  choice["path"] = path;
  return choice;
}

// Whether `account` could make a folder in `dir`: the permission class that
// applies to it must grant write and search.
bool MayWriteInto(const Account& account, const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  mode_t bits = S_IWOTH | S_IXOTH;
  if (st.st_uid == account.uid) {
    bits = S_IWUSR | S_IXUSR;
  } else if (st.st_gid == account.gid) {
    bits = S_IWGRP | S_IXGRP;
  }
  return (st.st_mode & bits) == bits;
}

}  // namespace

Json::Value ShareChoices(const std::string& account, bool is_admin) {
  Json::Value result(Json::objectValue);
  Json::Value& choices = result["shares"] = Json::Value(Json::arrayValue);
  Account record;
  const bool known = LookupAccount(account, &record);
  // The home the module's home alias names: the account's folder in the
  // "homes" share, whatever the account's own home field says.
  std::string homes;
  if (known && ShareDirectory("homes", &homes) && !homes.empty()) {
    choices.append(Choice("home", homes + "/" + account));
  }
  kivo::base::ShareTable shares;
  if (kivo::base::ReadShareTable(&shares) != kivo::base::ShareTableRead::kRead) return result;
  for (const auto& [name, dir] : shares) {
    if (!is_admin && (name == "homes" || !known || !MayWriteInto(record, dir))) continue;
    choices.append(Choice(name, dir));
  }
  return result;
}

bool ShareDirectory(const std::string& name, std::string* dir) {
  PKIVOSHARE share = nullptr;
  const bool found = KIVOShareGet(name.c_str(), &share) == 0 && share != nullptr;
  if (found) *dir = share->path != nullptr ? share->path : "";
  if (share != nullptr) KIVOShareFree(share);
  return found;
}

}  // namespace host

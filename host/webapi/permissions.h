// Who may call what: the permission descriptor installed beside a module
// (KIVO.Core.FileServ.WebDAV.lib for KIVO.Core.FileServ.WebDAV.so).
//
// The descriptor is a JSON object: API name -> version (decimal text) ->
// method -> "admin" (members of "administrators") or "user" (every logged-in
// user). A method the module serves but the descriptor does not name is
// refused to everybody, so a new method stays closed until someone decides
// who may call it.

#ifndef KIVO_HOST_PERMISSIONS_H_
#define KIVO_HOST_PERMISSIONS_H_

#include <map>
#include <string>
#include <tuple>

namespace host {

enum class Audience { kNobody, kAdmin, kUser };

class Permissions {
 public:
  // Reads and checks the descriptor. False with a message in *error for an
  // unreadable file, bad JSON, a version that is not a decimal integer, or an
  // audience other than "admin" and "user"; the table is then empty, so a
  // descriptor that fails halfway grants nothing.
  bool Load(const std::string& path, std::string* error);
  // The same from text (what Load does after reading the file).
  bool Parse(const std::string& text, std::string* error);

  Audience Lookup(const std::string& api, long version, const std::string& method) const;

 private:
  std::map<std::tuple<std::string, long, std::string>, Audience> table_;
};

// True when an account (an administrator or not) may call a method open to
// `audience`.
bool MayCall(Audience audience, bool is_admin);

}  // namespace host

#endif  // KIVO_HOST_PERMISSIONS_H_

// Where the administration page may offer to put a new calendar. A calendar
// create names its parent folder twice, as a share-relative "destination"
// and as an absolute "fullpath"; the page cannot know the second, and the
// module's APIs list no shares. This file answers, for one account, which
// shares it may pick and the folder each stands for. It reads the share
// table and stats share folders; it changes nothing and never calls the
// module.

#ifndef KIVO_HOST_SHARE_CHOICES_H_
#define KIVO_HOST_SHARE_CHOICES_H_

#include <json/json.h>

#include <string>

namespace host {

// {"shares": [{"share", "destination", "path"}, ...]}: first the home alias
// ("home", the account's own home folder) when the account has one, then,
// for an administrator, every share; for anybody else the shares other than
// "homes" whose folder the account may write into (owner, primary group or
// other permission bits). Runs with root's view of the files.
Json::Value ShareChoices(const std::string& account, bool is_admin);

// A share's directory as the platform looks it up (KIVOShareGet); false
// without such a share.
bool ShareDirectory(const std::string& name, std::string* dir);

}  // namespace host

#endif  // KIVO_HOST_SHARE_CHOICES_H_

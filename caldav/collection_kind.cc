#include "caldav/collection_kind.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "kivo/kivo_paths.h"

namespace caldav {

const CollectionKind kCalendars = {
    "KIVO.Core.FileServ.WebDAV.CalDAV.Calendar",
    "calendar",
    "calendarname",
    SZF_CALENDAR_INFO,
    "/usr/kivo/etc/.calendar.info.lock",
    "/usr/kivo/etc/calendar.ids",
    "trusted.kivo.calendar",
    "calendar",
};

const CollectionKind kAddressBooks = {
    "KIVO.Core.FileServ.WebDAV.CardDAV.AddressBook",
    "address book",
    "addressbookname",
    SZF_ADDRESSBOOK_INFO,
    "/usr/kivo/etc/.addressbook.info.lock",
    "/usr/kivo/etc/addressbook.ids",
    "trusted.kivo.addressbook",
    "addressbook",
};

bool CarriesOtherKind(const CollectionKind& kind, int fd) {
  for (const CollectionKind* other : {&kCalendars, &kAddressBooks}) {
    if (other == &kind) continue;
    ssize_t n = fgetxattr(fd, other->attribute, nullptr, 0);
    if (n < 0 && errno == EBADF) {  // an O_PATH descriptor takes no attribute calls
      const int readable = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (readable < 0) return true;  // unknown: never taken for one's own
      n = fgetxattr(readable, other->attribute, nullptr, 0);
      close(readable);
    }
    if (n >= 0 || (errno != ENODATA && errno != ENOTSUP && errno != EOPNOTSUPP)) return true;
  }
  return false;
}

}  // namespace caldav

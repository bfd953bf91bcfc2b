// CollectionKind: what tells one kind of DAV collection the module keeps
// (calendars, address books) from another.
//
// Both kinds follow one set of rules: a folder in a share or a home, made
// with the user's identity and holding a ".DAV" store; an entry in a
// registry naming it by share, destination and name; a token in a trusted
// attribute of the folder that makes it known by identity; changes under
// way finished or undone by the next call. What differs is only where each
// kind keeps these and what it calls them, which is this description. The
// registry, location, identity and folder parts and the collection handler
// take one and never mix two: a kind's ids resolve against its own registry
// alone, and a folder carrying another kind's token is never taken for one
// of its own.
//
// The descriptions are constants of the module: any thread.

#ifndef KIVO_CALDAV_COLLECTION_KIND_H_
#define KIVO_CALDAV_COLLECTION_KIND_H_

namespace caldav {

struct CollectionKind {
  const char* api;          // the web API of its list, create, delete and set
  const char* noun;         // what a log line calls one
  const char* name_member;  // the registry member and request parameter of its name
  const char* registry;     // the registry file, below the root
  const char* lock_file;    // the registry's lock, beside it
  const char* ids_file;     // the identity record, below the root
  const char* attribute;    // the attribute its folders carry their token in
  const char* changes;      // its kind in the record of changes under way
};

extern const CollectionKind kCalendars;
extern const CollectionKind kAddressBooks;

// Whether the folder open at `fd` carries the token attribute of a kind
// other than `kind` (a readable descriptor, or an O_PATH one).
bool CarriesOtherKind(const CollectionKind& kind, int fd);

}  // namespace caldav

#endif  // KIVO_CALDAV_COLLECTION_KIND_H_

// CardDAV in the module: the switch KIVO.Core.FileServ.WebDAV.CardDAV and
// the address books KIVO.Core.FileServ.WebDAV.CardDAV.AddressBook.
//
// Neither has rules of its own. The switch is the CalDAV switch's handler
// made with the key "runCardDav" and the CardDAV log events (the same
// checks, the same restarts; the CalDAV daemon serves both kinds and runs
// while either switch is on). The address books are the calendar handler
// made for caldav::kAddressBooks: their own registry, identity record and
// folders' attribute, and the calendars' rules for everything else
// (locations, the folder made as the user, identity, changes under way).
//
// One object serves one call, on one thread, as the handlers it wraps.

#ifndef KIVO_CARDDAV_CARDDAV_H_
#define KIVO_CARDDAV_CARDDAV_H_

#include "caldav/caldav.h"
#include "caldav/caldav_calendar.h"
#include "kivo/kivo_api.h"

extern const DavSwitch kCardDAVSwitch;

class CardDAVConfServiceHandler {
 public:
  CardDAVConfServiceHandler(KIVO::APIRequest* request, KIVO::APIResponse* response);

  CardDAVConfServiceHandler(const CardDAVConfServiceHandler&) = delete;
  CardDAVConfServiceHandler& operator=(const CardDAVConfServiceHandler&) = delete;

  // Web API methods: each answers the response exactly once.
  void Get() { switch_.Get(); }
  void Set() { switch_.Set(); }
  void ReportError() { switch_.ReportError(); }

 private:
  CalDAVConfServiceHandler switch_;
};

class AddressBookServiceHandler {
 public:
  AddressBookServiceHandler(KIVO::APIRequest* request, KIVO::APIResponse* response);

  AddressBookServiceHandler(const AddressBookServiceHandler&) = delete;
  AddressBookServiceHandler& operator=(const AddressBookServiceHandler&) = delete;

  // Web API methods: each answers the response exactly once.
  void List() { books_.List(); }
  void Create() { books_.Create(); }
  void Delete() { books_.Delete(); }
  void Set() { books_.Set(); }
  void ReportError() { books_.ReportError(); }

 private:
  CalDAVServiceHandler books_;
};

#endif  // KIVO_CARDDAV_CARDDAV_H_

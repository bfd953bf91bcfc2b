// The CardDAV module, KIVO.Core.FileServ.WebDAV.CardDAV.so: the CardDAV
// switch and the address books. Its own table and descriptor
// (KIVO.Core.FileServ.WebDAV.CardDAV.lib), so that the first module's table
// keeps its eight rows; the host loads it beside the others. Its calls run
// in the first module's frame (module/entry_frame.h): the switch's set is a
// settings change recorded as under way, as the CalDAV switch's is.

#include "carddav/carddav.h"
#include "kivo/api_table.h"
#include "module/entry_frame.h"

#define KIVO_EXPORT __attribute__((visibility("default")))

using entry_frame::RunOnce;
using entry_frame::RunSettingsChange;

namespace {
constexpr char kCardDAV[] = "KIVO.Core.FileServ.WebDAV.CardDAV";
constexpr char kAddressBook[] = "KIVO.Core.FileServ.WebDAV.CardDAV.AddressBook";
// The units of the handlers' own lines: the code they run is the CalDAV
// switch's and the calendars'.
constexpr char kCardDAVUnit[] = "caldav";
constexpr char kAddressBookUnit[] = "caldav_calendar";
}  // namespace

extern "C" {

KIVO_EXPORT void CardDAVConfGet(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<CardDAVConfServiceHandler, &CardDAVConfServiceHandler::Get, kCardDAVUnit>(request,
                                                                                    response);
}

KIVO_EXPORT void CardDAVConfSet(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunSettingsChange<CardDAVConfServiceHandler, &CardDAVConfServiceHandler::Set, kCardDAVUnit,
                    kCardDAV>(request, response);
}

KIVO_EXPORT void CardDAVAddressBookList(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<AddressBookServiceHandler, &AddressBookServiceHandler::List, kAddressBookUnit>(request,
                                                                                         response);
}

KIVO_EXPORT void CardDAVAddressBookCreate(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<AddressBookServiceHandler, &AddressBookServiceHandler::Create, kAddressBookUnit>(
      request, response);
}

KIVO_EXPORT void CardDAVAddressBookDelete(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<AddressBookServiceHandler, &AddressBookServiceHandler::Delete, kAddressBookUnit>(
      request, response);
}

KIVO_EXPORT void CardDAVAddressBookSet(KIVO::APIRequest* request, KIVO::APIResponse* response) {
  RunOnce<AddressBookServiceHandler, &AddressBookServiceHandler::Set, kAddressBookUnit>(request,
                                                                                        response);
}

KIVO_EXPORT extern const APITableEntry gTable[] = {
    {kCardDAV, 1, "get", CardDAVConfGet},
    {kCardDAV, 1, "set", CardDAVConfSet},
    {kAddressBook, 1, "list", CardDAVAddressBookList},
    {kAddressBook, 1, "create", CardDAVAddressBookCreate},
    {kAddressBook, 1, "delete", CardDAVAddressBookDelete},
    {kAddressBook, 1, "set", CardDAVAddressBookSet},
    {nullptr, 0, nullptr, nullptr},
};

KIVO_EXPORT const APITableEntry* GetAPITable(void) { return gTable; }

}  // extern "C"

#include "carddav/carddav.h"

#include "caldav/collection_kind.h"
#include "kivo/error_codes.h"

const DavSwitch kCardDAVSwitch = {"runCardDav", kLogEventCardDAVOn, kLogEventCardDAVOff};

CardDAVConfServiceHandler::CardDAVConfServiceHandler(KIVO::APIRequest* request,
                                                     KIVO::APIResponse* response)
    : switch_(request, response, kCardDAVSwitch) {}

AddressBookServiceHandler::AddressBookServiceHandler(KIVO::APIRequest* request,
                                                     KIVO::APIResponse* response)
    : books_(request, response, caldav::kAddressBooks) {}

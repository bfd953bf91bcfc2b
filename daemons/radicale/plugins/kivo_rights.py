"""The rights plug-in of the CalDAV daemon ([rights] type = kivo_rights).

A user reads the root collection and the own principal, reads a calendar
of the own view (kivo_service.Service.view: the kernel lets the user read
its folder) and writes into it when the kernel lets the user write the
folder. A calendar itself is never the target of a write but for a change
of its properties: it is made, renamed and removed through the web API.
Items take the rights of their calendar (Radicale asks about the parent).
Nothing for anonymous requests, another user's principal, or a calendar
outside the view.
"""

from radicale import rights

import kivo_service
from kivo_service import Service, path_parts


class Rights(rights.BaseRights):

    def __init__(self, configuration) -> None:
        super().__init__(configuration)
        self._service = Service.of(configuration)

    def authorization(self, user: str, path: str) -> str:
        if not user:
            return ""
        parts = path_parts(path)
        if not parts:
            return "R"
        if parts[0] != user or len(parts) > 2:
            return ""  # items take the rights of their calendar
        if len(parts) == 1:
            return "R"
        calendar = self._service.view(user).get(parts[1])
        if calendar is None:
            return ""
        method, target = kivo_service.request_target(path)
        targeted = path_parts(target) == parts
        if not calendar.writable or (targeted and method != "PROPPATCH"):
            return "r"
        return "rw"

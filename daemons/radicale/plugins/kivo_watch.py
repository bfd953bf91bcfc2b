"""What changed in the calendar folders since the daemon last looked.

A calendar of thousands of items must not be read whole to answer one
question about it (a new item's PUT asks whether its UID is taken). What
the daemon remembers of a folder is only as good as its knowledge of every
change since, and file stamps cannot give that: two changes within one
clock tick, of one size, leave the same stamp. The kernel can: one inotify
instance watches every folder the daemon remembers something of, and every
change of an entry (created, removed, renamed, written, its owner or mode
changed) queues the entry's name before the change's system call returns.
Draining the queue before answering therefore sees every change made
before the request, whoever made it and however fast.

A folder is watched as the user who asked first (the kernel checks that
user's right to read it, through a descriptor the caller already checked);
a watch only reports names and never grants a read: whoever uses what is
remembered still opens the folder as themself on every request.

The queue can overflow, and a folder can lose its watch (removed, or the
kernel's limit of watches reached): then everything remembered of it is
forgotten (`forget` callbacks), and a folder that cannot be watched is
remembered nothing of (`watch` answers None: read it whole).

Thread-safe: one lock around the instance and the watches; callbacks run
with it held and must not call back in.
"""

import ctypes
import os
import struct
import threading
from typing import Callable, Dict, Optional, Set, Tuple

_libc = ctypes.CDLL(None, use_errno=True)

IN_MODIFY = 0x2
IN_ATTRIB = 0x4
IN_CLOSE_WRITE = 0x8
IN_MOVED_FROM = 0x40
IN_MOVED_TO = 0x80
IN_CREATE = 0x100
IN_DELETE = 0x200
IN_DELETE_SELF = 0x400
IN_MOVE_SELF = 0x800
IN_Q_OVERFLOW = 0x4000
IN_IGNORED = 0x8000
IN_ONLYDIR = 0x1000000
IN_NONBLOCK = os.O_NONBLOCK
IN_CLOEXEC = os.O_CLOEXEC

_MASK = (IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE |
         IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR)
_EVENT = struct.Struct("iIII")

Folder = Tuple[int, int]  # device, inode
# Told a folder's changed entry names; None: forget all of the folder.
Listener = Callable[[Folder, Optional[Set[str]]], None]


class Watcher:

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._fd = -1
        self._folders: Dict[int, Folder] = {}   # watch descriptor -> folder
        self._watches: Dict[Folder, int] = {}
        self._listeners = []

    def listen(self, listener: Listener) -> None:
        with self._lock:
            self._listeners.append(listener)

    def _tell(self, folder: Folder, names: Optional[Set[str]]) -> None:
        for listener in self._listeners:
            listener(folder, names)

    def _open(self) -> bool:
        if self._fd < 0:
            fd = _libc.inotify_init1(IN_NONBLOCK | IN_CLOEXEC)
            if fd < 0:
                return False
            self._fd = fd
        return True

    def drain(self) -> None:
        """Hands every queued change to the listeners."""
        with self._lock:
            self._drain()

    def _drain(self) -> None:
        if self._fd < 0:
            return
        changed: Dict[Folder, Optional[Set[str]]] = {}
        while True:
            try:
                data = os.read(self._fd, 65536)
            except BlockingIOError:
                break
            offset = 0
            while offset + _EVENT.size <= len(data):
                wd, mask, _, length = _EVENT.unpack_from(data, offset)
                name = data[offset + _EVENT.size:offset + _EVENT.size + length]
                offset += _EVENT.size + length
                if mask & IN_Q_OVERFLOW:
                    for folder in self._watches:
                        changed[folder] = None
                    continue
                folder = self._folders.get(wd)
                if folder is None:
                    continue
                if mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF) or not length:
                    # The folder itself changed (its mode, say) or lost its watch.
                    changed[folder] = None
                    if mask & IN_IGNORED:
                        del self._folders[wd]
                        self._watches.pop(folder, None)
                    continue
                names = changed.setdefault(folder, set())
                if names is not None:
                    names.add(os.fsdecode(name.rstrip(b"\0")))
        for folder, names in changed.items():
            self._tell(folder, names)

    def watch(self, dir_fd: int, folder: Folder) -> bool:
        """Watches the folder open as `dir_fd` (checked to be `folder` by the
        caller, who acts as the user it reads for), after handing over what
        was queued. False when it cannot be watched: nothing of it may then
        be remembered."""
        with self._lock:
            self._drain()
            if folder in self._watches:
                return True
            if not self._open():
                return False
            wd = _libc.inotify_add_watch(self._fd, b"/proc/self/fd/%d" % dir_fd, _MASK)
            if wd < 0:
                return False
            self._folders[wd] = folder
            self._watches[folder] = wd
            return True


watcher = Watcher()

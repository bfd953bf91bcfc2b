"""The file-system identity of the calling thread.

The CalDAV daemon serves many users from one process. The kernel, not this
code, decides what a user may read or write in a calendar folder, so every
access to a folder is made with that user's own file-system identity: the
thread switches its supplementary groups, fsgid and fsuid, acts, and switches
back. Linux keeps these credentials per thread; the raw setgroups system call
is used because glibc's wrapper changes the groups of every thread at once.

Capabilities this needs, and nothing more (the daemon runs as its own
account with exactly these two):
  CAP_SETUID  setfsuid: act as the user; and as uid 0 to read the platform's
              files (accounts, shadow hashes, shares, calendar registry),
              which are root's and some of them readable by root alone.
  CAP_SETGID  setfsgid and setgroups: the user's primary and supplementary
              groups, so that group-shared folders are judged by the kernel.
No capability lets a switched thread override a permission: a refusal for
the user is a refusal for the daemon.

Owns: the calling thread's fs credentials. Never touches the process's real
or effective ids.
"""

import contextlib
import ctypes
import os
import threading
from typing import Iterator, NamedTuple, Tuple

_SYS_SETGROUPS = {"x86_64": 116, "aarch64": 159, "i686": 206, "armv7l": 206}

_libc = ctypes.CDLL(None, use_errno=True)
_libc.syscall.restype = ctypes.c_long
_thread = threading.local()


class Identity(NamedTuple):
    uid: int
    gid: int
    groups: Tuple[int, ...]


# The platform's files are root's.
PLATFORM = Identity(0, 0, ())
# What every thread starts as: the daemon's own account.
DAEMON = Identity(os.getuid(), os.getgid(), tuple(os.getgroups()))


def _set_groups(groups: Tuple[int, ...]) -> None:
    number = _SYS_SETGROUPS.get(os.uname().machine)
    if number is None:
        raise OSError("no per-thread setgroups on %s" % os.uname().machine)
    array = (ctypes.c_uint * max(len(groups), 1))(*groups)
    if _libc.syscall(number, len(groups), array) != 0:
        err = ctypes.get_errno()
        raise OSError(err, "setgroups: %s" % os.strerror(err))


def _set_fs_ids(uid: int, gid: int) -> None:
    # Both calls answer the previous id whatever happened; asking again
    # tells whether the switch took.
    _libc.setfsgid(gid)
    if _libc.setfsgid(gid) != gid:
        raise PermissionError("setfsgid(%d) refused" % gid)
    _libc.setfsuid(uid)
    if _libc.setfsuid(uid) != uid:
        raise PermissionError("setfsuid(%d) refused" % uid)


def _apply(identity: Identity) -> None:
    _set_groups(identity.groups)
    _set_fs_ids(identity.uid, identity.gid)


def current() -> Identity:
    return getattr(_thread, "identity", DAEMON)


@contextlib.contextmanager
def acting_as(identity: Identity) -> Iterator[None]:
    """Runs the block with `identity` and restores the previous one, also
    when the block raises. Nested uses are fine."""
    previous = current()
    if previous == identity:
        yield
        return
    try:
        _apply(identity)
        _thread.identity = identity
        yield
    finally:
        _apply(previous)
        _thread.identity = previous


_SYS_FACCESSAT2 = 439  # the same number on every architecture
_AT_FDCWD = -100
_AT_EACCESS = 0x200


def check_capabilities() -> None:
    """Raises unless this thread can switch identity and the kernel judges
    access with the switched identity (faccessat2; without it glibc would
    guess from mode bits); called once at start, so that such a daemon
    fails at once, not per request."""
    with acting_as(PLATFORM):
        pass
    if _libc.syscall(_SYS_FACCESSAT2, _AT_FDCWD, b"/", os.F_OK, _AT_EACCESS) != 0:
        err = ctypes.get_errno()
        raise OSError(err, "faccessat2: %s" % os.strerror(err))

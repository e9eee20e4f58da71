"""vxdmount.dll from Python (3.8 or later, ctypes alone).

Two layers: the raw one, with the header's structures (``VxdAttachRequest`` and the others, field
for field) and its exports through ``native()``; and calls that answer with dataclasses and raise
``VxdError``::

    import vxdmount
    result = vxdmount.attach("192.168.0.10", "iqn.2026-12.com.example:disk1",
                             progress=print)
    print(result.letters)                  # "F"
    vxdmount.detach("iqn.2026-12.com.example:disk1")

The DLL is loaded on first use (``load()`` picks another): the one that ``VXDMOUNT_DLL`` names,
else ``vxdmount.dll`` beside this file, else the one in the release's ``bin`` folder, else the
system's search. Its bitness must be Python's: the win32 zip for a 32-bit Python. Importing this
module loads nothing, so it imports on any machine.
"""

import ctypes
import os
import sys
from ctypes import (CFUNCTYPE, POINTER, Structure, c_char, c_char_p, c_int, c_ubyte, c_uint16,
                    c_uint32, c_void_p, c_wchar_p)
from dataclasses import dataclass, field
from typing import Callable, List, Optional, Sequence, Tuple, Union

__version__ = "1.5.0"

# Statuses: the numbers never change.
VXD_STATUS_OK = 0
VXD_STATUS_INVALID_ARGUMENT = 1
VXD_STATUS_SERVICE_UNAVAILABLE = 2
VXD_STATUS_PORTAL_FAILED = 3
VXD_STATUS_LOGIN_FAILED = 4
VXD_STATUS_AUTH_FAILED = 5
VXD_STATUS_NO_DEVICE = 6
VXD_STATUS_NO_LETTER = 7
VXD_STATUS_CANCELLED = 8
VXD_STATUS_NOT_ATTACHED = 9
VXD_STATUS_VOLUME_IN_USE = 10
VXD_STATUS_LOGOUT_FAILED = 11
VXD_STATUS_OUT_OF_MEMORY = 12
VXD_STATUS_INTERNAL_ERROR = 13
VXD_STATUS_DISK_OFFLINE = 14
VXD_STATUS_DISK_COLLISION = 15
VXD_STATUS_NO_VOLUME = 16
VXD_STATUS_MOUNT_FAILED = 17
VXD_STATUS_MULTIPATH_UNCLAIMED = 18
VXD_STATUS_BUFFER_TOO_SMALL = 19

VXD_ATTACH_KEEP_ON_FAILURE = 0x1
VXD_ATTACH_DISCOVERY_CHAP = 0x2
VXD_ATTACH_SET_INITIATOR_SECRET = 0x4
VXD_ATTACH_MUTUAL_CHAP = 0x8
VXD_ATTACH_BRING_ONLINE = 0x10
VXD_ATTACH_ASSIGN_LETTER = 0x20
VXD_ATTACH_MULTIPATH = 0x40
VXD_ATTACH_ONE_LUN = 0x80
VXD_ATTACH_NO_LOGIN = 0x100
VXD_DETACH_FORCE = 0x1
VXD_DETACH_REMOVE_PORTAL = 0x2
VXD_DETACH_ONE_LUN = 0x4

VXD_DISK_OFFLINE = 0x01
VXD_DISK_READ_ONLY = 0x02
VXD_DISK_BROUGHT_ONLINE = 0x04
VXD_DISK_MADE_WRITABLE = 0x08
VXD_DISK_COLLISION = 0x10
VXD_DISK_NO_VOLUME = 0x20
VXD_DISK_STATE_UNKNOWN = 0x40

STATUS_NAMES = {value: name for name, value in globals().items()
                if name.startswith("VXD_STATUS_")}

# The exports and the progress function are __cdecl on x86 too: CDLL and CFUNCTYPE, never WinDLL.
VxdProgressFunction = CFUNCTYPE(None, c_void_p, c_char_p)


# The header's unsigned long is 32 bits on Windows: c_uint32, never c_ulong (64 bits elsewhere).
class _Sized(Structure):
    """A versioned structure: ``size`` starts as the structure's own, as the header asks."""

    def __init__(self, *args, **fields):
        super().__init__(*args, **fields)
        if "size" not in fields:
            self.size = ctypes.sizeof(self)


class VxdPortal(Structure):
    _fields_ = [("address", c_char_p), ("port", c_uint16)]


class VxdAttachRequest(_Sized):
    _fields_ = [
        ("size", c_uint32),
        ("portalAddress", c_char_p),
        ("portalPort", c_uint16),
        ("targetName", c_char_p),
        ("deviceWaitMs", c_uint32),
        ("letterWaitMs", c_uint32),
        ("cancelEvent", c_void_p),
        ("progress", VxdProgressFunction),
        ("progressContext", c_void_p),
        ("flags", c_uint32),
        ("chapUserName", c_char_p),
        ("chapSecret", POINTER(c_ubyte)),
        ("chapSecretLength", c_uint32),
        ("initiatorSecret", POINTER(c_ubyte)),
        ("initiatorSecretLength", c_uint32),
        ("mountFolder", c_char_p),
        ("extraPortals", POINTER(VxdPortal)),
        ("extraPortalCount", c_uint32),
        ("lun", c_uint32),
        ("initiatorInstance", c_char_p),
        ("initiatorPortNumber", c_uint32),
    ]


class VxdAttachResult(_Sized):
    _fields_ = [
        ("size", c_uint32),
        ("status", c_int),
        ("serviceStatus", c_uint32),
        ("letters", c_char * 27),
        ("diskCount", c_uint32),
        ("diskNumbers", c_uint32 * 26),
        ("alreadyLoggedIn", c_int),
        ("diskAttributes", c_uint32 * 26),
        ("volumeCount", c_uint32),
        ("volumeNames", c_char * 50 * 8),
        ("assignedLetters", c_char * 27),
        ("pathCount", c_uint32),
        ("diskLuns", c_uint32 * 26),
    ]


class VxdDetachRequest(_Sized):
    _fields_ = [
        ("size", c_uint32),
        ("targetName", c_char_p),
        ("portalAddress", c_char_p),
        ("portalPort", c_uint16),
        ("flags", c_uint32),
        ("progress", VxdProgressFunction),
        ("progressContext", c_void_p),
        ("lun", c_uint32),
    ]


class VxdDetachResult(_Sized):
    _fields_ = [
        ("size", c_uint32),
        ("status", c_int),
        ("serviceStatus", c_uint32),
        ("letters", c_char * 27),
        ("sessionsLoggedOut", c_uint32),
        ("persistentLoginsRemoved", c_uint32),
        ("lettersInUse", c_char * 27),
    ]


class VxdListTargetsRequest(_Sized):
    _fields_ = [
        ("size", c_uint32),
        ("portalAddress", c_char_p),
        ("portalPort", c_uint16),
        ("chapUserName", c_char_p),
        ("chapSecret", POINTER(c_ubyte)),
        ("chapSecretLength", c_uint32),
        ("progress", VxdProgressFunction),
        ("progressContext", c_void_p),
    ]


_PROTOTYPES = {
    "CreateVXD": (c_int, [c_char_p, c_char_p, c_char_p, c_char_p, c_char_p]),
    "VxdAttach": (c_int, [POINTER(VxdAttachRequest), POINTER(VxdAttachResult)]),
    "VxdDetach": (c_int, [POINTER(VxdDetachRequest), POINTER(VxdDetachResult)]),
    "VxdListTargets": (c_int, [POINTER(VxdListTargetsRequest), c_char_p, POINTER(c_uint32)]),
    "VxdStatusText": (c_char_p, [c_int]),
}

_library = None
# The three kernel32 calls of a cancel event; the tests put a stand-in here.
_event_library = None


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads the DLL at ``path`` (or where the module docstring says) for every later call."""
    global _library
    candidates = [path] if path else _default_paths()
    errors = []
    for candidate in candidates:
        try:
            library = ctypes.CDLL(candidate)
        except OSError as error:
            errors.append("%s: %s" % (candidate, error))
            continue
        for name, (restype, argtypes) in _PROTOTYPES.items():
            function = getattr(library, name)
            function.restype = restype
            function.argtypes = argtypes
        _library = library
        return library
    bits = 8 * ctypes.sizeof(c_void_p)
    raise OSError("vxdmount.dll could not be loaded into this %d-bit Python (the win%d zip's "
                  "DLL is the one it loads): %s" % (bits, 32 if bits == 32 else 64,
                                                   "; ".join(errors)))


def _default_paths() -> List[str]:
    if os.environ.get("VXDMOUNT_DLL"):
        return [os.environ["VXDMOUNT_DLL"]]
    here = os.path.dirname(os.path.abspath(__file__))
    beside = os.path.join(here, "vxdmount.dll")
    release = os.path.join(here, os.pardir, os.pardir, "bin", "vxdmount.dll")
    found = [p for p in (beside, release) if os.path.isfile(p)]
    return [os.path.normpath(p) for p in found] or ["vxdmount.dll"]


def native() -> ctypes.CDLL:
    """The loaded DLL, its exports declared as in the header."""
    return _library if _library is not None else load()


def _declare_events(library):
    library.CreateEventW.restype = c_void_p
    library.CreateEventW.argtypes = [c_void_p, c_int, c_int, c_wchar_p]
    library.SetEvent.restype = c_int
    library.SetEvent.argtypes = [c_void_p]
    library.CloseHandle.restype = c_int
    library.CloseHandle.argtypes = [c_void_p]
    return library


def _events():
    global _event_library
    if _event_library is None:
        _event_library = _declare_events(ctypes.WinDLL("kernel32", use_last_error=True))
    return _event_library


class Cancel:
    """A cancel event: ``set()``, from any thread, ends the calls it was given to with
    ``VXD_STATUS_CANCELLED`` (``Cancelled``) within a tenth of a second. Close it, or use it in a
    ``with`` block, when no call uses it any more."""

    def __init__(self) -> None:
        self._handle = _events().CreateEventW(None, 1, 0, None)
        if not self._handle:
            raise OSError("CreateEventW failed (error %d)" % ctypes.get_last_error())

    @property
    def handle(self) -> int:
        return self._handle

    def set(self) -> None:
        _events().SetEvent(self._handle)

    def close(self) -> None:
        if self._handle:
            _events().CloseHandle(self._handle)
            self._handle = None

    def __enter__(self) -> "Cancel":
        return self

    def __exit__(self, *_: object) -> None:
        self.close()


class VxdError(Exception):
    """A call that did not succeed: its status, the status's name and words, and the iSCSI or
    Windows status of the step that failed (0 when none)."""

    def __init__(self, call: str, status: int, service_status: int = 0) -> None:
        self.call = call
        self.status = status
        self.status_name = STATUS_NAMES.get(status, "status %d" % status)
        self.status_text = status_text(status)
        self.service_status = service_status
        detail = self.status_name
        if service_status:
            detail += ", service status 0x%08X" % service_status
        super().__init__("%s: %s (%s)" % (call, self.status_text, detail))


class Cancelled(VxdError):
    """The call's cancel event was set: ``VXD_STATUS_CANCELLED``."""


@dataclass(frozen=True)
class Disk:
    number: int
    lun: int
    attributes: int  # VXD_DISK_...


@dataclass(frozen=True)
class AttachResult:
    letters: str
    disks: List[Disk]
    volume_names: List[str]
    assigned_letters: str  # the letters that this call gave
    path_count: int
    already_attached: bool  # the target had a session before the call


@dataclass(frozen=True)
class DetachResult:
    letters: str
    sessions_logged_out: int
    persistent_logins_removed: int
    letters_in_use: str = field(default="")


def status_text(status: int) -> str:
    return native().VxdStatusText(status).decode("ascii", "replace")


# The DLL's strings are in the ANSI code page.
_ENCODING = "mbcs" if sys.platform == "win32" else "utf-8"


def _text(value: Optional[str]) -> Optional[bytes]:
    return None if value is None else value.encode(_ENCODING)


def _decode(value: bytes) -> str:
    return value.decode(_ENCODING, "replace")


Secret = Union[bytes, bytearray, memoryview]


class _SecretCopy:
    """The module's one copy of a secret, handed to the DLL and zeroed when the call is over."""

    def __init__(self, secret: Optional[Secret]) -> None:
        self.length = 0 if secret is None else memoryview(secret).nbytes
        if self.length:
            self.buffer = (c_ubyte * self.length).from_buffer_copy(secret)
        else:
            self.buffer = (c_ubyte * 1)()

    def pointer(self):
        return ctypes.cast(self.buffer, POINTER(c_ubyte)) if self.length else None

    def wipe(self) -> None:
        ctypes.memset(self.buffer, 0, ctypes.sizeof(self.buffer))


class _Progress:
    """The progress function for one call: lines to ``report``, and its exception, which cannot
    cross the DLL's frames, kept for after the call."""

    def __init__(self, report: Optional[Callable[[str], object]]) -> None:
        self.report = report
        self.error: Optional[BaseException] = None
        self.function = VxdProgressFunction(self._line) if report else VxdProgressFunction()

    def _line(self, _context: Optional[int], line: bytes) -> None:
        if self.error is not None:
            return
        try:
            self.report(_decode(line))
        except BaseException as error:  # noqa: B902 - it must not unwind into the DLL
            self.error = error

    def raise_error(self) -> None:
        if self.error is not None:
            raise self.error


Portal = Union[str, Tuple[str, int]]


def _portal(portal: Portal) -> Tuple[bytes, int]:
    address, port = (portal, 0) if isinstance(portal, str) else portal
    return _text(address), port


def attach(portal: str, target: str, port: int = 0, *, flags: int = 0,
           chap_user: Optional[str] = None, chap_secret: Optional[Secret] = None,
           initiator_secret: Optional[Secret] = None, mount_folder: Optional[str] = None,
           extra_portals: Sequence[Portal] = (), lun: Optional[int] = None,
           initiator: Optional[str] = None, initiator_port: Optional[int] = None,
           device_wait_ms: int = 0, letter_wait_ms: int = 0,
           progress: Optional[Callable[[str], object]] = None,
           cancel: Optional[Cancel] = None) -> AttachResult:
    """``VxdAttach``. ``flags`` holds ``VXD_ATTACH_...``; ``initiator_secret`` adds
    ``VXD_ATTACH_SET_INITIATOR_SECRET``, ``extra_portals`` (addresses, or (address, port)) adds
    ``VXD_ATTACH_MULTIPATH`` and ``lun`` adds ``VXD_ATTACH_ONE_LUN``. Raises ``VxdError``, or
    ``Cancelled``; the secrets' copies are zeroed whatever the outcome."""
    if initiator_secret is not None:
        flags |= VXD_ATTACH_SET_INITIATOR_SECRET
    if extra_portals:
        flags |= VXD_ATTACH_MULTIPATH
    if lun is not None:
        flags |= VXD_ATTACH_ONE_LUN
    portals = [_portal(p) for p in extra_portals]
    portal_array = (VxdPortal * max(len(portals), 1))(*[VxdPortal(a, p) for a, p in portals])
    reporter = _Progress(progress)
    chap = _SecretCopy(chap_secret)
    mutual = _SecretCopy(initiator_secret)
    request = VxdAttachRequest(
        portalAddress=_text(portal), portalPort=port, targetName=_text(target),
        deviceWaitMs=device_wait_ms, letterWaitMs=letter_wait_ms,
        cancelEvent=cancel.handle if cancel else None, progress=reporter.function,
        flags=flags, chapUserName=_text(chap_user), chapSecret=chap.pointer(),
        chapSecretLength=chap.length, initiatorSecret=mutual.pointer(),
        initiatorSecretLength=mutual.length, mountFolder=_text(mount_folder),
        extraPortals=portal_array if portals else None, extraPortalCount=len(portals),
        lun=lun or 0, initiatorInstance=_text(initiator),
        initiatorPortNumber=0xFFFFFFFF if initiator_port is None else initiator_port)
    result = VxdAttachResult()
    try:
        native().VxdAttach(ctypes.byref(request), ctypes.byref(result))
    finally:
        chap.wipe()
        mutual.wipe()
    reporter.raise_error()
    _raise_for("VxdAttach", result.status, result.serviceStatus)
    count = min(result.diskCount, 26)
    return AttachResult(
        letters=_decode(result.letters),
        disks=[Disk(result.diskNumbers[i], result.diskLuns[i], result.diskAttributes[i])
               for i in range(count)],
        volume_names=[_decode(result.volumeNames[i].value)
                      for i in range(min(result.volumeCount, 8))],
        assigned_letters=_decode(result.assignedLetters), path_count=result.pathCount,
        already_attached=bool(result.alreadyLoggedIn))


def detach(target: str, *, flags: int = 0, portal: Optional[str] = None, port: int = 0,
           lun: Optional[int] = None,
           progress: Optional[Callable[[str], object]] = None) -> DetachResult:
    """``VxdDetach``. ``flags`` holds ``VXD_DETACH_...``; ``lun`` adds ``VXD_DETACH_ONE_LUN``."""
    if lun is not None:
        flags |= VXD_DETACH_ONE_LUN
    reporter = _Progress(progress)
    request = VxdDetachRequest(targetName=_text(target), portalAddress=_text(portal),
                               portalPort=port, flags=flags, progress=reporter.function,
                               lun=lun or 0)
    result = VxdDetachResult()
    native().VxdDetach(ctypes.byref(request), ctypes.byref(result))
    reporter.raise_error()
    _raise_for("VxdDetach", result.status, result.serviceStatus)
    return DetachResult(_decode(result.letters), result.sessionsLoggedOut,
                        result.persistentLoginsRemoved, _decode(result.lettersInUse))


def list_targets(portal: Optional[str] = None, port: int = 0, *,
                 chap_user: Optional[str] = None, chap_secret: Optional[Secret] = None,
                 progress: Optional[Callable[[str], object]] = None) -> List[str]:
    """``VxdListTargets``: the size first, then the names (again if the list grew meanwhile)."""
    reporter = _Progress(progress)
    chap = _SecretCopy(chap_secret)
    request = VxdListTargetsRequest(portalAddress=_text(portal), portalPort=port,
                                    chapUserName=_text(chap_user), chapSecret=chap.pointer(),
                                    chapSecretLength=chap.length, progress=reporter.function)
    size = c_uint32(0)
    names = None
    try:
        for _ in range(4):
            status = native().VxdListTargets(ctypes.byref(request), names, ctypes.byref(size))
            if status != VXD_STATUS_BUFFER_TOO_SMALL:
                break
            names = ctypes.create_string_buffer(size.value)
    finally:
        chap.wipe()
    reporter.raise_error()
    _raise_for("VxdListTargets", status)
    return _split_names(names.raw[:size.value] if names is not None else b"")


def _split_names(raw: bytes) -> List[str]:
    names = []
    for name in raw.split(b"\0"):
        if not name:
            break
        names.append(_decode(name))
    return names


def _raise_for(call: str, status: int, service_status: int = 0) -> None:
    if status == VXD_STATUS_CANCELLED:
        raise Cancelled(call, status, service_status)
    if status != VXD_STATUS_OK:
        raise VxdError(call, status, service_status)


def create_vxd(portal: str, port: str, target: str, extra1: Optional[str] = None,
               extra2: Optional[str] = None) -> bool:
    """``CreateVXD``: True when the target's volume has a drive letter."""
    return native().CreateVXD(_text(portal), _text(port), _text(target), _text(extra1),
                              _text(extra2)) == 1


__all__ = [name for name in globals() if name.startswith("VXD_")] + [
    "STATUS_NAMES", "VxdProgressFunction", "VxdPortal", "VxdAttachRequest", "VxdAttachResult",
    "VxdDetachRequest", "VxdDetachResult", "VxdListTargetsRequest", "load", "native", "Cancel",
    "VxdError", "Cancelled", "Disk", "AttachResult", "DetachResult", "status_text", "attach",
    "detach", "list_targets", "create_vxd"]

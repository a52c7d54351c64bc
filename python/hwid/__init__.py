"""This machine's identifier, and what went into it, from libhwid.

    >>> import hwid
    >>> hwid.identifier()
    'F2035A17...'

The same 64 uppercase hex digits that the hwid program prints. ctypes over
the shared library (libhwid.so.1, hwid.dll); the environment variable
HWID_LIBRARY names another copy of it.
"""

import ctypes
import dataclasses
import os

__all__ = ["HwidError", "Facts", "identifier", "facts", "version"]

IDENTIFIER_SIZE = 65
TEXT_SIZE = 1024

_OK = 0
_WARNING_NO_SERIAL = 0x1
_SERIAL_SOURCES = {0: "none", 1: "smart_identify", 2: "storage_descriptor"}


class _FactsRecord(ctypes.Structure):
    # hwid_facts of include/hwid/hwid.h, field by field.
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("cpu_vendor", ctypes.c_char * 16),
        ("cpu_highest_leaf", ctypes.c_uint32),
        ("cpu_leaves_summed", ctypes.c_uint32),
        ("cpu_signature", ctypes.c_uint32),
        ("platform_id", ctypes.c_uint32),
        ("drive_found", ctypes.c_uint32),
        ("drive_path", ctypes.c_char * 256),
        ("drive_bus", ctypes.c_char * 32),
        ("drive_reason", ctypes.c_char * 160),
        ("serial_source", ctypes.c_uint32),
        ("serial", ctypes.c_char * TEXT_SIZE),
        ("model", ctypes.c_char * TEXT_SIZE),
        ("diagnostic", ctypes.c_char * 256),
        ("fold_value", ctypes.c_uint32),
        ("identifier", ctypes.c_char * IDENTIFIER_SIZE),
        ("warnings", ctypes.c_uint32),
    ]


class HwidError(Exception):
    """A call failed; `status` is the library's status number."""

    def __init__(self, status, text):
        super().__init__(text)
        self.status = status


@dataclasses.dataclass(frozen=True)
class Facts:
    """What went into the identifier: hwid-explain --json --show-serial."""

    cpu_vendor: str
    cpu_highest_leaf: int
    cpu_leaves_summed: int
    cpu_signature: int
    platform_id: int
    drive_found: bool
    drive_path: str
    drive_bus: str
    drive_reason: str
    serial_source: str  # "none", "smart_identify" or "storage_descriptor"
    serial: str
    model: str
    diagnostic: str
    fold_value: int
    identifier: str
    no_serial: bool  # the identifier is shared by every machine with this CPU


def _candidates():
    named = os.environ.get("HWID_LIBRARY")
    if named:
        return [named]
    here = os.path.dirname(os.path.abspath(__file__))
    if os.name == "nt":
        # <prefix>/Lib/site-packages/hwid beside <prefix>/bin/hwid.dll
        return [os.path.join(here, "..", "..", "..", "bin", "hwid.dll"), "hwid.dll"]
    # <prefix>/lib/python3/dist-packages/hwid beside <prefix>/lib/libhwid.so.1
    return [os.path.join(here, "..", "..", "..", "libhwid.so.1"), "libhwid.so.1"]


def _load():
    errors = []
    for candidate in _candidates():
        if os.path.sep in candidate and not os.path.exists(candidate):
            continue
        try:
            library = ctypes.CDLL(candidate)
        except OSError as error:
            errors.append(str(error))
            continue
        library.hwid_get_identifier.argtypes = [ctypes.c_char_p]
        library.hwid_get_identifier.restype = ctypes.c_int
        library.hwid_get_facts.argtypes = [ctypes.POINTER(_FactsRecord)]
        library.hwid_get_facts.restype = ctypes.c_int
        library.hwid_status_text.argtypes = [ctypes.c_int]
        library.hwid_status_text.restype = ctypes.c_char_p
        library.hwid_version.argtypes = []
        library.hwid_version.restype = ctypes.c_char_p
        return library
    raise ImportError("cannot load libhwid: " + "; ".join(errors or ["not found"]))


_library = _load()


def _text(raw):
    # Drive strings are bytes; hwid-explain shows a byte above 126 as the
    # code point of the same number, and so does Latin-1.
    return raw.decode("latin-1")


def _check(status):
    if status != _OK:
        raise HwidError(status, _text(_library.hwid_status_text(status)))


def identifier():
    """The identifier as hwid prints it: 64 uppercase hex digits."""
    buffer = ctypes.create_string_buffer(IDENTIFIER_SIZE)
    _check(_library.hwid_get_identifier(buffer))
    return _text(buffer.value)


def facts():
    """What went into the identifier, as a Facts record."""
    record = _FactsRecord()
    record.size = ctypes.sizeof(record)
    _check(_library.hwid_get_facts(ctypes.byref(record)))
    return Facts(
        cpu_vendor=_text(record.cpu_vendor),
        cpu_highest_leaf=record.cpu_highest_leaf,
        cpu_leaves_summed=record.cpu_leaves_summed,
        cpu_signature=record.cpu_signature,
        platform_id=record.platform_id,
        drive_found=bool(record.drive_found),
        drive_path=_text(record.drive_path),
        drive_bus=_text(record.drive_bus),
        drive_reason=_text(record.drive_reason),
        serial_source=_SERIAL_SOURCES.get(record.serial_source, "none"),
        serial=_text(record.serial),
        model=_text(record.model),
        diagnostic=_text(record.diagnostic),
        fold_value=record.fold_value,
        identifier=_text(record.identifier),
        no_serial=bool(record.warnings & _WARNING_NO_SERIAL),
    )


def version():
    """The library's version."""
    return _text(_library.hwid_version())

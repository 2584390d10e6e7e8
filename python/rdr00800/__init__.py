"""The rdr00800 badge-reader library for Python, through its C interface.

Only ctypes is needed. Call initialize() first, on the thread that will serve
the library's synchronized calls (the scanner relays codes through them), and
finalize() at the end.

Texts and bytes above 127: every text goes to the library as 8-bit characters
in Windows-1252, the library's code page. A str argument is encoded to it (a
character that Windows-1252 lacks raises UnicodeEncodeError); a bytes argument
passes unchanged, so a frame of any bytes can be given. Every text the library
returns comes back as a str decoded from Windows-1252, so byte 0xE7 is "c with
cedilla"; the five bytes Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90,
0x9D) become the code points of the same value, as the library does it, so
to_bytes(text) always gives back the exact bytes. A text argument with a NUL
character raises ValueError rather than reaching the library cut short.

Arguments: a text parameter takes str, bytes, bytearray or memoryview (or
None for the empty text); a duration in seconds takes an int or a float (None
where a call says it waits without limit); anything else raises TypeError
naming the parameter. An integer outside what the C interface takes
(set_setting(0, 2**40)) raises ValueError instead of being cut short. Failures
raise where the library gives a reason or a code is missing: decrypt() and
get_matricula_dv() raise DecryptError. last_error() describes only the last
call into the library: one that succeeds clears it.

The module installs its own host framework at import: the library's built-in
services, except that messages are shown nowhere (the built-in one writes them
to standard error); a failed decrypt() raises DecryptError with the message.

The decryption library: the gateway looks for KQZR32.dll first in the
executable's directory, which for Python is the interpreter's (/usr/bin).
Name the directory that holds it instead. With the package's sample library,
whose key is in the Cliente.Cfg beside it:

    rdr00800.initialize()
    rdr00800.set_decryption_library_directory("/usr/lib/rdr00800/sample")
    rdr00800.set_default_connection_string("Driver=SQLite3;Database=/tmp/host.db")
    rdr00800.decrypt("/usr/lib/rdr00800/sample/", "471260")  # "000123"
    rdr00800.start_dig_verif()  # the resident style reads Cliente.Cfg there too
    rdr00800.get_matricula_dv("471260")  # "000123"

set_trace_handler(print) shows which file the gateway loaded.

The library is librdr00800.so.0, found in this order: the file named by the
environment variable RDR00800_LIBRARY, the library installed with this module,
and the system's loader path.
"""

import ctypes
import enum
import math
import numbers
import operator
import os
import threading
import time
import warnings
from ctypes import POINTER, c_char, c_char_p, c_int, c_int32, c_size_t, c_uint8, c_uint32, c_void_p

from . import _location

# One name a line, so that a name added later merges cleanly.
__all__ = [
    "Setting",
    "ReadStatus",
    "ScannerThread",
    "HostFramework",
    "DecryptError",
    "WM_KEYDOWN",
    "WM_CHAR",
    "VK_RETURN",
    "to_bytes",
    "to_text",
    "initialize",
    "finalize",
    "last_error",
    "ports",
    "speeds",
    "get_setting",
    "set_setting",
    "get_id_cripto_cons",
    "set_id_cripto_cons",
    "read_optical",
    "read_proximity_frame",
    "read_proximity",
    "set_port_device",
    "port_device_path",
    "last_read_status",
    "last_read_message",
    "check_port_opens",
    "set_trace_handler",
    "hexa_to_bin",
    "bin_to_dec",
    "decode_proximity",
    "find_package_resource",
    "set_host_framework",
    "set_default_connection_string",
    "register_window",
    "unregister_window",
    "send_message",
    "post_text",
    "check_synchronize",
    "set_wake_main_thread",
    "set_decryption_library_directory",
    "start_dig_verif",
    "stop_dig_verif",
    "dig_verif_ok",
    "get_matricula_dv",
    "decrypt",
    "scan",
    "ReaderSession",
    "Credential",
    "decode_credentials",
    "encode_credential",
    "credential_formats",
    "register_credential_format",
]

WM_KEYDOWN = 0x0100
WM_CHAR = 0x0102
VK_RETURN = 13
_PRIORITY_NORMAL = 3
# A wait in the library on the main thread: Ctrl-C is seen only between two.
_SIGNAL_SLICE_MS = 50
_LONGEST_WAIT_MS = 2 ** 31 - 1

# ---- Windows-1252, with its undefined bytes kept as the same code points ----
_UNDEFINED = (0x81, 0x8D, 0x8F, 0x90, 0x9D)
_DECODE = {b: bytes([b]).decode("cp1252") for b in range(0x80, 0xA0) if b not in _UNDEFINED}
_ENCODE = {ord(char): b for b, char in _DECODE.items()}


def to_text(data):
    """Decodes library bytes (Windows-1252, undefined bytes kept) to a str."""
    return data.decode("latin-1").translate(_DECODE)


def to_bytes(text):
    """Encodes a str to the library's bytes; bytes-like values and None pass unchanged.

    Raises TypeError for anything else and UnicodeEncodeError for a character
    outside Windows-1252. A NUL character is kept, as a code may hold one; text
    arguments of the library refuse it.
    """
    return _encode(text, "text")


def _encode(value, name):
    """to_bytes for the parameter `name`, which its errors name."""
    if value is None:
        return None
    if isinstance(value, str):
        return value.translate(_ENCODE).encode("latin-1")
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError("%s must be str or bytes, not %s" % (name, type(value).__name__))


def _text(value, name):
    """A text argument's bytes; ValueError for a NUL, which the library would read as the end."""
    data = _encode(value, name)
    if data and b"\0" in data:
        raise ValueError("rdr00800 texts cannot hold NUL characters: %s=%r" % (name, value))
    return data


def _bounds(ctype):
    bits = 8 * ctypes.sizeof(ctype)
    return (0, 2 ** bits - 1) if ctype(-1).value > 0 else (-2 ** (bits - 1), 2 ** (bits - 1) - 1)


def _integer(value, name, ctype=c_int32, minimum=None):
    """`value` as an int that `ctype` holds (from `minimum` on, when given): ctypes would cut a
    larger one short."""
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__)) from None
    low, high = _bounds(ctype)
    low = low if minimum is None else minimum
    if not low <= value <= high:
        raise ValueError("%s must be from %d to %d, not %d" % (name, low, high, value))
    return value


def _milliseconds(seconds, name):
    """A duration in seconds as whole milliseconds, at least 0; None (and infinity) for no limit.

    Only numbers: a text would multiply into a repeated text, not a duration."""
    if seconds is None:
        return None
    if not isinstance(seconds, numbers.Real):
        raise TypeError("%s must be a number of seconds or None, not %s" % (name, type(seconds).__name__))
    if math.isnan(seconds):
        raise ValueError("%s must be a number of seconds, not nan" % name)
    if math.isinf(seconds):
        return None if seconds > 0 else 0
    return max(0, int(seconds * 1000))


def _callable(value, name):
    """A callback argument: callable, or None for none."""
    if value is not None and not callable(value):
        raise TypeError("%s must be callable or None, not %s" % (name, type(value).__name__))
    return value


# ---- The C interface: one declaration per entry ----
_TEXT_OUT = POINTER(c_char)  # a returned text: a pointer, not c_char_p, so that it can be freed
_SIZE_PTR = POINTER(c_size_t)
_INTPTR = ctypes.c_ssize_t
_UINTPTR = ctypes.c_size_t


class _ScannerThread(ctypes.Structure):
    """Opaque Rdr00800ScannerThread."""


class _Session(ctypes.Structure):
    """Opaque Rdr00800Session."""


class _PackageUnitEntry(ctypes.Structure):
    _fields_ = [("Initialization", ctypes.CFUNCTYPE(None)), ("Finalization", ctypes.CFUNCTYPE(None))]


class _PackageInfoTable(ctypes.Structure):
    _fields_ = [("Count", c_int32), ("Units", POINTER(_PackageUnitEntry))]


_EMPTY_STRING = ctypes.CFUNCTYPE(c_int, c_void_p, c_char_p)
# Callbacks that answer a text return its address: the library copies it at once.
_AJUSTA = ctypes.CFUNCTYPE(c_void_p, c_void_p, c_char_p, c_int32)
_CONEX_LUM = ctypes.CFUNCTYPE(c_void_p, c_void_p, c_char_p)
_SET_SESSION = ctypes.CFUNCTYPE(None, c_void_p, c_void_p)
_TRAD = ctypes.CFUNCTYPE(None, c_void_p, c_void_p)
_MENSAGEM = ctypes.CFUNCTYPE(None, c_void_p, c_char_p, c_char_p, c_char_p, c_char_p, c_uint8, c_char_p, c_char_p,
                             c_int32, c_void_p)


class _HostFramework(ctypes.Structure):
    _fields_ = [("context", c_void_p), ("EmptyString", _EMPTY_STRING), ("Ajusta", _AJUSTA),
                ("GetStringConexLum", _CONEX_LUM), ("SetADODBSession", _SET_SESSION), ("Trad", _TRAD),
                ("Mensagem", _MENSAGEM)]


_WINDOW_PROC = ctypes.CFUNCTYPE(_INTPTR, c_void_p, c_uint32, _UINTPTR, _INTPTR)
_WAKE = ctypes.CFUNCTYPE(None, c_void_p)
_TRACE = ctypes.CFUNCTYPE(None, c_void_p, c_char_p)
_SCANNER = POINTER(_ScannerThread)
_SESSION = POINTER(_Session)


class _Credential(ctypes.Structure):
    _fields_ = [("format", c_char * 24), ("bits", c_int), ("parity", c_int), ("facility", ctypes.c_longlong),
                ("card", ctypes.c_longlong), ("issue", ctypes.c_longlong), ("oem", ctypes.c_longlong),
                ("raw", c_char * 32)]

# name: (restype, argtypes). _TEXT_OUT results are freed by _take_text.
DECLARATIONS = {
    "Rdr00800_FreeText": (None, [_TEXT_OUT]),
    "Rdr00800_LastError": (_TEXT_OUT, []),
    "Initialize": (None, []),
    "Finalize": (None, []),
    "Rdr00800_Initialize": (None, []),
    "Rdr00800_Finalize": (None, []),
    "GetPackageInfoTable": (POINTER(_PackageInfoTable), []),
    "Rdr00800_FindPackageResource": (_TEXT_OUT, [c_char_p, c_char_p, _SIZE_PTR]),
    "Rdr00800_Porta": (_TEXT_OUT, [c_int32]),
    "Rdr00800_Velocidade": (_TEXT_OUT, [c_int32]),
    "Rdr00800_GetSetting": (c_int32, [c_int32]),
    "Rdr00800_SetSetting": (c_int, [c_int32, c_int32]),
    "Rdr00800_GetIdCriptoCons": (_TEXT_OUT, []),
    "Rdr00800_SetIdCriptoCons": (None, [c_char_p]),
    "Rdr00800_GetOpticalReaderValue": (_TEXT_OUT, []),
    "Rdr00800_GetProximidadeReaderValue": (_TEXT_OUT, [c_char_p, c_char_p, c_int32]),
    "Rdr00800_SetPortDevice": (None, [c_char_p, c_char_p]),
    "Rdr00800_PortDevicePath": (_TEXT_OUT, [c_char_p]),
    "Rdr00800_HexaToBin": (_TEXT_OUT, [c_char_p]),
    "Rdr00800_BinToDec": (_TEXT_OUT, [c_char_p]),
    "Rdr00800_DecodeProximityFrame": (_TEXT_OUT, [c_char_p, c_char_p]),
    "LeitorProximidade": (_TEXT_OUT, [c_char_p, c_char_p, c_int32]),
    "Rdr00800_SetHostFramework": (None, [POINTER(_HostFramework)]),
    "Rdr00800_SetDefaultConnectionString": (None, [c_char_p]),
    "Rdr00800_RegisterWindow": (None, [c_uint32, _WINDOW_PROC, c_void_p]),
    "Rdr00800_UnregisterWindow": (None, [c_uint32]),
    "Rdr00800_SendMessageA": (_INTPTR, [c_uint32, c_uint32, _UINTPTR, _INTPTR]),
    "Rdr00800_PostTextHandle": (None, [c_uint32, c_char_p]),
    "Rdr00800_CheckSynchronize": (c_int, [c_int32]),
    "Rdr00800_SetWakeMainThread": (None, [_WAKE, c_void_p]),
    "Rdr00800_ScannerThread_Create": (_SCANNER, [c_uint32, c_uint32]),
    "Rdr00800_ScannerThread_Start": (None, [_SCANNER]),
    "Rdr00800_ScannerThread_Terminate": (None, [_SCANNER]),
    "Rdr00800_ScannerThread_WaitFor": (c_int, [_SCANNER]),
    "Rdr00800_ScannerThread_Finished": (c_int, [_SCANNER]),
    "Rdr00800_ScannerThread_Free": (None, [_SCANNER]),
    "Rdr00800_SetDecryptionLibraryDirectory": (None, [c_char_p]),
    "Rdr00800_StartDigVerif": (None, []),
    "Rdr00800_StopDigVerif": (None, []),
    "Rdr00800_DigVerifOK": (c_int, []),
    "Rdr00800_GetMatriculaDV": (_TEXT_OUT, [c_char_p]),
    "LeitorDescriptoDll": (c_int, [POINTER(_TEXT_OUT), c_char_p, c_char_p]),
    "Rdr00800_LastReadStatus": (c_int32, []),
    "Rdr00800_LastReadMessage": (_TEXT_OUT, []),
    "Rdr00800_ScannerThread_LastStatus": (c_int32, [_SCANNER]),
    "Rdr00800_CheckPortOpens": (c_int32, [c_char_p]),
    "Rdr00800_ReadStatusName": (c_char_p, [c_int32]),
    "Rdr00800_SetTraceHandler": (None, [_TRACE, c_void_p]),
    "Rdr00800_Session_Open": (_SESSION, [c_char_p, c_int32, c_int32]),
    "Rdr00800_Session_NextCode": (_TEXT_OUT, [_SESSION, c_int32]),
    "Rdr00800_Session_NextCodeBytes": (_TEXT_OUT, [_SESSION, c_int32, POINTER(c_int32)]),
    "Rdr00800_Session_Status": (c_int32, [_SESSION]),
    "Rdr00800_Session_StatusMessage": (_TEXT_OUT, [_SESSION]),
    "Rdr00800_Session_Cancel": (None, [_SESSION]),
    "Rdr00800_Session_Close": (None, [_SESSION]),
    "Rdr00800_Session_SetFraming": (c_int32, [_SESSION, c_int32]),
    "Rdr00800_Session_SetRepeatHold": (None, [_SESSION, c_int32]),
    "Rdr00800_DecodeCredentials": (c_int, [c_char_p, c_char_p, c_char_p, POINTER(_Credential), c_int]),
    "Rdr00800_EncodeCredential": (_TEXT_OUT, [c_char_p, ctypes.c_ulonglong, ctypes.c_ulonglong, c_char_p,
                                              ctypes.c_ulonglong, ctypes.c_ulonglong]),
    "Rdr00800_CredentialForm": (_TEXT_OUT, [POINTER(_Credential), c_char_p]),
    "Rdr00800_CredentialFormatCount": (c_int, []),
    "Rdr00800_CredentialFormatName": (_TEXT_OUT, [c_int]),
    "Rdr00800_RegisterCredentialFormat": (c_int, [c_char_p, c_char_p]),
}


def _take_text(pointer, *_):
    """Copies a returned text out and frees it."""
    return to_text(_take_bytes(pointer)) if pointer else ""


def _take_bytes(pointer, size=-1):
    """Copies returned bytes out, `size` of them or up to the NUL, and frees them."""
    try:
        return ctypes.string_at(pointer, size)
    finally:
        _lib.Rdr00800_FreeText(pointer)


def _load():
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), _location.LIBRARY)
    path = os.environ.get("RDR00800_LIBRARY") or (beside if os.path.exists(beside) else "librdr00800.so.0")
    lib = ctypes.CDLL(path)
    for name, (restype, argtypes) in DECLARATIONS.items():
        entry = getattr(lib, name)
        entry.restype, entry.argtypes = restype, argtypes
        if restype is _TEXT_OUT and name not in ("Rdr00800_FindPackageResource", "Rdr00800_Session_NextCode",
                                                 "Rdr00800_Session_NextCodeBytes", "Rdr00800_EncodeCredential"):
            entry.errcheck = _take_text
    return lib


_lib = _load()
# Callbacks the library holds, kept alive here for as long as it may call them.
_windows = {}
_kept = {}


class Setting(enum.IntEnum):
    """The settings get_setting and set_setting take (RDR00800_* of the C header)."""
    ID_PORTA_OPT = 0  # optical reader: index into ports()
    ID_VELOC_OPT = 1  # optical reader: index into speeds()
    ID_TIPO_OPT = 2  # optical reader type; 2 drops each frame's last character
    ID_PORTA_PROX = 3
    ID_VELOC_PROX = 4
    ID_TIPO_PROX = 5
    READ_INTERVAL_MS = 6  # interval mode of the one-shot reads in ms; 0 for off
    SCANNER_HOLDS_PORT = 7  # 1: scanner threads hold their port in a session; 0: they poll
    CHECK_PROXIMITY_PARITY = 8  # 1: read_proximity gives "" for a frame whose H10301 parity fails


def initialize():
    """Loads the package; the calling thread becomes the library's main thread."""
    _lib.Initialize()


def finalize():
    """Unloads the package; scanner threads and the resident library stay the caller's to end."""
    _lib.Finalize()


def last_error():
    """Why the last call into the library on this thread failed; "" when it succeeded.

    Each call clears it or sets it, so ask right after the call in question.
    """
    return _lib.Rdr00800_LastError()


def ports():
    """The port names the library knows (its Portas table), "" first."""
    return [_lib.Rdr00800_Porta(i) for i in range(14)]


def speeds():
    """The line speeds of the optical reader's table (Velocidades), as texts."""
    return [_lib.Rdr00800_Velocidade(i) for i in range(13)]


def get_setting(setting):
    """A Setting's value; 0 for a setting the library does not know."""
    return _lib.Rdr00800_GetSetting(_integer(setting, "setting"))


def set_setting(setting, value):
    """Writes a Setting (a 32-bit int); False when the library does not know it."""
    return bool(_lib.Rdr00800_SetSetting(_integer(setting, "setting"), _integer(value, "value")))


def get_id_cripto_cons():
    """The text the host keeps in the library's IdCriptoCons."""
    return _lib.Rdr00800_GetIdCriptoCons()


def set_id_cripto_cons(text):
    """Keeps `text` in the library's IdCriptoCons (emptied by finalize())."""
    _lib.Rdr00800_SetIdCriptoCons(_text(text, "text"))


def read_optical():
    """Polls the optical reader once as its settings say; "" when nothing came."""
    return _lib.Rdr00800_GetOpticalReaderValue()


def read_proximity_frame(reader_type, port, baud):
    """Polls the proximity reader once and returns its frame undecoded (str, Windows-1252)."""
    return _lib.Rdr00800_GetProximidadeReaderValue(_text(reader_type, "reader_type"), _text(port, "port"),
                                                   _integer(baud, "baud"))


def read_proximity(reader_type, port, baud):
    """Reads one card on `port`: its code, "" for none.

    `port` is COMn, LPT1, a device path, or a reader on the network as
    rfc2217://HOST:PORT or tcp://HOST:PORT."""
    return _lib.LeitorProximidade(_text(reader_type, "reader_type"), _text(port, "port"), _integer(baud, "baud"))


def set_port_device(port, device):
    """Maps a port name to a device path; None or "" removes the mapping."""
    _lib.Rdr00800_SetPortDevice(_text(port, "port"), _text(device, "device"))


def port_device_path(port):
    """The device `port` names on this system (mappings first); "" for none."""
    return _lib.Rdr00800_PortDevicePath(_text(port, "port"))


def hexa_to_bin(text):
    """Four binary digits for one hexadecimal digit ("A" -> "1010"); "" on failure."""
    return _lib.Rdr00800_HexaToBin(_text(text, "text"))


def bin_to_dec(text):
    """The decimal value of a text of binary digits ("1010" -> "10"); "" on failure."""
    return _lib.Rdr00800_BinToDec(_text(text, "text"))


def decode_proximity(reader_type, frame):
    """Decodes a frame (str or bytes, bytes above 127 as they came) to its code."""
    return _lib.Rdr00800_DecodeProximityFrame(_text(reader_type, "reader_type"), _text(frame, "frame"))


# ---- Credentials: card formats, parity, printed numbers ----
_PARITY_NAMES = {1: "ok", 0: "failed", -1: "none"}
_CREDENTIAL_FIELDS = ("facility", "card", "issue", "oem")


class Credential:
    """One card format's reading of a frame, with the C++ Credential's attribute names.

    parity is "ok", "failed" or "none"; a field the format lacks is None.
    """

    def __init__(self, record):
        self._record = record
        self.format = to_text(record.format)
        self.bits = record.bits
        self.parity = _PARITY_NAMES.get(record.parity, "none")
        for name in _CREDENTIAL_FIELDS:
            value = getattr(record, name)
            setattr(self, name, None if value < 0 else value)
        self.raw = to_text(record.raw)

    def form(self, name):
        """A printed form: "code", "fc,cn", "dez10", "dez8", "dez13" or "hex"; ValueError for another."""
        text = _lib.Rdr00800_CredentialForm(ctypes.byref(self._record), _text(name, "name"))
        error = last_error()
        if error:
            raise ValueError(error)
        return text

    def __repr__(self):
        fields = "".join(" %s=%d" % (name, getattr(self, name)) for name in _CREDENTIAL_FIELDS
                         if getattr(self, name) is not None)
        return "<Credential %s%s parity=%s>" % (self.format, fields, self.parity)


def decode_credentials(frame, layout="hex40", format=""):
    """Every catalogue format that reads `frame` in `layout`, best first, as Credential objects.

    A frame no format reads gives []; an unknown layout or format raises ValueError.
    """
    args = (_text(frame, "frame"), _text(layout, "layout"), _text(format, "format"))
    records = (_Credential * 8)()
    count = _lib.Rdr00800_DecodeCredentials(*args, records, len(records))
    if count > len(records):
        records = (_Credential * count)()
        count = _lib.Rdr00800_DecodeCredentials(*args, records, count)
    if count < 0:
        raise ValueError(last_error())
    return [Credential(records[i]) for i in range(count)]


def encode_credential(format, facility, card, layout="hex40", issue=0, oem=0):
    """The frame `layout` carries for that card, parity computed; ValueError when it cannot."""
    numbers = [_integer(value, name, ctypes.c_ulonglong)
               for value, name in ((facility, "facility"), (card, "card"), (issue, "issue"), (oem, "oem"))]
    pointer = _lib.Rdr00800_EncodeCredential(_text(format, "format"), numbers[0], numbers[1],
                                             _text(layout, "layout"), numbers[2], numbers[3])
    if not pointer:
        raise ValueError(last_error())
    return _take_text(pointer)


def credential_formats():
    """The catalogue's format names: the built-in ones, then those registered, in order."""
    return [_lib.Rdr00800_CredentialFormatName(i) for i in range(_lib.Rdr00800_CredentialFormatCount())]


def register_credential_format(name, definition):
    """Adds or replaces a site format ("bits=36 facility=2-13 card=14-35 even=1:2-18 odd=36:19-35").

    A malformed definition or a taken name raises ValueError saying which part is wrong.
    """
    if not _lib.Rdr00800_RegisterCredentialFormat(_text(name, "name"), _text(definition, "definition")):
        raise ValueError(last_error())


def find_package_resource(name, kind):
    """A resource's bytes (for example "SHOWAVI", "AVI"); None when there is none."""
    size = c_size_t(0)
    pointer = _lib.Rdr00800_FindPackageResource(_text(name, "name"), _text(kind, "kind"), ctypes.byref(size))
    return _take_bytes(pointer, size.value) if pointer else None


class HostFramework:
    """The host's services to the library. Override those the host provides;
    the others keep the library's built-in behaviour, but for mensagem, which
    shows nothing unless overridden. Called on the main thread, with texts as
    str."""

    def empty_string(self, text):
        """True when `text` counts as empty."""

    def ajusta(self, text, width):
        """`text` fitted to `width` characters."""

    def get_string_conex_lum(self, text):
        """The connection string to use in place of `text`."""

    def set_adodb_session(self, odbc_connection):
        """Takes the open SQLHDBC (an int), valid during the call."""

    def trad(self, form):
        """Translates a form (an opaque pointer)."""

    def mensagem(self, text, caption, kind, detail):
        """Shows a message; `kind` is the message kind (0-255). Here nowhere: the failed
        decrypt() that says it raises DecryptError with it."""


def set_host_framework(framework):
    """Installs a HostFramework subclass's instance; None restores the module's own,
    HostFramework(), which shows no message."""
    if framework is not None and not isinstance(framework, HostFramework):
        raise TypeError("framework must be a HostFramework or None, not %s" % type(framework).__name__)
    if framework is None:
        framework = HostFramework()
    answer = []  # the last text answered, alive until the library has copied it

    def give(text):
        answer[:] = [ctypes.create_string_buffer(_text(text, "answer"))]
        return ctypes.addressof(answer[0])

    def text(value):
        return to_text(value or b"")

    # member: (method, callback type, the callback made from the method)
    services = {
        "EmptyString": ("empty_string", _EMPTY_STRING, lambda m: lambda _, t: int(bool(m(text(t))))),
        "Ajusta": ("ajusta", _AJUSTA, lambda m: lambda _, t, width: give(m(text(t), width))),
        "GetStringConexLum": ("get_string_conex_lum", _CONEX_LUM, lambda m: lambda _, t: give(m(text(t)))),
        "SetADODBSession": ("set_adodb_session", _SET_SESSION, lambda m: lambda _, connection: m(connection)),
        "Trad": ("trad", _TRAD, lambda m: lambda _, form: m(form)),
        "Mensagem": ("mensagem", _MENSAGEM, lambda m: lambda _, t, caption, confirm, log, kind, help_context, detail,
                     buttons, data_set: m(text(t), text(caption), kind, text(detail))),
    }
    callbacks = _HostFramework()
    for member, (name, kind, make) in services.items():
        # The built-in message service writes to stderr, beside the DecryptError that says the same.
        if name == "mensagem" or getattr(type(framework), name) is not getattr(HostFramework, name):
            setattr(callbacks, member, kind(make(getattr(framework, name))))
    _lib.Rdr00800_SetHostFramework(ctypes.byref(callbacks))
    _kept["framework"] = (callbacks, answer)


set_host_framework(None)


def set_default_connection_string(text):
    """The ODBC connection string the built-in framework gives the gateway."""
    _lib.Rdr00800_SetDefaultConnectionString(_text(text, "text"))


def register_window(handle, procedure):
    """Registers procedure(message, w_param, l_param) -> int as the window `handle`.

    The library calls it on the main thread; WM_CHAR brings one byte of a
    code in w_param (0-255, Windows-1252). None unregisters the window.
    """
    handle = _integer(handle, "handle", c_uint32)
    if _callable(procedure, "procedure") is None:
        unregister_window(handle)
        return
    callback = _WINDOW_PROC(lambda _, message, w_param, l_param: procedure(message, w_param, l_param) or 0)
    _windows[handle] = callback
    _lib.Rdr00800_RegisterWindow(handle, callback, None)


def unregister_window(handle):
    """Removes the window `handle`; its procedure is called no more."""
    _lib.Rdr00800_UnregisterWindow(_integer(handle, "handle", c_uint32))
    _windows.pop(handle, None)


def send_message(handle, message, w_param=0, l_param=0):
    """Calls the window's procedure on this thread; its result, 0 when there is no such window."""
    return _lib.Rdr00800_SendMessageA(_integer(handle, "handle", c_uint32), _integer(message, "message", c_uint32),
                                      _integer(w_param, "w_param", _UINTPTR), _integer(l_param, "l_param", _INTPTR))


def post_text(handle, text):
    """Types `text` into the window: one WM_CHAR a byte, then WM_KEYDOWN with VK_RETURN."""
    _lib.Rdr00800_PostTextHandle(_integer(handle, "handle", c_uint32), _text(text, "text"))


def check_synchronize(timeout_ms=0):
    """Runs queued synchronized calls on this (the main) thread; True when any ran."""
    return bool(_lib.Rdr00800_CheckSynchronize(_integer(timeout_ms, "timeout_ms")))


def set_wake_main_thread(wake):
    """wake() runs on the queuing thread whenever a synchronized call is queued; None removes it."""
    _callable(wake, "wake")
    callback = _WAKE(lambda _: wake()) if wake else _WAKE()
    _lib.Rdr00800_SetWakeMainThread(callback, None)
    if wake:
        _kept["wake"] = callback
    else:
        _kept.pop("wake", None)


def set_decryption_library_directory(directory):
    """Where the gateway looks for KQZR32.dll first, instead of the executable's directory.

    For Python that directory is the interpreter's (/usr/bin). The resident
    style also passes this directory to the library, which reads its
    Cliente.Cfg there. None or "" goes back to the executable's directory.
    Takes effect at the next load.
    """
    _lib.Rdr00800_SetDecryptionLibraryDirectory(_text(directory, "directory"))


def start_dig_verif():
    """Loads KQZR32.dll for the resident style; dig_verif_ok() tells whether it worked."""
    _lib.Rdr00800_StartDigVerif()


def stop_dig_verif():
    """Unloads the resident library."""
    _lib.Rdr00800_StopDigVerif()


def dig_verif_ok():
    """True while the resident library is loaded with its entry."""
    return bool(_lib.Rdr00800_DigVerifOK())


def get_matricula_dv(code):
    """Decrypts `code` with the resident library; raises DecryptError while it is not loaded
    or when it gives no code."""
    data = _text(code, "code")
    if not _lib.Rdr00800_DigVerifOK():
        raise DecryptError("", "the resident decryption library is not loaded: start_dig_verif() found none "
                               "(set_trace_handler shows why) or stop_dig_verif() unloaded it")
    answer = _lib.Rdr00800_GetMatriculaDV(data)
    # The resident call hands on the library's own answer to a missing configuration.
    if answer.isascii() and answer.upper() == "CLIENTE.CFG":
        raise DecryptError("", "the decryption library found no usable Cliente.Cfg in the decryption library "
                               "directory")
    return _decrypted(answer, data)


class DecryptError(Exception):
    """decrypt() gave no code.

    `message` is what the library said (in its hosts' language, as the host
    framework was shown it) or the database's diagnostics, "" when it said
    nothing; `reason` is the same as one English line.
    """

    def __init__(self, message, reason):
        super().__init__(message, reason)
        self.message = message
        self.reason = reason

    def __str__(self):
        return "%s: %s" % (self.reason, self.message) if self.message else self.reason


def decrypt(directory, code):
    """Decrypts a consumer code with KQZR32.dll and directory's Cliente.Cfg.

    `directory` is given with its trailing "/" and must hold KQZR32.dll; the
    library loaded is the one set_decryption_library_directory() points to.
    Opens the host's database first. Returns the decrypted code; raises
    DecryptError when there is none (the library's empty answer included).
    """
    result = _TEXT_OUT()
    data = _text(code, "code")
    decrypted = _lib.LeitorDescriptoDll(ctypes.byref(result), _text(directory, "directory"), data)
    error = last_error()
    text = _take_text(result) if result else ""
    if not decrypted:
        message, _, reason = error.rpartition("\n")
        raise DecryptError(message, reason)
    return _decrypted(text, data)


def _decrypted(answer, code):
    """The library's answer, unless it is the empty text, which is no code."""
    if not answer:
        given = "the empty code" if not code else "a code of length %d" % len(code)
        raise DecryptError("", "the decryption library gave no decrypted code for %s" % given)
    return answer


class ReadStatus(enum.IntEnum):
    """Why the last serial read gave what it gave."""
    OK = 0
    NOTHING_IN_TIME = 1
    NO_SUCH_DEVICE = 2
    PERMISSION_DENIED = 3
    BUSY = 4
    NOT_A_SERIAL_PORT = 5
    LINE_REFUSED = 6
    HUNG_UP = 7
    IO_ERROR = 8
    BAD_FRAME = 9


def last_read_status():
    """The ReadStatus of the last serial read made on the calling thread."""
    return ReadStatus(_lib.Rdr00800_LastReadStatus())


def last_read_message():
    """One line for a person on the last serial read of the calling thread; "" after OK."""
    return _lib.Rdr00800_LastReadMessage()


def check_port_opens(port):
    """Opens `port` as a poll would, without reading; its ReadStatus (also last_read_status())."""
    return ReadStatus(_lib.Rdr00800_CheckPortOpens(_text(port, "port")))


def set_trace_handler(handler):
    """Calls handler(line: str) for each step of a poll and of the decryption gateway, on the
    thread doing it; None turns tracing off. Lines are decoded as Windows-1252."""
    _callable(handler, "handler")
    callback = _TRACE(lambda _context, line: handler(to_text(line))) if handler else _TRACE()
    _lib.Rdr00800_SetTraceHandler(callback, None)
    _kept["trace"] = callback


class ScannerThread:
    """The library's scanner thread, created suspended; close() (or `with`) frees it.

    It polls the optical reader as the settings say and types each code into
    the window `target_handle`. Every method but close() raises ValueError
    once the thread is closed.
    """

    def __init__(self, target_handle, priority=_PRIORITY_NORMAL):
        self._thread = None
        thread = _lib.Rdr00800_ScannerThread_Create(_integer(priority, "priority", c_uint32),
                                                    _integer(target_handle, "target_handle", c_uint32))
        if not thread:
            raise MemoryError(last_error() or "the scanner thread could not be created")
        self._thread = thread

    def _open(self):
        if not self._thread:
            raise ValueError("the scanner thread is closed")
        return self._thread

    def start(self):
        """Starts polling; no effect on a thread already started."""
        _lib.Rdr00800_ScannerThread_Start(self._open())

    def terminate(self):
        """Asks the thread to end after its current poll; wait_for() waits for that."""
        _lib.Rdr00800_ScannerThread_Terminate(self._open())

    def wait_for(self):
        """Waits for the end, serving synchronized calls; True when it ended with an error."""
        return bool(_lib.Rdr00800_ScannerThread_WaitFor(self._open()))

    def finished(self):
        """True once the thread has ended."""
        return bool(_lib.Rdr00800_ScannerThread_Finished(self._open()))

    def last_status(self):
        """The ReadStatus of the thread's latest poll; any thread."""
        return ReadStatus(_lib.Rdr00800_ScannerThread_LastStatus(self._open()))

    def close(self):
        """Terminates the thread, waits for it and frees it; again is harmless."""
        if self._thread:
            _lib.Rdr00800_ScannerThread_Free(self._thread)
            self._thread = None

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


class ReaderSession:
    """A reader held open between codes; each code comes out as soon as its line end arrives.

    `port` is COMn, LPT1, a device path, rfc2217://HOST:PORT or tcp://HOST:PORT,
    opened on the first next_code() exclusively, as a poll opens it. Codes end at CR or LF (CR LF and LF CR
    are one end, empty codes skipped), or after `quiet_end_ms` without a byte;
    codes over 4096 bytes come in 4096-byte pieces. Bytes that arrive between
    two next_code() calls wait for the next one. A port that cannot be read is
    tried again every 250 ms while next_code() waits. `framing="stx-etx"` takes
    each code between STX and ETX instead (both left out, CR and LF inside and
    every byte outside a frame dropped), as EM4100 readers send them. With
    `repeat_hold_ms`, a code equal to the one that arrived just before it,
    within that hold of its arrival, is not handed out: a card held on the
    reader is one code until it has been away for the hold. Works on any thread, with
    or without initialize(); one thread at a time calls next_code(), while
    status, status_message and cancel() work from any thread. Use it with
    `with`, or call close().
    """

    _session = None
    # Set by cancel(): the library's own flag cannot tell a wait it ended from
    # one that timed out, and next_code() waits in several calls.
    _cancelled = False

    _FRAMINGS = {"line-ends": 0, "stx-etx": 1}

    def __init__(self, port, baud, quiet_end_ms=20, framing="line-ends", repeat_hold_ms=0):
        if framing not in self._FRAMINGS:
            raise ValueError("framing must be one of %s, not %r" % (", ".join(self._FRAMINGS), framing))
        hold = _integer(repeat_hold_ms, "repeat_hold_ms")
        self._session = _lib.Rdr00800_Session_Open(_text(port, "port"), _integer(baud, "baud"),
                                                   _integer(quiet_end_ms, "quiet_end_ms", minimum=0))
        if not self._session:
            raise OSError("rdr00800: no session for %r: %s" % (port, last_error()))
        _lib.Rdr00800_Session_SetFraming(self._session, self._FRAMINGS[framing])
        _lib.Rdr00800_Session_SetRepeatHold(self._session, hold)

    def next_code(self, timeout=None):
        """The next code (str, Windows-1252, every byte of it) within `timeout` seconds, an int
        or a float; None waits without limit. Returns None when none came in time, after
        cancel(), or while the port cannot be read (see status). On the main thread it waits
        in slices of 50 ms, so that Ctrl-C raises KeyboardInterrupt at once."""
        limit = _milliseconds(timeout, "timeout")
        session = self._live()
        # Python runs signal handlers on the main thread only, and only between calls.
        most = _SIGNAL_SLICE_MS if threading.current_thread() is threading.main_thread() else _LONGEST_WAIT_MS
        deadline = None if limit is None else time.monotonic_ns() + limit * 1_000_000
        length = c_int32(-1)
        while True:
            remaining = None if deadline is None else max(0, math.ceil((deadline - time.monotonic_ns()) / 1e6))
            wait = most if remaining is None else min(most, remaining)
            pointer = _lib.Rdr00800_Session_NextCodeBytes(session, wait, ctypes.byref(length))
            if pointer:
                return to_text(_take_bytes(pointer, length.value))
            if self._cancelled:
                self._cancelled = False
                return None
            if deadline is not None and time.monotonic_ns() >= deadline:
                return None

    @property
    def status(self):
        """ReadStatus.OK while the port is open, otherwise why not."""
        return ReadStatus(_lib.Rdr00800_Session_Status(self._live()))

    @property
    def status_message(self):
        """The status as one line for a person; "" while OK."""
        return _lib.Rdr00800_Session_StatusMessage(self._live())

    def cancel(self):
        """Ends a waiting next_code() at once (or the next one); any thread."""
        session = self._live()
        self._cancelled = True
        _lib.Rdr00800_Session_Cancel(session)

    def close(self):
        """Releases the port; no other call of this session may be under way."""
        if self._session:
            _lib.Rdr00800_Session_Close(self._session)
            self._session = None

    def _live(self):
        if not self._session:
            raise ValueError("the reader session is closed")
        return self._session

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def __del__(self):
        if _lib is not None:  # not at interpreter exit, once the module's globals are gone
            self.close()


class _Unused:
    """The default of a parameter kept for old callers only, told apart from any value given."""

    def __repr__(self):
        return "<unused>"


_UNUSED = _Unused()


def scan(on_code, port, baud=9600, reader_type=_UNUSED, count=None, timeout=None, window=_UNUSED):
    """Calls on_code(code) with each code the reader on `port` sends, one call per code.

    `port` is COMn, LPT1, a device path, rfc2217://HOST:PORT or
    tcp://HOST:PORT, held open in a ReaderSession. Codes
    are str decoded from Windows-1252, without their line end. on_code runs on
    the calling thread, which may be any thread. Stops after `count` codes,
    `timeout` seconds (None: no limit), Ctrl-C or an exception from on_code
    (raised again here). Returns the number of codes delivered. `reader_type`
    and `window` stay in their places for calls written for the polling scan
    and change nothing (a session's codes come without their line end and
    reach no window): giving them warns with DeprecationWarning.
    """
    if not callable(on_code):
        raise TypeError("on_code must be callable, not %s" % type(on_code).__name__)
    for name, value in (("reader_type", reader_type), ("window", window)):
        if value is not _UNUSED:
            warnings.warn("scan(): %s changes nothing and will go; pass count and timeout by keyword" % name,
                          DeprecationWarning, stacklevel=2)
    limit = _milliseconds(timeout, "timeout")
    if not port_device_path(port):
        raise ValueError("port %r names no device" % (port,))
    deadline = None if limit is None else time.monotonic() + limit / 1000
    delivered = 0
    with ReaderSession(port, baud) as session:
        while count is None or delivered < count:
            remaining = None if deadline is None else deadline - time.monotonic()
            if remaining is not None and remaining < 0:
                break
            code = session.next_code(remaining)
            if code is not None:
                delivered += 1
                on_code(code)
    return delivered

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
to_bytes(text) always gives back the exact bytes. A text with a NUL character
raises ValueError rather than reaching the library cut short.

The library is librdr00800.so.0, found in this order: the file named by the
environment variable RDR00800_LIBRARY, the library installed with this module,
and the system's loader path.
"""

import ctypes
import enum
import os
import time
from ctypes import POINTER, c_char, c_char_p, c_int, c_int32, c_size_t, c_uint8, c_uint32, c_void_p

from . import _location

__all__ = [
    "Setting", "ScannerThread", "HostFramework", "WM_KEYDOWN", "WM_CHAR", "VK_RETURN",
    "to_bytes", "to_text", "initialize", "finalize", "last_error", "ports", "speeds", "get_setting",
    "set_setting", "get_id_cripto_cons", "set_id_cripto_cons", "read_optical", "read_proximity_frame",
    "read_proximity", "set_port_device", "port_device_path", "hexa_to_bin", "bin_to_dec",
    "decode_proximity", "find_package_resource", "set_host_framework", "set_default_connection_string",
    "register_window", "unregister_window", "send_message", "post_text", "check_synchronize",
    "set_wake_main_thread", "start_dig_verif", "stop_dig_verif", "dig_verif_ok", "get_matricula_dv",
    "decrypt", "last_read_status", "last_read_message", "scan",
]

WM_KEYDOWN = 0x0100
WM_CHAR = 0x0102
VK_RETURN = 13
_PRIORITY_NORMAL = 3

# ---- Windows-1252, with its undefined bytes kept as the same code points ----
_UNDEFINED = (0x81, 0x8D, 0x8F, 0x90, 0x9D)
_DECODE = {b: bytes([b]).decode("cp1252") for b in range(0x80, 0xA0) if b not in _UNDEFINED}
_ENCODE = {ord(char): b for b, char in _DECODE.items()}


def to_text(data):
    """Decodes library bytes (Windows-1252, undefined bytes kept) to a str."""
    return data.decode("latin-1").translate(_DECODE)


def to_bytes(text):
    """Encodes a str to the library's bytes; bytes and None pass unchanged.

    Raises UnicodeEncodeError for a character outside Windows-1252 and
    ValueError for a NUL character, which the library would read as the end.
    """
    if text is None:
        return None
    data = text if isinstance(text, bytes) else text.translate(_ENCODE).encode("latin-1")
    if b"\0" in data:
        raise ValueError("rdr00800 texts cannot hold NUL characters: %r" % (text,))
    return data


# ---- The C interface: one declaration per entry ----
_TEXT_OUT = POINTER(c_char)  # a returned text: a pointer, not c_char_p, so that it can be freed
_SIZE_PTR = POINTER(c_size_t)
_INTPTR = ctypes.c_ssize_t
_UINTPTR = ctypes.c_size_t


class _ScannerThread(ctypes.Structure):
    """Opaque Rdr00800ScannerThread."""


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

# name: (restype, argtypes). _TEXT_OUT results are freed by _take_text.
DECLARATIONS = {
    "Rdr00800_FreeText": (None, [_TEXT_OUT]),
    "Rdr00800_LastError": (_TEXT_OUT, []),
    "Initialize": (None, []),
    "Finalize": (None, []),
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
}


def _take_text(pointer, *_):
    """Copies a returned text out and frees it."""
    if not pointer:
        return ""
    try:
        return to_text(ctypes.string_at(pointer))
    finally:
        _lib.Rdr00800_FreeText(pointer)


def _load():
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), _location.LIBRARY)
    path = os.environ.get("RDR00800_LIBRARY") or (beside if os.path.exists(beside) else "librdr00800.so.0")
    lib = ctypes.CDLL(path)
    for name, (restype, argtypes) in DECLARATIONS.items():
        entry = getattr(lib, name)
        entry.restype, entry.argtypes = restype, argtypes
        if restype is _TEXT_OUT and name != "Rdr00800_FindPackageResource":
            entry.errcheck = _take_text
    return lib


_lib = _load()
# Callbacks the library holds, kept alive here for as long as it may call them.
_windows = {}
_kept = {}


class Setting(enum.IntEnum):
    ID_PORTA_OPT = 0
    ID_VELOC_OPT = 1
    ID_TIPO_OPT = 2
    ID_PORTA_PROX = 3
    ID_VELOC_PROX = 4
    ID_TIPO_PROX = 5


def initialize():
    """Loads the package; the calling thread becomes the library's main thread."""
    _lib.Initialize()


def finalize():
    _lib.Finalize()


def last_error():
    """The last error an entry caught on this thread; "" when none has."""
    return _lib.Rdr00800_LastError()


def ports():
    """The port names the library knows (its Portas table), "" first."""
    return [_lib.Rdr00800_Porta(i) for i in range(14)]


def speeds():
    """The line speeds of the optical reader's table (Velocidades), as texts."""
    return [_lib.Rdr00800_Velocidade(i) for i in range(13)]


def get_setting(setting):
    return _lib.Rdr00800_GetSetting(setting)


def set_setting(setting, value):
    """Writes a setting; False when the library does not know it."""
    return bool(_lib.Rdr00800_SetSetting(setting, value))


def get_id_cripto_cons():
    return _lib.Rdr00800_GetIdCriptoCons()


def set_id_cripto_cons(text):
    _lib.Rdr00800_SetIdCriptoCons(to_bytes(text))


def read_optical():
    """Polls the optical reader once as its settings say; "" when nothing came."""
    return _lib.Rdr00800_GetOpticalReaderValue()


def read_proximity_frame(reader_type, port, baud):
    """Polls the proximity reader once and returns its frame undecoded (str, Windows-1252)."""
    return _lib.Rdr00800_GetProximidadeReaderValue(to_bytes(reader_type), to_bytes(port), baud)


def read_proximity(reader_type, port, baud):
    """Reads one card on `port`: its code, "" for none.

    `port` is COMn, LPT1, a device path, or a reader on the network as
    rfc2217://HOST:PORT or tcp://HOST:PORT."""
    return _lib.LeitorProximidade(to_bytes(reader_type), to_bytes(port), baud)


def set_port_device(port, device):
    """Maps a port name to a device path; None or "" removes the mapping."""
    _lib.Rdr00800_SetPortDevice(to_bytes(port), to_bytes(device))


def port_device_path(port):
    return _lib.Rdr00800_PortDevicePath(to_bytes(port))


def hexa_to_bin(text):
    return _lib.Rdr00800_HexaToBin(to_bytes(text))


def bin_to_dec(text):
    return _lib.Rdr00800_BinToDec(to_bytes(text))


def decode_proximity(reader_type, frame):
    """Decodes a frame (str or bytes, bytes above 127 as they came) to its code."""
    return _lib.Rdr00800_DecodeProximityFrame(to_bytes(reader_type), to_bytes(frame))


def find_package_resource(name, kind):
    """A resource's bytes (for example "SHOWAVI", "AVI"); None when there is none."""
    size = c_size_t(0)
    pointer = _lib.Rdr00800_FindPackageResource(to_bytes(name), to_bytes(kind), ctypes.byref(size))
    if not pointer:
        return None
    try:
        return ctypes.string_at(pointer, size.value)
    finally:
        _lib.Rdr00800_FreeText(pointer)


class HostFramework:
    """The host's services to the library. Override those the host provides;
    the others keep the library's built-in behaviour. Called on the main
    thread, with texts as str."""

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
        """Shows a message; `kind` is the message kind (0-255)."""


def set_host_framework(framework):
    """Installs a HostFramework subclass's instance; None restores the built-in one."""
    if framework is None:
        _lib.Rdr00800_SetHostFramework(None)
        _kept.pop("framework", None)
        return
    answer = []  # the last text answered, alive until the library has copied it

    def give(text):
        answer[:] = [ctypes.create_string_buffer(to_bytes(text))]
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
        override = getattr(type(framework), name, None)
        if override is not None and override is not getattr(HostFramework, name):
            setattr(callbacks, member, kind(make(getattr(framework, name))))
    _lib.Rdr00800_SetHostFramework(ctypes.byref(callbacks))
    _kept["framework"] = (callbacks, answer)


def set_default_connection_string(text):
    _lib.Rdr00800_SetDefaultConnectionString(to_bytes(text))


def register_window(handle, procedure):
    """Registers procedure(message, w_param, l_param) -> int as the window `handle`.

    The library calls it on the main thread; WM_CHAR brings one byte of a
    code in w_param (0-255, Windows-1252). None unregisters the window.
    """
    if procedure is None:
        unregister_window(handle)
        return
    callback = _WINDOW_PROC(lambda _, message, w_param, l_param: procedure(message, w_param, l_param) or 0)
    _windows[handle] = callback
    _lib.Rdr00800_RegisterWindow(handle, callback, None)


def unregister_window(handle):
    _lib.Rdr00800_UnregisterWindow(handle)
    _windows.pop(handle, None)


def send_message(handle, message, w_param=0, l_param=0):
    return _lib.Rdr00800_SendMessageA(handle, message, w_param, l_param)


def post_text(handle, text):
    _lib.Rdr00800_PostTextHandle(handle, to_bytes(text))


def check_synchronize(timeout_ms=0):
    """Runs queued synchronized calls on this (the main) thread; True when any ran."""
    return bool(_lib.Rdr00800_CheckSynchronize(timeout_ms))


def set_wake_main_thread(wake):
    """wake() runs on the queuing thread whenever a synchronized call is queued; None removes it."""
    callback = _WAKE(lambda _: wake()) if wake else _WAKE()
    _lib.Rdr00800_SetWakeMainThread(callback, None)
    if wake:
        _kept["wake"] = callback
    else:
        _kept.pop("wake", None)


def start_dig_verif():
    _lib.Rdr00800_StartDigVerif()


def stop_dig_verif():
    _lib.Rdr00800_StopDigVerif()


def dig_verif_ok():
    return bool(_lib.Rdr00800_DigVerifOK())


def get_matricula_dv(code):
    return _lib.Rdr00800_GetMatriculaDV(to_bytes(code))


def decrypt(directory, code):
    """Decrypts a consumer code with KQZR32.dll and directory's Cliente.Cfg.

    Returns the code, or None when the library did not decrypt it (see
    last_error() for a database error).
    """
    result = _TEXT_OUT()
    decrypted = _lib.LeitorDescriptoDll(ctypes.byref(result), to_bytes(directory), to_bytes(code))
    text = _take_text(result) if result else ""
    return text if decrypted else None


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


def last_read_status():
    """The ReadStatus of the last serial read made on the calling thread."""
    return ReadStatus(_lib.Rdr00800_LastReadStatus())


def last_read_message():
    """One line for a person on the last serial read of the calling thread; "" after OK."""
    return _lib.Rdr00800_LastReadMessage()


def check_port_opens(port):
    """Opens `port` as a poll would, without reading; its ReadStatus (also last_read_status())."""
    return ReadStatus(_lib.Rdr00800_CheckPortOpens(to_bytes(port)))


def set_trace_handler(handler):
    """Calls handler(line: str) for each step of a poll and of the decryption gateway, on the
    thread doing it; None turns tracing off. Lines are decoded as Windows-1252."""
    callback = _TRACE(lambda _context, line: handler(to_text(line))) if handler else _TRACE()
    _lib.Rdr00800_SetTraceHandler(callback, None)
    _kept["trace"] = callback


class ScannerThread:
    """The library's scanner thread, created suspended; close() (or `with`) frees it."""

    def __init__(self, target_handle, priority=_PRIORITY_NORMAL):
        self._thread = _lib.Rdr00800_ScannerThread_Create(priority, target_handle)

    def start(self):
        _lib.Rdr00800_ScannerThread_Start(self._thread)

    def terminate(self):
        _lib.Rdr00800_ScannerThread_Terminate(self._thread)

    def wait_for(self):
        """Waits for the end, serving synchronized calls; True when it ended with an error."""
        return bool(_lib.Rdr00800_ScannerThread_WaitFor(self._thread))

    def finished(self):
        return bool(_lib.Rdr00800_ScannerThread_Finished(self._thread))

    def last_status(self):
        """The ReadStatus of the thread's latest poll; any thread."""
        return ReadStatus(_lib.Rdr00800_ScannerThread_LastStatus(self._thread))

    def close(self):
        if self._thread:
            _lib.Rdr00800_ScannerThread_Free(self._thread)
            self._thread = None

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def scan(on_code, port, baud=9600, reader_type=0, count=None, timeout=None, window=0x52445230):
    """Calls on_code(code) with each code the optical reader on `port` sends.

    `port` is COMn, LPT1, a device path, rfc2217://HOST:PORT or
    tcp://HOST:PORT; the reader is mapped to COM1's place in the library's
    settings. Codes are str decoded from Windows-1252,
    without their line end. Every call of on_code, and every synchronized call
    of the library, runs on the calling thread, which must be the one that
    called initialize(). Stops after `count` codes, `timeout` seconds, Ctrl-C
    or an exception from on_code (raised again here); codes already read when
    it stops are still delivered. Returns the number of codes delivered.
    """
    device = port_device_path(port)
    if not device:
        raise ValueError("port %r names no device" % (port,))
    speed_texts = speeds()
    if str(baud) not in speed_texts:
        raise ValueError("the optical reader takes one of the speeds %s" % " ".join(speed_texts))
    delivered = [0]
    pending = bytearray()
    failures = []  # ctypes would print and drop an exception raised in a callback

    def relay(message, w_param, _):
        if message == WM_CHAR:
            pending.append(w_param & 0xFF)
        elif message == WM_KEYDOWN and w_param == VK_RETURN and not failures:
            code = to_text(bytes(pending)).rstrip("\r\n")
            pending.clear()
            delivered[0] += 1
            try:
                on_code(code)
            except BaseException as error:  # noqa: B036 - Ctrl-C in on_code stops the scan too
                failures.append(error)
        return 0

    set_port_device("COM1", device)
    set_setting(Setting.ID_PORTA_OPT, 1)
    set_setting(Setting.ID_VELOC_OPT, speed_texts.index(str(baud)))
    set_setting(Setting.ID_TIPO_OPT, reader_type)
    register_window(window, relay)
    deadline = None if timeout is None else time.monotonic() + timeout
    try:
        with ScannerThread(window) as scanner:
            scanner.start()
            try:
                while (count is None or delivered[0] < count) and not failures and not scanner.finished():
                    if deadline is not None and time.monotonic() >= deadline:
                        break
                    check_synchronize(100)
            finally:
                scanner.terminate()
                scanner.wait_for()
    finally:
        unregister_window(window)
    if failures:
        raise failures[0]
    return delivered[0]

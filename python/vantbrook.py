"""ctypes binding of the Vantbrook request library (libVantbrook.so).

The records are ctypes Structures with the exact layout of
include/vantbrook/records.h; the helpers of Meter run one request each and
return plain Python objects. A failed request raises VantbrookError with the
result's code, source and message.

Times are host time values: seconds since 1970-01-01 00:00:00 on the meter's
clock, which carries no time zone. They are returned as naive datetime
objects, converted with no zone applied.

The library finds COM1..COM8 through VANTBROOK_COM1..VANTBROOK_COM8 in the
environment, read at every open.
"""

import ctypes
import datetime
import os

TEXT_FIELD = 40
SOURCE_FIELD = 40
MESSAGE_FIELD = 128
ADDRESS_FIELD = 40
PROTOCOL_FIELD = 4
PASSWORD_FIELD = 41

REQ_DOWNLOAD_CONVERTED = 2738
REQ_MESSAGE = 2739
REQ_DIB = 2742
REQ_NOOP = 2743
REQ_DOWNLOAD_RAW = 2744
REQ_HEADER = 2745
REQ_VERSIONS = 2746
REQ_HOLD = 2748
REQ_RELEASE = 2749

SELECT_BY_TIME = 0
SELECT_BY_RSN = 1
SELECT_ALL = 2
RESTART_AFTER_DOWNLOAD = 1000

# The least room a message request gets (see Meter.message).
MIN_MESSAGE_ROOM = 64

STATUS_FLAG_TEXTS = (
    "No error indications", "Flow sensor absent", "Flow sensor fault",
    "Pressure sensor absent", "Pressure sensor fault", "Battery 1 absent",
    "Battery 1 discharged", "Battery 1 warning", "Battery 2 absent",
    "Battery 2 discharged", "Battery 2 warning", "External power absent",
    "Empty pipe", "Tamper switch activated", "DIB changed")

_EPOCH = datetime.datetime(1970, 1, 1)

ProgressCallback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int)
PortCallback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_int32))


def _text(n):
    return ctypes.c_char * n


class RequestRecord(ctypes.Structure):
    _fields_ = [
        ("portNumber", ctypes.c_int16),
        ("requestCode", ctypes.c_int16),
        ("protocol", _text(PROTOCOL_FIELD)),
        ("address", _text(ADDRESS_FIELD)),
        ("receiveTimeout", ctypes.c_uint32),
        ("linkHandle", ctypes.c_int32),
        ("portHandle", ctypes.c_int32),
        ("download", ctypes.c_void_p),
        ("data", ctypes.POINTER(ctypes.c_ubyte)),
        ("dataLength", ctypes.c_uint32),
        ("linkReserved", ctypes.c_int32),
        ("specifier", ctypes.c_int16),
        ("rangeStart", ctypes.c_int32),
        ("rangeEnd", ctypes.c_int32),
        ("logNo", ctypes.c_int16),
        ("setTimeMode", ctypes.c_char),
        ("password", _text(PASSWORD_FIELD)),
        ("connectCount", ctypes.c_int32),
        ("frameTimeout", ctypes.c_uint32),
        ("reserved", ctypes.c_ubyte * 4),
        ("resumeLimit", ctypes.c_uint32),
        ("commandAttempts", ctypes.c_uint32),
        ("reconnectAttempts", ctypes.c_uint32),
        ("progressCallback", ProgressCallback),
        ("reopenPortCallback", PortCallback),
        ("closePortCallback", PortCallback),
        ("holdConnection", ctypes.c_int32),
    ]


class ResultRecord(ctypes.Structure):
    _fields_ = [
        ("code", ctypes.c_int32),
        ("source", _text(SOURCE_FIELD)),
        ("message", _text(MESSAGE_FIELD)),
    ]


_DIB_TEXTS = ("flowcont", "trancont", "prescont", "transtag", "presstag", "manufact",
              "transtyp", "business", "location", "flowcali", "prescali", "usermess",
              "tranvers", "protvers", "loggvers")


class DibRecord(ctypes.Structure):
    _fields_ = [
        ("strusize", ctypes.c_uint16),
        ("struvers", ctypes.c_uint16),
        ("supplier", ctypes.c_uint16),
        ("meter_id", _text(TEXT_FIELD)),
        ("reserved1", ctypes.c_ubyte * 6),
        ("last_alt", ctypes.c_uint32),
        ("trans_id", ctypes.c_uint32),
        ("transpin", ctypes.c_uint16),
        ("reserved2", ctypes.c_ubyte * 2),
        ("flows_id", ctypes.c_uint32),
        ("press_id", ctypes.c_uint32),
        ("calibore", ctypes.c_float),
        ("aux_word", ctypes.c_uint16),
    ] + [(name, _text(TEXT_FIELD)) for name in _DIB_TEXTS]


class DownloadRecord(ctypes.Structure):
    _fields_ = [
        ("header", ctypes.c_void_p),
        ("entries", ctypes.c_void_p),
        ("capacity", ctypes.c_uint32),
    ]


class DataHeaderRecord(ctypes.Structure):
    _fields_ = [
        ("recordSize", ctypes.c_uint16),
        ("formatVersion", ctypes.c_uint16),
        ("type", ctypes.c_uint16),
        ("supplier", ctypes.c_uint16),
        ("siteId", _text(TEXT_FIELD)),
        ("currentDateTime", ctypes.c_uint32),
        ("priorDateTime", ctypes.c_uint32),
        ("postDateTime", ctypes.c_uint32),
        ("originalLoggerResetDateTime", ctypes.c_uint32),
        ("correctedLoggerResetDateTime", ctypes.c_uint32),
        ("firstPairDateTime", ctypes.c_uint32),
        ("firstPairRSN", ctypes.c_uint32),
        ("lastPairDateTime", ctypes.c_uint32),
        ("lastPairRSN", ctypes.c_uint32),
        ("loggingInterval", ctypes.c_uint16),
        ("reserved1", ctypes.c_ubyte * 2),
        ("calibratedBore", ctypes.c_float),
        ("velocityFormat", ctypes.c_uint32),
        ("pressureFormat", ctypes.c_uint32),
        ("heightOffset", ctypes.c_int16),
        ("reserved2", ctypes.c_ubyte * 2),
        ("statusFlags", ctypes.c_uint32),
        ("count", ctypes.c_uint32),
    ]


class TotalsHeaderRecord(ctypes.Structure):
    _fields_ = [
        ("recordSize", ctypes.c_uint32),
        ("formatVersion", ctypes.c_uint16),
        ("type", ctypes.c_uint16),
        ("supplier", ctypes.c_uint16),
        ("siteId", _text(TEXT_FIELD)),
        ("reserved1", ctypes.c_ubyte * 2),
        ("currentDateTime", ctypes.c_uint32),
        ("priorDateTime", ctypes.c_uint32),
        ("postDateTime", ctypes.c_uint32),
        ("auxText", _text(TEXT_FIELD)),
        ("auxValue", ctypes.c_float),
        ("firstRecordDateTime", ctypes.c_uint32),
        ("firstRecordRSN", ctypes.c_uint32),
        ("lastRecordDateTime", ctypes.c_uint32),
        ("lastRecordRSN", ctypes.c_uint32),
        ("statusFlags", ctypes.c_uint32),
        ("count", ctypes.c_uint32),
    ]


class RawPair(ctypes.Structure):
    _fields_ = [("flow", ctypes.c_uint16), ("pressure", ctypes.c_uint16)]


class ConvertedPair(ctypes.Structure):
    _fields_ = [("flow", ctypes.c_float), ("pressure", ctypes.c_float)]


class TotalsRecord(ctypes.Structure):
    _fields_ = [
        ("dateTime", ctypes.c_uint32),
        ("totals", ctypes.c_uint32 * 8),
        ("extra1", ctypes.c_uint8),
        ("extra2", ctypes.c_uint8),
        ("reserved", ctypes.c_ubyte * 2),
        ("crcValid", ctypes.c_uint32),
    ]


class VersionRecord(ctypes.Structure):
    _fields_ = [("text", _text(TEXT_FIELD) * 8)]


class VantbrookError(Exception):
    """A request that failed: its result code, source and message."""

    def __init__(self, code, source, message):
        super().__init__("%s (code %d, %s)" % (message.lstrip("\r\n"), code, source))
        self.code = code
        self.source = source
        self.message = message


def field_text(raw):
    """A text field's bytes up to its NUL (or its end), as Latin-1 text."""
    raw = bytes(raw)
    end = raw.find(b"\0")
    return (raw if end < 0 else raw[:end]).decode("latin-1")


def meter_time(value):
    """A host time value as a naive datetime on the meter's clock."""
    return _EPOCH + datetime.timedelta(seconds=value)


def host_time(when):
    """A naive datetime on the meter's clock as a host time value."""
    return int((when - _EPOCH).total_seconds())


def status_flag_texts(flags):
    """The texts of the status flags set in a statusFlags value."""
    texts = [STATUS_FLAG_TEXTS[bit + 1] if bit + 1 < len(STATUS_FLAG_TEXTS) else "bit %d" % bit
             for bit in range(32) if flags & (1 << bit)]
    return texts or [STATUS_FLAG_TEXTS[0]]


def _record_dict(record, times=()):
    values = {}
    for name, kind in record._fields_:
        if name.startswith("reserved"):
            continue
        value = getattr(record, name)
        if isinstance(value, bytes) or (hasattr(kind, "_type_") and kind._type_ is ctypes.c_char):
            value = field_text(getattr(record, name))
        elif name in times:
            value = meter_time(value)
        values[name] = value
    return values


def load_library(path=None):
    """Loads libVantbrook.so: the given path, VANTBROOK_LIBRARY, or the
    system's search."""
    library = ctypes.CDLL(path or os.environ.get("VANTBROOK_LIBRARY") or "libVantbrook.so")
    library.VantbrookRequest.argtypes = [ctypes.POINTER(DibRecord), ctypes.POINTER(RequestRecord),
                                         ctypes.POINTER(ResultRecord)]
    library.VantbrookRequest.restype = ctypes.c_int32
    return library


class Meter:
    """One meter connection: its settings, its identity record, and the link
    when held (use it as a context manager to hold one link for several
    requests).

    protocol: "COM" for the serial port com, "pnet" (address = PAD address) or
    "dial" (address = telephone number) for the drivers on port com.
    progress: a function taking a percentage; it runs on the link's receiver
    thread, and returning True aborts the request (code 24).
    """

    def __init__(self, com=1, protocol="COM", address="", password="", receive_timeout=20000,
                 frame_timeout=5000, attempts=3, reconnects=2, resume_limit=3, supplier=0,
                 progress=None, library=None):
        self._library = library or load_library()
        self._request = RequestRecord()
        self._dib = DibRecord()
        r = self._request
        r.portNumber = com
        code = ("COM%d" % com) if protocol.upper() == "COM" else protocol
        r.protocol = code.encode("ascii")[:PROTOCOL_FIELD]
        r.address = address.encode("latin-1")[:ADDRESS_FIELD - 1]
        r.password = password.encode("latin-1")[:PASSWORD_FIELD - 1]
        r.receiveTimeout = receive_timeout
        r.frameTimeout = frame_timeout
        r.commandAttempts = attempts
        r.reconnectAttempts = reconnects
        r.resumeLimit = resume_limit
        r.linkHandle = -1
        r.portHandle = -1
        self._dib.supplier = supplier
        # Kept referenced for as long as the library may call it.
        self._progress = ProgressCallback(lambda percent: 1 if progress(percent) else 0) \
            if progress else ProgressCallback()
        r.progressCallback = self._progress

    def __enter__(self):
        self.hold()
        return self

    def __exit__(self, *exception):
        self.release()
        return False

    def _run(self, code, **fields):
        r = self._request
        r.requestCode = code
        r.download = None
        r.data = None
        r.dataLength = 0
        r.specifier = 0
        r.rangeStart = 0
        r.rangeEnd = 0
        r.logNo = 0
        r.setTimeMode = b"\0"
        for name, value in fields.items():
            setattr(r, name, value)
        result = ResultRecord()
        if self._library.VantbrookRequest(ctypes.byref(self._dib), ctypes.byref(r),
                                          ctypes.byref(result)) != 1:
            raise VantbrookError(result.code, field_text(result.source),
                                 field_text(result.message))
        return result

    @property
    def held(self):
        return self._request.linkHandle != -1

    def hold(self):
        """Opens the link and keeps it open across requests."""
        self._run(REQ_HOLD)

    def release(self):
        """Closes a held link; nothing when none is open."""
        if self.held:
            self._run(REQ_RELEASE)

    def dib(self):
        """The identity block as a dict of its fields."""
        self._run(REQ_DIB)
        return _record_dict(self._dib, times=("last_alt",))

    def versions(self):
        """The eight version texts, in the meter's order."""
        record = VersionRecord()
        self._run(REQ_VERSIONS, download=ctypes.cast(ctypes.pointer(record), ctypes.c_void_p))
        return [field_text(text) for text in record.text]

    def _header_record(self, log_no):
        if log_no == 3:
            header = TotalsHeaderRecord(recordSize=ctypes.sizeof(TotalsHeaderRecord))
            times = ("currentDateTime", "priorDateTime", "postDateTime", "firstRecordDateTime",
                     "lastRecordDateTime")
        else:
            header = DataHeaderRecord(recordSize=ctypes.sizeof(DataHeaderRecord))
            times = ("currentDateTime", "priorDateTime", "postDateTime",
                     "originalLoggerResetDateTime", "correctedLoggerResetDateTime",
                     "firstPairDateTime", "lastPairDateTime")
        return header, times

    def header(self, log_no=1):
        """A logger's header as a dict (times as naive meter-clock datetimes)."""
        header, times = self._header_record(log_no)
        record = DownloadRecord(header=ctypes.cast(ctypes.pointer(header), ctypes.c_void_p))
        self._run(REQ_HEADER, logNo=log_no,
                  download=ctypes.cast(ctypes.pointer(record), ctypes.c_void_p))
        return _record_dict(header, times)

    def download(self, log_no=1, raw=False, rsn=None, start=None, end=None, capacity=100000,
                 set_time=None, restart=False):
        """Downloads a logger's header and entries.

        Selection: rsn=(first, last), or start/end datetimes on the meter
        clock (either may be None), or neither for everything. set_time:
        "before", "after" or None. Returns (header dict, entries): entries are
        (flow, pressure) tuples for loggers 1 and 2, dicts with dateTime,
        totals, extra1, extra2 and crcValid for logger 3.
        """
        header, times = self._header_record(log_no)
        if log_no == 3:
            entries = (TotalsRecord * capacity)()
        else:
            entries = ((RawPair if raw else ConvertedPair) * capacity)()
        record = DownloadRecord(header=ctypes.cast(ctypes.pointer(header), ctypes.c_void_p),
                                entries=ctypes.cast(entries, ctypes.c_void_p), capacity=capacity)
        if rsn is not None:
            specifier, first, last = SELECT_BY_RSN, rsn[0], rsn[1]
        elif start is not None or end is not None:
            specifier = SELECT_BY_TIME
            first = host_time(start) if start else 631152000
            last = host_time(end) if end else 631152000 + 0x7FFFFFFF
        else:
            specifier, first, last = SELECT_ALL, 0, 0
        if restart:
            specifier += RESTART_AFTER_DOWNLOAD
        mode = {"before": b"B", "after": b"A", None: b"\0"}[set_time]
        self._run(REQ_DOWNLOAD_RAW if raw else REQ_DOWNLOAD_CONVERTED, logNo=log_no,
                  download=ctypes.cast(ctypes.pointer(record), ctypes.c_void_p),
                  specifier=specifier, rangeStart=ctypes.c_int32(first & 0xFFFFFFFF).value,
                  rangeEnd=ctypes.c_int32(last & 0xFFFFFFFF).value, setTimeMode=mode)
        count = min(header.count, capacity)
        if log_no == 3:
            decoded = [{"dateTime": meter_time(e.dateTime), "totals": list(e.totals),
                        "extra1": e.extra1, "extra2": e.extra2, "crcValid": bool(e.crcValid)}
                       for e in entries[:count]]
        else:
            decoded = [(e.flow, e.pressure) for e in entries[:count]]
        return _record_dict(header, times), decoded

    def message(self, text, room=1024):
        """Passes a text to the meter and returns its answer (up to a NUL).

        room: bytes for the text and the answer; the library also builds its
        unlock command and short replies there, so it is at least 64.
        """
        raw = text.encode("latin-1")
        if room < MIN_MESSAGE_ROOM or len(raw) + 1 > room:
            raise ValueError("room must be at least %d and hold the text with its NUL"
                             % MIN_MESSAGE_ROOM)
        buffer = (ctypes.c_ubyte * room)(*raw)
        self._run(REQ_MESSAGE, data=ctypes.cast(buffer, ctypes.POINTER(ctypes.c_ubyte)),
                  dataLength=room)
        answer = bytes(buffer)
        end = answer.find(b"\0")
        return (answer if end < 0 else answer[:end]).decode("latin-1")

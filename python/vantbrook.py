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

load_library() finds libVantbrook itself: the path it is given, else the path
in VANTBROOK_LIBRARY, else the library of the install prefix this module was
installed into (pip install --prefix PREFIX beside cmake --install --prefix
PREFIX), else the system's search for libVantbrook.so.1 (a library folder the
loader searches, or LD_LIBRARY_PATH).

Decoded records are frozen dataclasses (Dib, DataHeader, TotalsHeader, Pair,
TotalsEntry) whose fields are typed; each also reads like a dict
(record["meter_id"]). Meter.entries() yields a download's entries one by one,
fetched in batches on one held link.

Every name is snake_case: the Structures' fields are the C header's names in
snake_case (portNumber is port_number, firstPairRSN first_pair_rsn), and so
are the dataclasses' fields. The camelCase names of earlier versions still
work, as attributes and as dict keys, with a DeprecationWarning.
"""

import ctypes
import dataclasses
import datetime
import math
import os
import re
import sysconfig
import typing
import warnings

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

# Result code of a selection in which the meter holds no entries.
NO_DATA_IN_RANGE = 7
# Entries Meter.entries() asks for at a time.
DEFAULT_BATCH = 1000

# The least room a message request gets (see Meter.message).
MIN_MESSAGE_ROOM = 64

LOGGERS = (1, 2, 3)
TOTALS_LOGGER = 3

# The meter's clock: CDTF 0 (1990-01-01 00:00:00) to CDTF 2**31 - 1, as host
# time values. A time the meter marks invalid is decoded as the earliest, so
# that one counts as not valid either.
EARLIEST_METER_TIME = 631152000
LATEST_METER_TIME = 631152000 + 0x7FFFFFFF

# The library's file name as hosts link it (its SONAME).
LIBRARY_NAME = "libVantbrook.so.1"

# Default link settings, as the vantbrook program has them.
DEFAULT_RECEIVE_TIMEOUT = 20000
DEFAULT_CAPACITY = 100000
# The most entries a download makes room for: keeps the library's work buffer
# (up to 572 + 40 per entry) far inside 32 bits.
MAX_CAPACITY = 10000000
# Line speeds of the routes: the link's own serial port and the PAD driver
# run at 4800 bit/s, the modem driver at 9600.
LINE_BAUD = {"COM": 4800, "pnet": 4800, "dial": 9600}
# Download replies: header room, then bytes per entry; 10 bits a byte on the
# line, and a margin for frames, acknowledgements and pauses.
_PAIR_REPLY = (332, 4)
_TOTALS_REPLY = (572, 40)
_REPLY_MARGIN = 1.5
_REPLY_SLACK_MS = 10000

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


def _snake_case(name):
    """portNumber -> port_number, firstPairRSN -> first_pair_rsn."""
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])", "_", name).lower()


class _FormerName:
    """The former name of an attribute: reads and writes it, on an instance
    or (a Structure's field descriptor) on the class, with a
    DeprecationWarning pointing at the caller."""

    def __init__(self, old, new):
        self.old, self.new = old, new
        self.__doc__ = "Deprecated name of %s." % new

    def _warn(self):
        warnings.warn("%s is deprecated, use %s" % (self.old, self.new), DeprecationWarning,
                      stacklevel=3)

    def __get__(self, instance, owner):
        self._warn()
        return getattr(owner if instance is None else instance, self.new)

    def __set__(self, instance, value):
        self._warn()
        setattr(instance, self.new, value)


def _add_deprecated_aliases(cls, renamed):
    """Adds the former names of renamed ({old: new}) to cls as aliases."""
    for old, new in renamed.items():
        setattr(cls, old, _FormerName(old, new))
    cls._renamed = renamed


def _structure(name, c_fields):
    """A Structure with the layout of the C record `name`: c_fields as the C
    header names and types them, in order; the fields are named in
    snake_case and the C names stay as deprecated aliases."""
    structure = type(name, (ctypes.Structure,),
                     {"_fields_": [(_snake_case(field), kind) for field, kind in c_fields],
                      "__module__": __name__})
    _add_deprecated_aliases(structure, {field: _snake_case(field) for field, _ in c_fields
                                        if field != _snake_case(field)})
    return structure


# The records, field by field as include/vantbrook/records.h names them.
RequestRecord = _structure("RequestRecord", [
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
])

ResultRecord = _structure("ResultRecord", [
    ("code", ctypes.c_int32),
    ("source", _text(SOURCE_FIELD)),
    ("message", _text(MESSAGE_FIELD)),
])

_DIB_TEXTS = ("flowcont", "trancont", "prescont", "transtag", "presstag", "manufact",
              "transtyp", "business", "location", "flowcali", "prescali", "usermess",
              "tranvers", "protvers", "loggvers")

DibRecord = _structure("DibRecord", [
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
] + [(name, _text(TEXT_FIELD)) for name in _DIB_TEXTS])

DownloadRecord = _structure("DownloadRecord", [
    ("header", ctypes.c_void_p),
    ("entries", ctypes.c_void_p),
    ("capacity", ctypes.c_uint32),
])

DataHeaderRecord = _structure("DataHeaderRecord", [
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
])

TotalsHeaderRecord = _structure("TotalsHeaderRecord", [
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
])

RawPair = _structure("RawPair", [("flow", ctypes.c_uint16), ("pressure", ctypes.c_uint16)])

ConvertedPair = _structure("ConvertedPair", [("flow", ctypes.c_float),
                                             ("pressure", ctypes.c_float)])

TotalsRecord = _structure("TotalsRecord", [
    ("dateTime", ctypes.c_uint32),
    ("totals", ctypes.c_uint32 * 8),
    ("extra1", ctypes.c_uint8),
    ("extra2", ctypes.c_uint8),
    ("reserved", ctypes.c_ubyte * 2),
    ("crcValid", ctypes.c_uint32),
])

VersionRecord = _structure("VersionRecord", [("text", _text(TEXT_FIELD) * 8)])


class _Record:
    """Dict-style reading of a record's fields, as earlier versions returned
    dicts."""

    _renamed = {}

    def __getitem__(self, name):
        if name in self._renamed:
            warnings.warn("%s is deprecated, use %s" % (name, self._renamed[name]),
                          DeprecationWarning, stacklevel=2)
            name = self._renamed[name]
        if name not in self.__dataclass_fields__:
            raise KeyError(name)
        return getattr(self, name)

    def keys(self):
        return self.__dataclass_fields__.keys()

    def as_dict(self):
        return dataclasses.asdict(self)


def _field_type(kind, is_time):
    if is_time:
        return datetime.datetime
    if getattr(kind, "_type_", None) is ctypes.c_char:
        return str
    if kind in (ctypes.c_float, ctypes.c_double):
        return float
    return int


def _record_class(name, structure, times=(), doc=""):
    """A frozen dataclass with the fields of a ctypes record (reserved bytes
    left out) and their former names, times typed as datetime."""
    fields = [(field, _field_type(kind, field in times)) for field, kind in structure._fields_
              if not field.startswith("reserved")]
    record = dataclasses.make_dataclass(name, fields, bases=(_Record,), frozen=True)
    record.__doc__ = doc
    record.__module__ = __name__
    record.times = times
    _add_deprecated_aliases(record, {old: new for old, new in structure._renamed.items()
                                     if new in record.__dataclass_fields__})
    return record


Dib = _record_class("Dib", DibRecord, times=("last_alt",),
                    doc="The meter's identity block.")
DataHeader = _record_class(
    "DataHeader", DataHeaderRecord,
    times=("current_date_time", "prior_date_time", "post_date_time",
           "original_logger_reset_date_time", "corrected_logger_reset_date_time",
           "first_pair_date_time", "last_pair_date_time"),
    doc="The header of logger 1 or 2 (flow and pressure pairs).")
TotalsHeader = _record_class(
    "TotalsHeader", TotalsHeaderRecord,
    times=("current_date_time", "prior_date_time", "post_date_time", "first_record_date_time",
           "last_record_date_time"),
    doc="The header of logger 3 (totals).")


@dataclasses.dataclass(frozen=True)
class Pair(_Record):
    """A flow/pressure pair of logger 1 or 2: raw 16-bit values or engineering
    units. rsn and time are None where the header and the selection do not
    fix them."""
    rsn: typing.Optional[int]
    time: typing.Optional[datetime.datetime]
    flow: float
    pressure: float


@dataclasses.dataclass(frozen=True)
class TotalsEntry(_Record):
    """A totals record of logger 3; crc_valid says whether its CRC matched."""
    rsn: typing.Optional[int]
    time: datetime.datetime
    totals: typing.List[int]
    extra1: int
    extra2: int
    crc_valid: bool


_add_deprecated_aliases(TotalsEntry, {"crcValid": "crc_valid"})


class VantbrookError(Exception):
    """A request that failed: its result code, source and message, and what
    to change where the binding knows (hint, else None)."""

    def __init__(self, code, source, message, hint=None):
        text = message.lstrip("\r\n") + ("; " + hint if hint else "")
        super().__init__("%s (code %d, %s)" % (text, code, source))
        self.code = code
        self.source = source
        self.message = message
        self.hint = hint


def field_text(raw):
    """A text field's bytes up to its NUL (or its end), as Latin-1 text."""
    raw = bytes(raw)
    end = raw.find(b"\0")
    return (raw if end < 0 else raw[:end]).decode("latin-1")


def meter_time(value):
    """A host time value as a naive datetime on the meter's clock."""
    return _EPOCH + datetime.timedelta(seconds=value)


def host_time(when, round_up=False):
    """A naive datetime on the meter's clock as a host time value: a fraction
    of a second is dropped, or with round_up counted as the next second.
    ValueError for a time the meter's clock cannot hold."""
    delta = when - _EPOCH
    seconds = delta.days * 86400 + delta.seconds
    if round_up and delta.microseconds:
        seconds += 1
    if not EARLIEST_METER_TIME <= seconds <= LATEST_METER_TIME:
        raise ValueError("%s lies outside the meter's clock, %s to %s"
                         % (when.isoformat(), meter_time(EARLIEST_METER_TIME).isoformat(),
                            meter_time(LATEST_METER_TIME).isoformat()))
    return seconds


def valid_meter_time(value):
    """True for a host time value that is a valid meter time."""
    return EARLIEST_METER_TIME < value <= LATEST_METER_TIME


def needed_receive_timeout(log_no, capacity, baud):
    """The receive time-out in ms that lets the largest reply of a download
    with room for capacity entries arrive at baud bit/s."""
    room, size = _TOTALS_REPLY if log_no == TOTALS_LOGGER else _PAIR_REPLY
    line_ms = math.ceil((room + size * capacity) * 10 * 1000 / baud)
    return max(DEFAULT_RECEIVE_TIMEOUT,
               min(int(line_ms * _REPLY_MARGIN) + _REPLY_SLACK_MS, 0xFFFFFFFF))


def status_flag_texts(flags):
    """The texts of the status flags set in a status_flags value."""
    texts = [STATUS_FLAG_TEXTS[bit + 1] if bit + 1 < len(STATUS_FLAG_TEXTS) else "bit %d" % bit
             for bit in range(32) if flags & (1 << bit)]
    return texts or [STATUS_FLAG_TEXTS[0]]


def _record(kind, record):
    """The decoded record of ctypes record `record` as dataclass `kind`."""
    values = {}
    for name in kind.__dataclass_fields__:
        value = getattr(record, name)
        if isinstance(value, bytes):
            value = field_text(value)
        elif name in kind.times:
            value = meter_time(value)
        values[name] = value
    return kind(**values)


def _ceil_div(a, b):
    return -(-a // b)


class _Span:
    """What a logger header says about its first and last entries."""

    def __init__(self, log_no, header):
        if log_no == TOTALS_LOGGER:
            self.first_rsn, self.last_rsn = header.first_record_rsn, header.last_record_rsn
            self.first_time = header.first_record_date_time
            self.last_time = header.last_record_date_time
            self.interval = 0
        else:
            self.first_rsn, self.last_rsn = header.first_pair_rsn, header.last_pair_rsn
            self.first_time = header.first_pair_date_time
            self.last_time = header.last_pair_date_time
            self.interval = header.logging_interval

    def pairs_regular(self):
        """Pairs lie every interval from a valid first time, and the last pair
        sits where that count puts it."""
        if not valid_meter_time(self.first_time) or self.interval == 0:
            return False
        if not valid_meter_time(self.last_time) or self.last_rsn < self.first_rsn:
            return True
        return self.first_time + (self.last_rsn - self.first_rsn) * self.interval == self.last_time

    def pair_time(self, rsn):
        if rsn is None or not self.pairs_regular() or rsn < self.first_rsn:
            return None
        time = self.first_time + (rsn - self.first_rsn) * self.interval
        return time if time <= LATEST_METER_TIME else None


def _first_entry_rsn(log_no, span, selection, low, high, count, capacity, times=()):
    """Record number of the first of count entries of a download, where the
    header and the selection fix it; None where they do not. selection:
    "all", "rsn" or "time" with the range low..high; capacity: the room the
    download had; times: the entries' own times (totals only)."""
    totals = log_no == TOTALS_LOGGER

    def from_start():
        if selection == "all":
            return span.first_rsn
        if selection == "rsn":
            return low if count == high - low + 1 else max(low, span.first_rsn)
        if totals:
            starts = (low <= span.first_time <= high and count > 0
                      and times[0] == span.first_time)
            return span.first_rsn if starts else None
        if low <= span.first_time:
            return span.first_rsn
        if not span.pairs_regular():
            return None
        return span.first_rsn + _ceil_div(low - span.first_time, span.interval)

    def last_from_end():
        if selection == "all":
            return span.last_rsn
        if selection == "rsn":
            return min(high, span.last_rsn)
        if not valid_meter_time(span.last_time):
            return None
        if totals:
            ends = low <= span.last_time <= high and count > 0 and times[-1] == span.last_time
            return span.last_rsn if ends else None
        if high >= span.last_time:
            return span.last_rsn
        if span.interval == 0:
            return None
        steps = _ceil_div(span.last_time - high, span.interval)
        return span.last_rsn - steps if steps <= span.last_rsn else None

    first_believed = valid_meter_time(span.first_time)
    first = from_start() if first_believed else None
    if not first_believed and selection == "rsn" and count == high - low + 1:
        first = low
    if 0 < count < capacity:
        last = last_from_end()
        if last is not None and last + 1 >= count:
            from_last = last + 1 - count
            if first is not None and first != from_last:
                return None
            first = from_last
    if first is None:
        return None
    if count > 0 and first + count - 1 > span.last_rsn:
        return None
    if first_believed and first < span.first_rsn:
        return None
    return first


def _installed_library():
    """libVantbrook in the install prefix this module lies in, or None: the
    module sits in PREFIX/lib/pythonX.Y/site-packages (or a dist-packages or
    lib64 variant), the library in PREFIX's library folder."""
    here = os.path.dirname(os.path.abspath(__file__))
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    prefix = here
    for _ in range(4):
        prefix = os.path.dirname(prefix)
        for folder in ("lib", "lib64", os.path.join("lib", multiarch)):
            candidate = os.path.join(prefix, folder, LIBRARY_NAME)
            if os.path.isfile(candidate):
                return candidate
    return None


def load_library(path=None):
    """Loads libVantbrook: the given path, else VANTBROOK_LIBRARY, else the
    install prefix's, else the system's search for libVantbrook.so.1."""
    library = ctypes.CDLL(path or os.environ.get("VANTBROOK_LIBRARY") or _installed_library()
                          or LIBRARY_NAME)
    library.VantbrookRequest.argtypes = [ctypes.POINTER(DibRecord), ctypes.POINTER(RequestRecord),
                                         ctypes.POINTER(ResultRecord)]
    library.VantbrookRequest.restype = ctypes.c_int32
    return library


def _check_logger(log_no):
    if log_no not in LOGGERS:
        raise ValueError("log_no must be 1, 2 or 3, not %r" % (log_no,))


class Meter:
    """One meter connection: its settings, its identity record, and the link
    when held (use it as a context manager to hold one link for several
    requests).

    protocol: "COM" for the serial port com, "pnet" (address = PAD address) or
    "dial" (address = telephone number) for the drivers on port com.
    receive_timeout: how long a whole reply may take, in ms; None takes 20000,
    and for a download the time its largest reply needs at the line's speed
    (baud, by default the speed the link sets on the route). A meter that
    stays silent is given up after frame_timeout, whatever receive_timeout.
    progress: a function taking a percentage; it runs on the link's receiver
    thread, and returning True aborts the request (code 24).
    """

    def __init__(self, com=1, protocol="COM", address="", password="", receive_timeout=None,
                 frame_timeout=5000, attempts=3, reconnects=2, resume_limit=3, supplier=0,
                 progress=None, library=None, baud=None):
        self._library = library or load_library()
        self._request = RequestRecord()
        self._dib = DibRecord()
        r = self._request
        r.port_number = com
        is_com = protocol.upper() == "COM"
        code = ("COM%d" % com) if is_com else protocol
        r.protocol = code.encode("ascii")[:PROTOCOL_FIELD]
        r.address = address.encode("latin-1")[:ADDRESS_FIELD - 1]
        r.password = password.encode("latin-1")[:PASSWORD_FIELD - 1]
        self._receive_timeout = receive_timeout
        self._baud = baud or LINE_BAUD.get("COM" if is_com else protocol, LINE_BAUD["COM"])
        r.frame_timeout = frame_timeout
        r.command_attempts = attempts
        r.reconnect_attempts = reconnects
        r.resume_limit = resume_limit
        r.link_handle = -1
        r.port_handle = -1
        self._dib.supplier = supplier
        # Kept referenced for as long as the library may call it.
        self._progress = ProgressCallback(lambda percent: 1 if progress(percent) else 0) \
            if progress else ProgressCallback()
        r.progress_callback = self._progress

    def __enter__(self):
        self.hold()
        return self

    def __exit__(self, *exception):
        self.release()
        return False

    def _run(self, code, hint=None, **fields):
        r = self._request
        r.request_code = code
        r.receive_timeout = self._receive_timeout or DEFAULT_RECEIVE_TIMEOUT
        r.download = None
        r.data = None
        r.data_length = 0
        r.specifier = 0
        r.range_start = 0
        r.range_end = 0
        r.log_no = 0
        r.set_time_mode = b"\0"
        for name, value in fields.items():
            setattr(r, name, value)
        result = ResultRecord()
        if self._library.VantbrookRequest(ctypes.byref(self._dib), ctypes.byref(r),
                                          ctypes.byref(result)) != 1:
            raise VantbrookError(result.code, field_text(result.source),
                                 field_text(result.message), hint(result.code) if hint else None)
        return result

    @property
    def held(self):
        return self._request.link_handle != -1

    def hold(self):
        """Opens the link and keeps it open across requests."""
        self._run(REQ_HOLD)

    def release(self):
        """Closes a held link; nothing when none is open."""
        if self.held:
            self._run(REQ_RELEASE)

    def dib(self):
        """The identity block, a Dib."""
        self._run(REQ_DIB)
        return _record(Dib, self._dib)

    def versions(self):
        """The eight version texts, in the meter's order."""
        record = VersionRecord()
        self._run(REQ_VERSIONS, download=ctypes.cast(ctypes.pointer(record), ctypes.c_void_p))
        return [field_text(text) for text in record.text]

    @staticmethod
    def _header_record(log_no):
        """The ctypes header record of a logger and the dataclass it decodes to."""
        if log_no == TOTALS_LOGGER:
            return TotalsHeaderRecord(record_size=ctypes.sizeof(TotalsHeaderRecord)), TotalsHeader
        return DataHeaderRecord(record_size=ctypes.sizeof(DataHeaderRecord)), DataHeader

    def header(self, log_no=1):
        """A logger's header: a DataHeader for loggers 1 and 2, a TotalsHeader
        for logger 3 (times as naive meter-clock datetimes)."""
        _check_logger(log_no)
        header, kind = self._header_record(log_no)
        record = DownloadRecord(header=ctypes.cast(ctypes.pointer(header), ctypes.c_void_p))
        self._run(REQ_HEADER, log_no=log_no,
                  download=ctypes.cast(ctypes.pointer(record), ctypes.c_void_p))
        return _record(kind, header)

    def download(self, log_no=1, raw=False, rsn=None, start=None, end=None, capacity=None,
                 set_time=None, restart=False):
        """Downloads a logger's header and entries.

        Selection: rsn=(first, last), or start/end datetimes on the meter
        clock (either may be None), or neither for everything. A start with a
        fraction of a second counts from the next whole second, an end up to
        its whole second; times the meter's clock cannot hold are refused.
        set_time: "before", "after" or None. Returns (header, entries): the
        logger's header (see header()) and a list of Pair entries for loggers
        1 and 2 (raw 16-bit values, or engineering units) or TotalsEntry
        entries for logger 3, each with its record number rsn and its time
        (None where the header and the selection do not fix them).
        capacity: room for that many entries; None makes room for the rsn
        range, else for DEFAULT_CAPACITY.
        """
        _check_logger(log_no)
        if capacity is None:
            capacity = min(rsn[1] - rsn[0] + 1, MAX_CAPACITY) if rsn and rsn[1] >= rsn[0] \
                else DEFAULT_CAPACITY
        if not 1 <= capacity <= MAX_CAPACITY:
            raise ValueError("capacity must be 1 to %d" % MAX_CAPACITY)
        if rsn is not None:
            specifier, selection, first, last = SELECT_BY_RSN, "rsn", rsn[0], rsn[1]
            if not 0 <= first <= last <= 0xFFFFFFFF:
                raise ValueError("rsn must be (first, last) with first <= last")
        elif start is not None or end is not None:
            specifier, selection = SELECT_BY_TIME, "time"
            first = host_time(start, round_up=True) if start else EARLIEST_METER_TIME
            last = host_time(end) if end else LATEST_METER_TIME
            if first > last:
                raise ValueError("start lies after end")
        else:
            specifier, selection, first, last = SELECT_ALL, "all", 0, 0
        if restart:
            specifier += RESTART_AFTER_DOWNLOAD
        mode = {"before": b"B", "after": b"A", None: b"\0"}[set_time]

        needed = needed_receive_timeout(log_no, capacity, self._baud)
        timeout = self._receive_timeout or needed
        if timeout < needed:
            warnings.warn("receive_timeout %d ms is shorter than the %d ms that a reply of up to "
                          "%d entries may need at %d bit/s" % (timeout, needed, capacity,
                                                              self._baud), stacklevel=2)

        def hint(code):
            if code != 16 or timeout >= needed:
                return None
            return "give receive_timeout=%d or more, or leave it out" % needed

        header, kind = self._header_record(log_no)
        if log_no == TOTALS_LOGGER:
            entries = (TotalsRecord * capacity)()
        else:
            entries = ((RawPair if raw else ConvertedPair) * capacity)()
        record = DownloadRecord(header=ctypes.cast(ctypes.pointer(header), ctypes.c_void_p),
                                entries=ctypes.cast(entries, ctypes.c_void_p), capacity=capacity)
        saved, self._receive_timeout = self._receive_timeout, timeout
        try:
            self._run(REQ_DOWNLOAD_RAW if raw else REQ_DOWNLOAD_CONVERTED, hint=hint,
                      log_no=log_no, download=ctypes.cast(ctypes.pointer(record), ctypes.c_void_p),
                      specifier=specifier, range_start=ctypes.c_int32(first & 0xFFFFFFFF).value,
                      range_end=ctypes.c_int32(last & 0xFFFFFFFF).value, set_time_mode=mode)
        finally:
            self._receive_timeout = saved
        count = min(header.count, capacity)
        span = _Span(log_no, header)
        kept = entries[:count]
        own_times = [e.date_time for e in kept] if log_no == TOTALS_LOGGER else ()
        first_rsn = _first_entry_rsn(log_no, span, selection, first, last, count, capacity,
                                     own_times)
        decoded = []
        for index, e in enumerate(kept):
            number = None if first_rsn is None else first_rsn + index
            if log_no == TOTALS_LOGGER:
                decoded.append(TotalsEntry(number, meter_time(e.date_time), list(e.totals),
                                           e.extra1, e.extra2, bool(e.crc_valid)))
            else:
                when = span.pair_time(number)
                decoded.append(Pair(number, None if when is None else meter_time(when),
                                    e.flow, e.pressure))
        return _record(kind, header), decoded

    def entries(self, log_no=1, raw=False, rsn=None, batch=DEFAULT_BATCH):
        """Yields a logger's entries one by one, as download() decodes them,
        fetched batch entries at a time by record number on one held link
        (held only while the iteration runs, unless it was held already).

        rsn: (first, last), or None for everything the header lists. A batch
        in which the meter holds no entries yields nothing.
        """
        _check_logger(log_no)
        if batch < 1:
            raise ValueError("batch must be at least 1")
        if rsn is not None and not 0 <= rsn[0] <= rsn[1] <= 0xFFFFFFFF:
            raise ValueError("rsn must be (first, last) with first <= last")
        hold = not self.held
        if hold:
            self.hold()
        try:
            if rsn is None:
                header = self.header(log_no)
                if log_no == TOTALS_LOGGER:
                    first, last = header.first_record_rsn, header.last_record_rsn
                else:
                    first, last = header.first_pair_rsn, header.last_pair_rsn
            else:
                first, last = rsn
            at = first
            while at <= last:
                upto = min(last, at + batch - 1)
                try:
                    _, got = self.download(log_no, raw=raw, rsn=(at, upto))
                except VantbrookError as error:
                    if error.code != NO_DATA_IN_RANGE:
                        raise
                    got = []
                yield from got
                at = upto + 1
        finally:
            if hold:
                self.release()

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
                  data_length=room)
        answer = bytes(buffer)
        end = answer.find(b"\0")
        return (answer if end < 0 else answer[:end]).decode("latin-1")

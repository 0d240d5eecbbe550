"""VELTRA from Python: the cash register library over ctypes.

Two layers. The exports under their own names (veltra.ecr_get_info, ...) take
and give exactly what the C interface does: bytes for texts, ctypes buffers
for what the library writes. Beside them, each function without its "ecr_"
prefix takes str or path-like arguments, sizes its buffers from the header's
constants, returns what the library wrote and raises veltra.Error for a
failure:

    import veltra
    print(veltra.version())
    info = veltra.get_info("192.168.1.20")      # the 22 values by name
    rows = veltra.recv_plu_all("192.168.1.20", "plu.csv")

Texts cross the interface as single bytes (latin-1 here, the register's
character set being a single-byte one); file and folder names as the file
system encodes them.
"""
import collections
import ctypes
import datetime
import os

from . import _api
from ._api import *  # noqa: F401,F403  (the exports under their own names)
from ._api import (ECR_ERR_BUFSIZE, ECR_INFO_BUFSIZE, ECR_INFO_VARS, ECR_ORO_STRUCT_SIZE,
                   ECR_ORO_BYTES_SIZE, ECR_ORO_TEXT_BUFSIZE, ECR_PORT_LIST_BUFSIZE,
                   ECR_REL_BITMAP_BUFSIZE, ECR_REL_TEXT_BUFSIZE, ECR_STATUS_BUFSIZE,
                   ECR_VER_BUFSIZE, ECR_DATI_INFO_BUFSIZE, RESULTS)

ENCODING = "latin-1"

_BY_CODE = {value: (name, meaning) for name, value, meaning in RESULTS}


class Error(Exception):
    """A failure result of the library: .code (-1 to -26), .name
    ("ERR_TIMEOUT") and .meaning ("no answer in time"), and .function, the
    export that returned it."""

    def __init__(self, code, function=None):
        self.code = code
        self.name, self.meaning = _BY_CODE.get(code, (str(code), "result code not known"))
        self.function = function
        where = f"{function}: " if function else ""
        super().__init__(f"{where}{self.name} ({code}): {self.meaning}")


def check(result, function=None):
    """Returns result when it is 0 or more, else raises Error."""
    if result < 0:
        raise Error(result, function)
    return result


def _text(value):
    if value is None:
        return None
    if isinstance(value, bytes):
        return value
    return str(value).encode(ENCODING)


def _path(value):
    if value is None:
        return None
    return os.fsencode(value)


def _decode(buf):
    return buf.value.decode(ENCODING)


def result_meaning(code):
    """The meaning the header gives a result code, or None."""
    return _BY_CODE.get(code, (None, None))[1]


# -- the library, its results and its files -------------------------------


def version():
    """The library's version text."""
    buf = ctypes.create_string_buffer(ECR_VER_BUFSIZE)
    _api.ecr_get_ver(buf)
    return _decode(buf)


def result_name(code):
    """The library's name of a result code ("ERR_TIMEOUT" for -6); codes
    outside the map give their decimal text."""
    buf = ctypes.create_string_buffer(ECR_ERR_BUFSIZE)
    _api.ecr_get_err(code, buf)
    return _decode(buf)


def files_list():
    """The register files ecr_command may put and get."""
    return [n.decode(ENCODING) for n in _api.ecr_files_list()]


def ping(host, seconds=3):
    """Raises Error unless the register answers an ICMP echo."""
    check(_api.ecr_ping(_text(host), seconds), "ecr_ping")


def command(host, request, filename=None):
    """One exchange by request number; request 0 returns the INFO line."""
    buf = ctypes.create_string_buffer(ECR_INFO_BUFSIZE)
    check(_api.ecr_command(_text(host), _path(filename), request, buf, len(buf)), "ecr_command")
    return _decode(buf)


# -- status ----------------------------------------------------------------


def _split_info(org, var_list):
    """The 22 values by their names in the answer line. A field without a
    name is keyed by its position, "#k"."""
    fields = _decode(org).rstrip("\r\n").split(",")
    out = collections.OrderedDict()
    for k in range(ECR_INFO_VARS):
        name = fields[k].split("=", 1)[0] if k < len(fields) and "=" in fields[k] else ""
        if not name or name in out:
            name = f"#{k}"
        out[name] = (var_list[k] or b"").decode(ENCODING)
    return out


def get_info(host):
    """The register's INFO answer as a dict of its 22 values, in order."""
    org = ctypes.create_string_buffer(ECR_INFO_BUFSIZE)
    mod = ctypes.create_string_buffer(ECR_INFO_BUFSIZE)
    var_list = (ctypes.c_char_p * ECR_INFO_VARS)()
    check(_api.ecr_get_info(_text(host), org, mod, var_list), "ecr_get_info")
    return _split_info(org, var_list)


def get_info_line(host):
    """The register's INFO answer line as it came."""
    org = ctypes.create_string_buffer(ECR_INFO_BUFSIZE)
    check(_api.ecr_get_info(_text(host), org, None, None), "ecr_get_info")
    return _decode(org)


def get_status(host):
    """(host connection number, 1 when the state letter is "V"); raises
    Error when the register is not ready for work."""
    conn, fis = ctypes.c_int32(), ctypes.c_int32()
    check(_api.ecr_get_status(_text(host), ctypes.byref(conn), ctypes.byref(fis)),
          "ecr_get_status")
    return conn.value, fis.value


def get_status_new(host):
    """(state letter, "S" or "N" for a host connection)."""
    stato = ctypes.create_string_buffer(ECR_STATUS_BUFSIZE)
    conn = ctypes.create_string_buffer(ECR_STATUS_BUFSIZE)
    check(_api.ecr_get_status_new(_text(host), stato, conn), "ecr_get_status_new")
    return _decode(stato), _decode(conn)


# -- tables ------------------------------------------------------------------


def _host_file(name):
    f = getattr(_api, name)

    def call(host, filename):
        return check(f(_text(host), _path(filename)), name)

    call.__name__ = name[4:]
    call.__doc__ = f"{name} with str arguments: returns its count, raises Error."
    return call


recv_reparti_all = _host_file("ecr_recv_reparti_all")
recv_reparti_mod = _host_file("ecr_recv_reparti_mod")
recv_plu_all = _host_file("ecr_recv_plu_all")
recv_plu_mod = _host_file("ecr_recv_plu_mod")
recv_clienti_all = _host_file("ecr_recv_clienti_all")
recv_clienti_mod = _host_file("ecr_recv_clienti_mod")
send_reparti = _host_file("ecr_send_reparti")
send_plu = _host_file("ecr_send_plu")
send_clienti = _host_file("ecr_send_clienti")
recv_fatture = _host_file("ecr_recv_fatture")


def _conv(name):
    f = getattr(_api, name)

    def call(filename_bin, filename_csv, all=True):
        return check(f(_path(filename_bin), _path(filename_csv), 1 if all else 0), name)

    call.__name__ = name[4:]
    call.__doc__ = f"{name}: the number of rows written; raises Error."
    return call


conv_reparti_csv = _conv("ecr_conv_reparti_csv")
conv_plu_csv = _conv("ecr_conv_plu_csv")
conv_clienti_csv = _conv("ecr_conv_clienti_csv")


# -- sales -------------------------------------------------------------------


def recv_vend_corrente(host, dirname):
    """The day's sales as CSV files in dirname; False when there are none."""
    return check(_api.ecr_recv_vend_corrente(_text(host), _path(dirname)),
                 "ecr_recv_vend_corrente") == 1


def recv_vend_storico(host, dirname, first, last):
    """Past days' sales from the date first to last (datetime.date, years
    2000 to 2099) as CSV files; returns the number of days written."""
    return check(_api.ecr_recv_vend_storico(_text(host), _path(dirname), first.day, first.month,
                                            first.year - 2000, last.day, last.month,
                                            last.year - 2000), "ecr_recv_vend_storico")


# -- releases ----------------------------------------------------------------


def _release(name, where):
    rel = ctypes.create_string_buffer(ECR_REL_TEXT_BUFSIZE)
    ver = ctypes.create_string_buffer(ECR_REL_TEXT_BUFSIZE)
    bitmap = ctypes.create_string_buffer(ECR_REL_BITMAP_BUFSIZE)
    check(getattr(_api, name)(where, rel, ver, bitmap), name)
    return _decode(rel), _decode(ver), _decode(bitmap)


def rel_info_file(filename):
    """(release name, version, bitmap type) of a release file."""
    return _release("ecr_rel_info_file", _path(filename))


def rel_info_cassa(host):
    """(release name, version, bitmap type) the register reports."""
    return _release("ecr_rel_info_cassa", _text(host))


def rel_update(filename, host):
    check(_api.ecr_rel_update(_path(filename), _text(host)), "ecr_rel_update")


# -- backups -----------------------------------------------------------------


def dati_save(filename, host):
    check(_api.ecr_dati_save(_path(filename), _text(host)), "ecr_dati_save")


def dati_restore(filename, host):
    check(_api.ecr_dati_restore(_path(filename), _text(host)), "ecr_dati_restore")


def dati_extract(filename, dirname):
    check(_api.ecr_dati_extract(_path(filename), _path(dirname)), "ecr_dati_extract")


def dati_info(filename):
    """The INFO values an archive was saved with, as get_info gives them."""
    org = ctypes.create_string_buffer(ECR_DATI_INFO_BUFSIZE)
    mod = ctypes.create_string_buffer(ECR_DATI_INFO_BUFSIZE)
    var_list = (ctypes.c_char_p * ECR_INFO_VARS)()
    check(_api.ecr_dati_info(_path(filename), org, mod, var_list), "ecr_dati_info")
    return _split_info(org, var_list)


# -- clock codes -------------------------------------------------------------

OroStruct = collections.namedtuple(
    "OroStruct", "day month year hour minute second weekday yday")


def oro_2long(oro_bytes):
    """The oro value of a 6-byte record (day, month, yy, hour, minute, second)."""
    if len(oro_bytes) != ECR_ORO_BYTES_SIZE:
        raise ValueError(f"an oro record has {ECR_ORO_BYTES_SIZE} bytes")
    rec = (ctypes.c_ubyte * ECR_ORO_BYTES_SIZE).from_buffer_copy(bytes(oro_bytes))
    return _api.ecr_oro_2long(rec)


def oro_2struct(oro):
    """The fields of an oro value; ValueError outside 2000..2099."""
    rec = ctypes.create_string_buffer(ECR_ORO_STRUCT_SIZE)
    if _api.ecr_oro_2struct(oro, rec) != 0:
        raise ValueError(f"oro value {oro} is outside 01/01/2000..31/12/2099")
    b = rec.raw
    return OroStruct(b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[8] | b[9] << 8)


def oro_check(day, month, year, hour, minute, second):
    """Whether the fields make a valid date and time (year two digits)."""
    return _api.ecr_oro_check(day, month, year, hour, minute, second) == 0


def oro_encode(oro):
    """"dd/mm/yy-hh:mm:ss-[ddd-w]" for an oro value."""
    buf = ctypes.create_string_buffer(ECR_ORO_TEXT_BUFSIZE)
    _api.ecr_oro_encode(oro, buf)
    return _decode(buf)


def oro_decode(day, month, year, hour=0, minute=0, second=0):
    """The oro value of the fields (year two digits)."""
    return _api.ecr_oro_decode(day, month, year, hour, minute, second)


def oro_of(when):
    """The oro value of a datetime.datetime (or date) in 2000..2099."""
    if not isinstance(when, datetime.datetime):
        when = datetime.datetime(when.year, when.month, when.day)
    return oro_decode(when.day, when.month, when.year - 2000, when.hour, when.minute,
                      when.second)


date_decode = _api.ecr_date_decode
dates_decode = _api.ecr_dates_decode
time_decode = _api.ecr_time_decode
times_decode = _api.ecr_times_decode


# -- raw line channels -------------------------------------------------------


class _Channel:
    """What both channels share: text out, bytes in, closed on leaving a
    with block."""

    _send = _recv = _file = _disc = None
    _id = None
    _closed = True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def send(self, text):
        """Sends a text (str or bytes) and waits until the register took it."""
        check(type(self)._send(self._id, _text(text)), type(self)._send.__name__)

    def send_file(self, filename):
        check(type(self)._file(self._id, _path(filename)), type(self)._file.__name__)

    def recv(self, size, numsec=5):
        """The bytes of the first read that brings any (at most size), or b""
        after numsec silent waits."""
        buf = ctypes.create_string_buffer(size)
        n = check(type(self)._recv(self._id, buf, size, numsec), type(self)._recv.__name__)
        return buf.raw[:n]

    def recv_exact(self, size, numsec=5):
        """Exactly size bytes, or b"" after numsec silent waits."""
        buf = ctypes.create_string_buffer(size)
        n = check(type(self)._recv(self._id, buf, -size, numsec), type(self)._recv.__name__)
        return buf.raw[:n]

    def drop_input(self):
        check(type(self)._recv(self._id, None, 0, 0), type(self)._recv.__name__)

    @property
    def closed(self):
        return self._closed

    def close(self):
        """Ends the channel; later calls on it fail as the library says."""
        if not self._closed:
            self._closed = True
            type(self)._disc(self._id)


class NetChannel(_Channel):
    """The register's raw channel over TCP (port 1723, or ECR_LINE_PORT)."""

    _send = staticmethod(_api.ecr_send_xonxoff_ntw)
    _recv = staticmethod(_api.ecr_recv_xonxoff_ntw)
    _file = staticmethod(_api.ecr_file_xonxoff_ntw)
    _disc = staticmethod(_api.ecr_disc_xonxoff_ntw)

    def __init__(self, host):
        self._id = check(_api.ecr_conn_xonxoff_ntw(_text(host)), "ecr_conn_xonxoff_ntw")
        self._closed = False

    @property
    def sockid(self):
        return self._id


class SerialChannel(_Channel):
    """The register's raw channel on serial port n (COMn; ECR_COM<n> names
    its device). baud is the header's index: 0 4800 .. 5 115200."""

    _send = staticmethod(_api.ecr_send_xonxoff_ser)
    _recv = staticmethod(_api.ecr_recv_xonxoff_ser)
    _file = staticmethod(_api.ecr_file_xonxoff_ser)
    _disc = staticmethod(_api.ecr_disc_xonxoff_ser)

    def __init__(self, port, baud=1, echo=False):
        check(_api.ecr_conn_xonxoff_ser(port, baud, 1 if echo else 0), "ecr_conn_xonxoff_ser")
        self._id = port
        self._closed = False

    @property
    def port(self):
        return self._id


def open_line(host):
    """The raw network channel, to use in a with block."""
    return NetChannel(host)


def open_serial(port, baud=1, echo=False):
    """A raw serial channel, to use in a with block."""
    return SerialChannel(port, baud, echo)


def enum_port_ser():
    """The numbers of the serial ports present (at most ten)."""
    buf = ctypes.create_string_buffer(ECR_PORT_LIST_BUFSIZE)
    check(_api.ecr_enum_port_ser(buf), "ecr_enum_port_ser")
    text = _decode(buf)
    return [int(n) for n in text.split(",")] if text else []

"""The C interface (libtavi.so.1) through ctypes: loading, prototypes, and the one completion.

Every call goes through ``start()``: it starts a ``tavi_client_start_<operation>`` call on a
client handle (``new_client()``) whose completion (one C function pointer for the whole process)
copies the result into Python values and hands them to the ``deliver`` function given with the
call. Nothing here blocks or makes threads.
"""
from __future__ import annotations

import atexit
import ctypes
import itertools
import json
import logging
import os
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple

_logger = logging.getLogger("tavi")

TAVI_OK, TAVI_FAILED, TAVI_INVALID_ARGUMENT, TAVI_INTERNAL_ERROR = 0, 1, 2, 3

#: The environment variable naming the libtavi.so to load (a build tree's, say).
LIBRARY_VARIABLE = "TAVI_LIBRARY"


class _Error(ctypes.Structure):
    pass


_Error._fields_ = [
    ("domain", ctypes.c_char_p),
    ("code", ctypes.c_long),
    ("message", ctypes.c_char_p),
    ("error_code", ctypes.c_char_p),
    ("error_reason", ctypes.c_char_p),
    ("underlying", ctypes.POINTER(_Error)),
]


class _Value(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("value", ctypes.c_char_p)]


class _Result(ctypes.Structure):
    _fields_ = [
        ("status", ctypes.c_int),
        ("error", ctypes.POINTER(_Error)),
        ("value_count", ctypes.c_size_t),
        ("values", ctypes.POINTER(_Value)),
        ("internal_", ctypes.c_void_p),
    ]


class _CallOptions(ctypes.Structure):
    _fields_ = [("deadline_ms", ctypes.c_long)]


class _PendingOutcome(ctypes.Structure):
    _fields_ = [("operation", ctypes.c_char_p), ("msg_id", ctypes.c_char_p),
                ("txn_id", ctypes.c_char_p), ("recorded_at_ms", ctypes.c_longlong)]


_COMPLETION = ctypes.CFUNCTYPE(None, ctypes.POINTER(_Result), ctypes.c_void_p)
_LOG = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)


@dataclass(frozen=True)
class ErrorValue:
    """A copy of one ``tavi_error`` (and what the result said about its request)."""

    domain: str
    code: int
    message: str
    error_code: Optional[str]
    error_reason: Optional[str]
    underlying: Optional["ErrorValue"]


@dataclass(frozen=True)
class Outcome:
    """A copy of a call's ``tavi_result``: it outlives the completion."""

    status: int
    values: Dict[str, Optional[str]]
    error: Optional[ErrorValue]
    delivery: int = 0
    http_status: int = 0


def _text(raw: Optional[bytes]) -> Optional[str]:
    return None if raw is None else raw.decode("utf-8", "replace")


def _copy_error(ptr: "ctypes._Pointer[_Error]", depth: int = 0) -> Optional[ErrorValue]:
    if not ptr or depth > 16:
        return None
    e = ptr.contents
    return ErrorValue(_text(e.domain) or "", int(e.code), _text(e.message) or "",
                      _text(e.error_code), _text(e.error_reason),
                      _copy_error(e.underlying, depth + 1))


def _library_candidates() -> List[str]:
    """Where libtavi.so.1 is looked for, in order."""
    named = os.environ.get(LIBRARY_VARIABLE)
    if named:
        return [named]
    candidates = []
    # Run from the source tree (python/tavi/ inside the project): the build tree's copy.
    package = Path(__file__).resolve().parent
    tree = package.parent.parent
    if (package.parent / "pyproject.toml").is_file():
        built = tree / "build" / "lib" / "libtavi.so.1"
        if built.exists():
            candidates.append(str(built))
    # Installed (libtavi1): the dynamic loader's path.
    candidates.append("libtavi.so.1")
    return candidates


def _load() -> ctypes.CDLL:
    errors = []
    for candidate in _library_candidates():
        try:
            return ctypes.CDLL(candidate)
        except OSError as exc:
            errors.append(f"{candidate}: {exc}")
    raise ImportError("tavi: cannot load libtavi.so.1 (install libtavi1, or set "
                      f"{LIBRARY_VARIABLE} to the library's path): " + "; ".join(errors))


lib = _load()


def _declare(name: str, restype, argtypes: Sequence) -> None:
    try:
        fn = getattr(lib, name)
    except AttributeError:
        raise ImportError(f"tavi: the loaded libtavi lacks {name} (a libtavi as new as this "
                          f"package is needed: {lib.tavi_version().decode()})") from None
    fn.restype = restype
    fn.argtypes = list(argtypes)


_c = ctypes.c_char_p
_declare("tavi_version", ctypes.c_char_p, [])
_declare("tavi_result_free", None, [ctypes.POINTER(_Result)])
_declare("tavi_result_delivery", ctypes.c_int, [ctypes.POINTER(_Result)])
_declare("tavi_result_http_status", ctypes.c_long, [ctypes.POINTER(_Result)])
_declare("tavi_string_free", None, [ctypes.c_void_p])
_declare("tavi_client_new", ctypes.c_void_p, [ctypes.c_void_p])
_declare("tavi_client_config_set", ctypes.c_int, [ctypes.c_void_p, _c, _c])
_declare("tavi_client_free", None, [ctypes.c_void_p])
_declare("tavi_client_preference_save", ctypes.c_int32, [ctypes.c_void_p, _c, _c])
_declare("tavi_set_log_sink", None, [_LOG, ctypes.c_void_p])
_declare("tavi_pending_outcomes", ctypes.c_int,
         [ctypes.c_void_p, ctypes.POINTER(ctypes.POINTER(_PendingOutcome)),
          ctypes.POINTER(ctypes.c_size_t), ctypes.POINTER(ctypes.c_void_p)])
_declare("tavi_pending_outcomes_free", None, [ctypes.POINTER(_PendingOutcome), ctypes.c_size_t])
_declare("tavi_settle_outcome", ctypes.c_int,
         [ctypes.c_void_p, _c, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_void_p)])
_declare("tavi_store_open_sqlite_protected", ctypes.c_void_p,
         [_c, _c, ctypes.POINTER(ctypes.POINTER(_Result))])
_declare("tavi_store_new_memory", ctypes.c_void_p, [])
_declare("tavi_client_store_status", ctypes.c_int, [ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p)])
_declare("tavi_client_store_rekey", ctypes.c_int, [ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p)])
_declare("tavi_store_free", None, [ctypes.c_void_p])
_declare("tavi_call_cancel", ctypes.c_int, [ctypes.c_void_p])
_declare("tavi_call_wait", ctypes.c_int, [ctypes.c_void_p])
_declare("tavi_call_free", None, [ctypes.c_void_p])
_declare("tavi_card_check_number", ctypes.c_int, [ctypes.c_void_p])
_declare("tavi_card_brand", ctypes.c_char_p, [ctypes.c_void_p])
_declare("tavi_card_verify", ctypes.POINTER(_Result),
         [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p])

#: Each operation's C arguments, in order (the Python methods take the same names).
OPERATIONS: Dict[str, Tuple[str, ...]] = {
    "check_device_registered": ("mobile",),
    "register_device": ("session_key", "mobile", "txn_id", "app_id"),
    "retrieve_keys": ("msg_id", "transaction_type", "txn_id", "bic", "payment_instrument_type"),
    "submit_credential": ("txn_id", "transaction_type", "cred_type", "cred_value", "bank_ki",
                          "public_key", "session_key"),
    "fetch_otp_challenge": ("transaction_type", "txn_id", "payment_instrument_type", "bic",
                            "session_key", "action"),
    "check_otp_status": ("txn_id",),
    "validate_otp": ("txn_id", "transaction_type", "otp", "bank_ki", "public_key", "session_key",
                     "action", "bic", "reference_id"),
    "validate_card_number": ("session_key", "bank_ki", "public_key", "txn_id", "card_number",
                             "bic", "bank_name"),
    "register_card_detail": ("txn_id", "transaction_type", "bic", "account_no", "bank_ki",
                             "session_key", "card_number", "expiry_month", "expiry_year", "cvv",
                             "public_key"),
    "web_url": ("transaction_type", "txn_id", "payment_instrument_type", "bic", "session_key"),
}
for _name, _args in OPERATIONS.items():
    # Arguments pass as addresses of buffers this module owns (so that secrets can be wiped).
    _declare("tavi_client_start_" + _name, ctypes.c_void_p,
             [ctypes.c_void_p] * (1 + len(_args)) + [ctypes.POINTER(_CallOptions), _COMPLETION,
                                                      ctypes.c_void_p])


def version() -> str:
    """The running library's version text."""
    return lib.tavi_version().decode()


# ---- Clients ----------------------------------------------------------------------------------

_clients: Dict[int, None] = {}  # client handles not yet freed, under _pending_lock


def new_client(store: int) -> int:
    """A client handle over the store handle ``store`` (which it keeps; freed here), with the
    library's default configuration."""
    client = lib.tavi_client_new(store)
    lib.tavi_store_free(store)
    if not client:
        raise MemoryError("tavi: a client cannot be made")
    with _pending_lock:
        _clients[client] = None
    return client


def config_set(client: int, name: str, value: Optional[str]) -> bool:
    raw = None if value is None else value.encode()
    return lib.tavi_client_config_set(client, name.encode(), raw) == TAVI_OK


def free_client(client: int) -> None:
    """Frees a client handle (its calls in flight run to their end)."""
    with _pending_lock:
        if _closing or _clients.pop(client, "gone") is not None:
            return  # the interpreter is ending (the library's exit frees it), or freed already
    lib.tavi_client_free(client)


def mark_registered(client: int) -> None:
    """Marks the device registered in the client's store."""
    lib.tavi_client_preference_save(client, b"true", b"IS_REGISTERED")


# ---- Calls in flight --------------------------------------------------------------------------


@dataclass
class _Pending:
    deliver: Callable[[Outcome], None]
    handle: Optional[int] = None


_pending: Dict[int, _Pending] = {}
_live: Dict[int, None] = {}  # handles not yet freed (their completion may still be returning)
_pending_lock = threading.Lock()
_ids = itertools.count(1)
_closing = False


def _on_complete(ptr, user_data) -> None:  # the library's completion thread
    try:
        if ptr:
            r = ptr.contents
            values = {}
            for i in range(r.value_count):
                v = r.values[i]
                values[_text(v.name) or ""] = _text(v.value)
            outcome = Outcome(int(r.status), values, _copy_error(r.error),
                              int(lib.tavi_result_delivery(ptr)),
                              int(lib.tavi_result_http_status(ptr)))
        else:
            outcome = Outcome(TAVI_INTERNAL_ERROR, {}, None)
        with _pending_lock:
            pending = _pending.pop(user_data or 0, None)
        if pending is not None:
            pending.deliver(outcome)
    except BaseException:  # never let Python's error unwind into the library
        _logger.exception("tavi: a completion failed")


_completion = _COMPLETION(_on_complete)


def secret_buffer(value) -> ctypes.Array:
    """A NUL-terminated copy the library reads, in memory this module wipes afterwards."""
    size = len(value)
    buf = ctypes.create_string_buffer(size + 1)
    if size:
        if isinstance(value, bytearray):
            ctypes.memmove(buf, (ctypes.c_char * size).from_buffer(value), size)
        else:
            ctypes.memmove(buf, value, size)
    return buf


def wipe(buf: ctypes.Array) -> None:
    ctypes.memset(buf, 0, ctypes.sizeof(buf))


def start(client: int, operation: str, args: Sequence[Optional[ctypes.Array]], deadline_ms: int,
          deliver: Callable[[Outcome], None]) -> int:
    """Starts ``tavi_client_start_<operation>`` on ``client``; returns the call's handle.
    ``deliver`` receives the outcome once, on the library's completion thread."""
    if _closing:
        raise RuntimeError("tavi: the interpreter is exiting")
    key = next(_ids)
    pending = _Pending(deliver)
    with _pending_lock:
        _pending[key] = pending
    options = _CallOptions(deadline_ms)
    fn = getattr(lib, "tavi_client_start_" + operation)
    handle = fn(client, *[ctypes.addressof(a) if a is not None else None for a in args],
                ctypes.byref(options), _completion, ctypes.c_void_p(key))
    if not handle:
        with _pending_lock:
            _pending.pop(key, None)
        raise MemoryError(f"tavi: {operation}: out of memory")
    with _pending_lock:
        pending.handle = handle
        _live[handle] = None
        closing = _closing
    if closing:  # started while the interpreter ends, after _shutdown took its list: end it here
        lib.tavi_call_cancel(handle)
        lib.tavi_call_wait(handle)
    return handle


def cancel(handle: int) -> bool:
    return lib.tavi_call_cancel(handle) == 1


def free(handle: int) -> None:
    """Frees a call's handle once its completion has returned (the outcome reaches Python
    before the library's completion thread has left Python: a thread still there when the
    interpreter ends would be torn down inside the library)."""
    lib.tavi_call_wait(handle)
    with _pending_lock:
        if _closing:  # _shutdown may be waiting on this handle: it stays until the process ends
            return
        _live.pop(handle, None)
    lib.tavi_call_free(handle)


def _shutdown() -> None:
    # Calls still in flight when the interpreter ends are cancelled and waited for, so that no
    # completion or diagnostic line enters Python once it is gone.
    # _closing is set under the lock that free() takes, so no handle of this list is freed
    # while it is cancelled and waited for here (a thread still running may end its call now).
    global _closing
    with _pending_lock:
        _closing = True
        handles = list(_live)
    for h in handles:
        lib.tavi_call_cancel(h)
    for h in handles:
        lib.tavi_call_wait(h)
    lib.tavi_set_log_sink(_LOG(), None)
    # Each client's configuration holds the sink it was made with; with every call ended, the
    # library's own threads write no line to it (they write lines only for calls).


atexit.register(_shutdown)


# ---- Diagnostic lines -------------------------------------------------------------------------


def _on_line(line, _user_data) -> None:  # any of the library's threads
    try:
        if _logger.isEnabledFor(logging.DEBUG):
            _logger.debug("%s", line.decode("utf-8", "replace"))
    except BaseException:
        pass


_sink = _LOG(_on_line)
lib.tavi_set_log_sink(_sink, None)


# ---- Stores -----------------------------------------------------------------------------------


def open_store(path: Optional[str],
               protection: Optional[str]) -> Tuple[Optional[int], Optional[Outcome]]:
    """A store handle (``path`` ``None``: an in-memory one), or the failure's outcome."""
    if path is None:
        return lib.tavi_store_new_memory(), None
    error = ctypes.POINTER(_Result)()
    handle = lib.tavi_store_open_sqlite_protected(
        os.fsencode(path), None if protection is None else protection.encode(),
        ctypes.byref(error))
    if handle:
        return handle, None
    outcome = Outcome(TAVI_FAILED, {}, _copy_error(error.contents.error) if error else None)
    lib.tavi_result_free(error)
    return None, outcome


# ---- The journal of outcomes unknown ----------------------------------------------------------


def _json_failure(status: int, raw: ctypes.c_void_p) -> Outcome:
    """The outcome of a function that failed with an error JSON line (journal, store status)."""
    error = None
    if raw.value:
        try:
            e = json.loads(ctypes.string_at(raw.value).decode("utf-8", "replace"))["error"]
            error = ErrorValue(e["domain"], int(e["code"]), e["message"], None, None, None)
        finally:
            lib.tavi_string_free(raw.value)
    return Outcome(status, {}, error)


def pending_outcomes(client: int) -> Tuple[List[Tuple[str, str, str, int]], Optional[Outcome]]:
    """The client's journal records (operation, msgId, txnId, milliseconds since 1970), or the
    failure's outcome."""
    records = ctypes.POINTER(_PendingOutcome)()
    count = ctypes.c_size_t()
    raw = ctypes.c_void_p()
    status = lib.tavi_pending_outcomes(client, ctypes.byref(records), ctypes.byref(count),
                                       ctypes.byref(raw))
    if status != TAVI_OK:
        return [], _json_failure(status, raw)
    try:
        return [(_text(r.operation) or "", _text(r.msg_id) or "", _text(r.txn_id) or "",
                 int(r.recorded_at_ms)) for r in records[:count.value]], None
    finally:
        lib.tavi_pending_outcomes_free(records, count)


def settle_outcome(client: int, msg_id: str) -> Tuple[bool, Optional[Outcome]]:
    """Whether a record of ``msg_id`` was removed, or the failure's outcome."""
    removed = ctypes.c_int()
    raw = ctypes.c_void_p()
    status = lib.tavi_settle_outcome(client, msg_id.encode("utf-8", "surrogateescape"),
                                     ctypes.byref(removed), ctypes.byref(raw))
    if status != TAVI_OK:
        return False, _json_failure(status, raw)
    return removed.value == 1, None


def store_json(client: int, rekey: bool) -> Tuple[Optional[Dict], Optional[Outcome]]:
    """The client's store status (after a rekey, with ``rekey``), or the failure's outcome."""
    raw = ctypes.c_void_p()
    fn = lib.tavi_client_store_rekey if rekey else lib.tavi_client_store_status
    status = fn(client, ctypes.byref(raw))
    if status != TAVI_OK:
        return None, _json_failure(status, raw)
    try:
        return json.loads(ctypes.string_at(raw.value).decode("utf-8", "replace")), None
    finally:
        lib.tavi_string_free(raw.value)

"""tavi.Client: the library's operations, blocking and async, over a client of its own."""
from __future__ import annotations

import asyncio
import ctypes
import math
import os
import threading
import weakref
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

from . import _native
from .errors import Cancelled, Delivery, Error, InvalidArgument, from_outcome
from .results import (CardRegistration, CardValidation, OtpChallenge, OtpStatus, PendingOutcome,
                      RegistrationStatus, TransactionKeys, WebUrl)

__all__ = ["Client", "AsyncOperations", "Secret", "MEMORY_STORE"]

#: A secret argument (PIN, OTP, card number, expiry, CVV, account number). A ``bytearray`` is
#: wiped (overwritten with zeros) once the call has started; ``bytes`` and ``str`` cannot be.
Secret = Union[str, bytes, bytearray]

#: ``store=MEMORY_STORE``: an in-memory store (nothing outlives the process).
MEMORY_STORE = ":memory:"

_SECRETS = frozenset({"cred_value", "otp", "card_number", "expiry_month", "expiry_year", "cvv",
                      "account_no"})
_OPTIONAL = frozenset({"action", "account_no"})

# The configuration names a Client sets, with the Client's parameter for each.
_CONFIG_NAMES = {
    "server_url": "serverURL", "ca_file": "caFile", "pinned_public_key": "pinnedPublicKey",
    "timeout": "timeoutMilliseconds", "deadline": "operationDeadlineMilliseconds",
    "app_id": "appId", "psp_org_id": "pspOrgId", "merchant_key": "merchantKey",
    "merchant_ki": "merchantKI", "merchant_id": "merchantID", "locale": "locale",
    "ref_url": "refUrl", "proxy": "proxy", "log_level": "logLevel",
}


def _milliseconds(parameter: str, seconds: Optional[float]) -> Optional[str]:
    if seconds is None:
        return None
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not seconds > 0 \
            or math.isinf(seconds):
        raise InvalidArgument(f'argument "{parameter}" must be a positive number of seconds',
                              argument=parameter, domain="TaviClientError", code=11)
    return str(max(1, math.ceil(seconds * 1000)))


def _default_store() -> str:
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local",
                                                           "share")
    return os.path.join(base, "tavi", "store.db")


def _open_client(values: Dict[str, str], store: str, protection: Optional[str]) -> int:
    """A client handle of the library with these configuration values and this store; a
    parameter left out keeps the library's default."""
    if store == MEMORY_STORE:
        handle, failure = _native.open_store(None, None)
    else:
        if store == _default_store():
            Path(store).parent.mkdir(mode=0o700, parents=True, exist_ok=True)
        handle, failure = _native.open_store(store, protection)
    if handle is None:
        raise from_outcome(failure) if failure and failure.error else Error(
            f"the store cannot be opened: {store}", domain="TaviClientError", code=9)
    client = _native.new_client(handle)
    parameters = {v: k for k, v in _CONFIG_NAMES.items()}
    for name, value in values.items():
        if not _native.config_set(client, name, value):
            _native.free_client(client)
            parameter = parameters[name]
            raise InvalidArgument(f'argument "{parameter}" is not a valid value',
                                  argument=parameter, domain="TaviClientError", code=11)
    return client


def _check_text(name: str, value: Any) -> None:
    if value is None:
        return
    allowed = (str, bytes, bytearray) if name in _SECRETS else (str,)
    if not isinstance(value, allowed):
        kinds = "str, bytes or bytearray" if name in _SECRETS else "str"
        raise InvalidArgument(f'argument "{name}" must be {kinds}', argument=name,
                              domain="TaviClientError", code=11)


def _no_nul(name: str, raw: bytes) -> None:
    # The library reads a C string: the text after a NUL would be cut off silently.
    if b"\0" in raw:
        raise InvalidArgument(f'argument "{name}" holds a NUL character', argument=name,
                              domain="TaviClientError", code=11)


def _buffers(operation: str, values: Dict[str, Any]) -> List[Optional[ctypes.Array]]:
    out: List[Optional[ctypes.Array]] = []
    try:
        for name in _native.OPERATIONS[operation]:
            value = values[name]
            _check_text(name, value)
            if value is None:
                out.append(None)
                continue
            raw = value.encode("utf-8", "surrogateescape") if isinstance(value, str) else value
            _no_nul(name, raw)
            out.append(_native.secret_buffer(raw))
    except BaseException:  # a later argument refused: the copies made so far are wiped
        for b in out:
            if b is not None:
                _native.wipe(b)
        raise
    return out


def _flag(values: Dict[str, Optional[str]], name: str) -> bool:
    return values.get(name) == "true"


def _convert(operation: str, v: Dict[str, Optional[str]]) -> Any:
    if operation == "check_device_registered":
        registered = _flag(v, "registered")
        return RegistrationStatus(registered, v.get("status")
                                  or ("registered" if registered else "notRegistered"))
    if operation == "retrieve_keys":
        return TransactionKeys(v.get("bankKi") or "", v.get("publicKey") or "",
                               v.get("sessionKey") or "", v.get("txnId") or "", v.get("rule"))
    if operation == "fetch_otp_challenge":
        return OtpChallenge(v.get("referenceId"), v.get("otpChallengeCode"), v.get("otpExpiry"),
                            v.get("action"))
    if operation == "check_otp_status":
        return OtpStatus(v.get("status") or "stop")
    if operation == "validate_card_number":
        return CardValidation(_flag(v, "success"), v.get("reqMsgId"), v.get("errorCode"),
                              v.get("errorReason"), v.get("bankNameMatchStatus"))
    if operation == "register_card_detail":
        return CardRegistration(_flag(v, "success"), v.get("errorCode"))
    if operation == "web_url":
        return WebUrl(v.get("refUrl") or "")
    return None  # register_device, submit_credential, validate_otp


def _finish(operation: str, outcome: _native.Outcome) -> Any:
    if outcome.status != _native.TAVI_OK:
        raise from_outcome(outcome)
    return _convert(operation, outcome.values)


def _cancelled(operation: str, outcome: _native.Outcome) -> Cancelled:
    error = outcome.error
    if error is not None and error.domain == "TaviClientError" and error.code == 12:
        return Cancelled(error.message, domain=error.domain, code=12,
                         delivery=Delivery(outcome.delivery))
    # The call had ended (or was committing its answer) when the cancel came.
    try:
        result: Any = _finish(operation, outcome)
        delivery = Delivery.MAY_HAVE_BEEN_RECEIVED
    except Error as failed:
        result = failed
        delivery = failed.delivery
    return Cancelled(f"{operation} was cancelled after it had ended", domain="TaviClientError",
                     code=12, delivery=delivery, result=result)


def _settle(future: "asyncio.Future[_native.Outcome]", outcome: _native.Outcome) -> None:
    if not future.done():
        future.set_result(outcome)


class Client:
    """A connection to the tavi payment server: every operation as a blocking method, and the
    same operations as coroutines on :attr:`aio`.

    Each Client is a client of its own in the library (its configuration, its store): Clients
    with other servers, stores or pinned keys work side by side in one process, and share the
    library's engine. Close a Client (or use it as a context manager) to free it.

    Args:
        server_url: the payment server's address (``https://…``; ``http`` only to loopback).
        store: the secure store's SQLite file (created 0600), :data:`tavi.MEMORY_STORE` for one
            in memory, or ``None`` for ``$XDG_DATA_HOME/tavi/store.db``.
        store_protection: where the store's data key is kept: ``"auto"`` (the default: the
            strongest backend that works here), ``"tpm"``, ``"secret-service"``, ``"file"``
            (weak) or ``"none"`` (values in clear). A backend named that cannot be used here
            raises :class:`tavi.StoreUnavailable`, never falls back to a weaker one.
        ca_file: a PEM file of the CAs to trust instead of the system's.
        pinned_public_key: the server key's pin (``sha256//…``), checked on every connection.
        timeout: seconds each exchange may take (connection and answer).
        deadline: seconds a whole call may take by default (re-issues included); ``None``: twice
            ``timeout``.
        app_id, psp_org_id, merchant_key, merchant_ki, merchant_id, locale, ref_url, proxy: the
            library's configuration values of those names (docs/INTEGRATION.md).
        log_level: ``"debug"`` (every diagnostic line), ``"error"`` or ``"off"``. The lines go to
            the :mod:`logging` logger ``"tavi"`` at level DEBUG.
    """

    def __init__(self, server_url: str, *, store: Union[str, "os.PathLike[str]", None] = None,
                 store_protection: Optional[str] = None, ca_file: Optional[str] = None, pinned_public_key: Optional[str] = None,
                 timeout: Optional[float] = None, deadline: Optional[float] = None,
                 app_id: Optional[str] = None, psp_org_id: Optional[str] = None,
                 merchant_key: Optional[str] = None, merchant_ki: Optional[str] = None,
                 merchant_id: Optional[str] = None, locale: Optional[str] = None,
                 ref_url: Optional[str] = None, proxy: Optional[str] = None,
                 log_level: str = "debug") -> None:
        given: Dict[str, Any] = dict(
            server_url=server_url, ca_file=ca_file, pinned_public_key=pinned_public_key,
            timeout=_milliseconds("timeout", timeout), deadline=_milliseconds("deadline", deadline),
            app_id=app_id, psp_org_id=psp_org_id, merchant_key=merchant_key,
            merchant_ki=merchant_ki, merchant_id=merchant_id, locale=locale, ref_url=ref_url,
            proxy=proxy, log_level=log_level)
        values: Dict[str, str] = {}
        for parameter, name in _CONFIG_NAMES.items():
            value = given[parameter]
            if value is not None and not isinstance(value, str):
                raise InvalidArgument(f'argument "{parameter}" must be str', argument=parameter,
                                      domain="TaviClientError", code=11)
            if value is not None:
                values[name] = value
        if isinstance(store, os.PathLike):
            store = os.fspath(store)
        if store is not None and not isinstance(store, str):
            raise InvalidArgument('argument "store" must be a path', argument="store",
                                  domain="TaviClientError", code=11)
        _check_text("store_protection", store_protection)
        self._server_url = server_url
        self._handle = _open_client(values, store or _default_store(), store_protection)
        self._in_flight: Dict[int, None] = {}  # handles not yet freed, under _lock
        self._lock = threading.Lock()
        self._closed = False
        self._finalizer = weakref.finalize(self, _native.free_client, self._handle)
        self._finalizer.atexit = False  # at exit, calls may still be in flight on other threads

    @property
    def aio(self) -> "AsyncOperations":
        """The same operations as coroutines: ``await client.aio.retrieve_keys(…)``."""
        return AsyncOperations(self)

    # ---- lifetime

    def close(self) -> None:
        """Cancels this Client's calls still in flight and frees the Client (a no-op when
        closed already). Their callers see :class:`tavi.Cancelled`. Any thread may call it."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            for handle in self._in_flight:
                _native.cancel(handle)
            if self._in_flight:
                return  # the library's client is freed once the last of them has ended
        self._finalizer()

    @property
    def closed(self) -> bool:
        """True once :meth:`close` was called."""
        return self._closed

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"tavi.Client(server_url={self._server_url!r}{', closed' if self._closed else ''})"

    # ---- the store

    def store_status(self) -> Dict[str, Any]:
        """What protects this Client's store: ``backend`` (``"tpm"``, ``"secret-service"``,
        ``"file"`` or ``"none"``), ``strength``, ``formatVersion``, ``itemCount``, ``migrated``
        and the backend's own details (docs/SECURITY.md). An in-memory store has none: it
        raises :class:`tavi.Error`."""
        return dict(self._local(_native.store_json, False))

    def rekey_store(self) -> Dict[str, Any]:
        """Seals every value of this Client's store again under a new data key and destroys
        the old key; the store's status afterwards."""
        return dict(self._local(_native.store_json, True))

    def _local(self, fn: Callable[..., Tuple[Any, Optional[_native.Outcome]]], *args: Any) -> Any:
        """``fn(handle, *args)`` on this Client's library client (it returns at once): its value,
        or its failure raised."""
        with self._lock:
            if self._closed:
                raise Error("the tavi.Client is closed", domain="tavi.Client")
            value, failure = fn(self._handle, *args)
        if failure is not None:
            raise from_outcome(failure)
        return value

    # ---- the journal of outcomes unknown, in this Client's store

    def pending_outcomes(self) -> List[PendingOutcome]:
        """Every state-changing request whose answer was never handled: after a crash, or an
        error whose ``delivery`` is ``MAY_HAVE_BEEN_RECEIVED``. The server may have acted on
        each: find out what became of it before repeating it, then :meth:`settle_outcome` it."""
        return [PendingOutcome(*record) for record in self._local(_native.pending_outcomes)]

    def settle_outcome(self, msg_id: str) -> bool:
        """Forgets the record of ``msg_id`` once you know what became of its request: True when
        there was one, False when there was none."""
        if not isinstance(msg_id, str):
            raise InvalidArgument('argument "msg_id" must be str', argument="msg_id",
                                  domain="TaviClientError", code=11)
        _no_nul("msg_id", msg_id.encode("utf-8", "surrogateescape"))
        return bool(self._local(_native.settle_outcome, msg_id))

    # ---- the two ways a call runs

    def _start(self, operation: str, values: Dict[str, Any], deadline: Optional[float],
               deliver: Callable[[_native.Outcome], None]) -> int:
        deadline_ms = int(_milliseconds("deadline", deadline) or 0)
        buffers = _buffers(operation, values)
        if operation == "register_device":
            def deliver_marked(outcome: _native.Outcome, inner=deliver,
                               client=self._handle) -> None:
                if outcome.status == _native.TAVI_OK:
                    _native.mark_registered(client)  # registered from now on, in its store
                inner(outcome)
            deliver = deliver_marked
        try:
            with self._lock:  # close() frees the library's client only with no call in flight
                if self._closed:
                    raise Error("the tavi.Client is closed", domain="tavi.Client")
                handle = _native.start(self._handle, operation, buffers, deadline_ms, deliver)
                self._in_flight[handle] = None
        finally:
            for b in buffers:
                if b is not None:
                    _native.wipe(b)
            for name in _native.OPERATIONS[operation]:
                if isinstance(values[name], bytearray) and name in _SECRETS:
                    secret = values[name]
                    if secret:
                        ctypes.memset((ctypes.c_char * len(secret)).from_buffer(secret), 0,
                                      len(secret))
        return handle

    def _done(self, handle: int) -> None:
        with self._lock:
            self._in_flight.pop(handle, None)
            _native.free(handle)
            last = self._closed and not self._in_flight
        if last:
            self._finalizer()

    def _call(self, operation: str, values: Dict[str, Any], deadline: Optional[float]) -> Any:
        done = threading.Event()
        box: List[_native.Outcome] = []

        def deliver(outcome: _native.Outcome) -> None:
            box.append(outcome)
            done.set()

        handle = self._start(operation, values, deadline, deliver)
        try:
            try:
                done.wait()
            except BaseException:  # KeyboardInterrupt: the call ends in the library too
                _native.cancel(handle)
                while True:
                    try:
                        done.wait()
                        break
                    except BaseException:
                        continue
                raise
        finally:
            self._done(handle)
        return _finish(operation, box[0])

    async def _call_async(self, operation: str, values: Dict[str, Any],
                          deadline: Optional[float]) -> Any:
        loop = asyncio.get_running_loop()
        future: "asyncio.Future[_native.Outcome]" = loop.create_future()

        def deliver(outcome: _native.Outcome) -> None:  # the library's completion thread
            try:
                loop.call_soon_threadsafe(_settle, future, outcome)
            except RuntimeError:
                pass  # the loop is closed: nobody waits for this call any more

        handle = self._start(operation, values, deadline, deliver)
        try:
            try:
                outcome = await asyncio.shield(future)
            except asyncio.CancelledError:
                _native.cancel(handle)
                while True:  # the cancelled call completes at once; wait for what it says
                    try:
                        outcome = await asyncio.shield(future)
                        break
                    except asyncio.CancelledError:
                        _native.cancel(handle)
                raise _cancelled(operation, outcome) from None
        finally:
            self._done(handle)
        return _finish(operation, outcome)

    # ---- operations (blocking)

    def check_device_registered(self, mobile: str, *,
                                deadline: Optional[float] = None) -> RegistrationStatus:
        """Whether this device, with this mobile number, counts as registered (nothing is sent
        when no complete registration is stored)."""
        return self._call("check_device_registered", locals(), deadline)

    def register_device(self, session_key: str, mobile: str, txn_id: str, app_id: str, *,
                        deadline: Optional[float] = None) -> None:
        """Registers the device and its user (``session_key``: the server's public key text),
        stores the session and marks the device registered. A cancel that arrives while the
        session is being written is refused (see :class:`tavi.Cancelled`)."""
        return self._call("register_device", locals(), deadline)

    def retrieve_keys(self, msg_id: str, transaction_type: str, txn_id: str, bic: str,
                      payment_instrument_type: str, *,
                      deadline: Optional[float] = None) -> TransactionKeys:
        """Opens a transaction: its keys, which the later operations take."""
        return self._call("retrieve_keys", locals(), deadline)

    def submit_credential(self, txn_id: str, transaction_type: str, cred_type: str,
                          cred_value: Secret, bank_ki: str, public_key: str, session_key: str,
                          *, deadline: Optional[float] = None) -> None:
        """Submits a PIN-type credential (``cred_value`` is a secret); a refusal raises
        :class:`tavi.ServerRefusal`."""
        return self._call("submit_credential", locals(), deadline)

    def fetch_otp_challenge(self, transaction_type: str, txn_id: str,
                            payment_instrument_type: str, bic: str, session_key: str,
                            action: Optional[str] = None, *,
                            deadline: Optional[float] = None) -> OtpChallenge:
        """Fetches an OTP challenge for the transaction."""
        return self._call("fetch_otp_challenge", locals(), deadline)

    def check_otp_status(self, txn_id: str, *, deadline: Optional[float] = None) -> OtpStatus:
        """One OTP status poll (``pending`` while the transaction waits for its OTP)."""
        return self._call("check_otp_status", locals(), deadline)

    def validate_otp(self, txn_id: str, transaction_type: str, otp: Secret, bank_ki: str,
                     public_key: str, session_key: str, action: Optional[str], bic: str,
                     reference_id: str, *, deadline: Optional[float] = None) -> None:
        """Validates an OTP (a secret) against the challenge ``reference_id``."""
        return self._call("validate_otp", locals(), deadline)

    def validate_card_number(self, session_key: str, bank_ki: str, public_key: str, txn_id: str,
                             card_number: Secret, bic: str, bank_name: str, *,
                             deadline: Optional[float] = None) -> CardValidation:
        """Asks the bank about a card number (a secret; check it first with
        :func:`tavi.verify_card`)."""
        return self._call("validate_card_number", locals(), deadline)

    def register_card_detail(self, txn_id: str, transaction_type: str, bic: str,
                             account_no: Optional[Secret], bank_ki: str, session_key: str,
                             card_number: Secret, expiry_month: Secret, expiry_year: Secret,
                             cvv: Secret, public_key: str, *,
                             deadline: Optional[float] = None) -> CardRegistration:
        """Registers card and account details (all secrets); the server's verdict."""
        return self._call("register_card_detail", locals(), deadline)

    def web_url(self, transaction_type: str, txn_id: str, payment_instrument_type: str, bic: str,
                session_key: str, *, deadline: Optional[float] = None) -> WebUrl:
        """The secure web page's address."""
        return self._call("web_url", locals(), deadline)


class AsyncOperations:
    """A :class:`Client`'s operations as coroutines (``client.aio``), with the same arguments.

    Each runs on the library's own engine (no thread per call; the event loop never blocks).
    Cancelling the awaiting task cancels the call in the library and raises
    :class:`tavi.Cancelled` (an :class:`asyncio.CancelledError`) whose ``delivery`` says whether
    the request may have reached the server.
    """

    def __init__(self, client: Client) -> None:
        self._client = client

    async def check_device_registered(self, mobile: str, *,
                                      deadline: Optional[float] = None) -> RegistrationStatus:
        """:meth:`Client.check_device_registered`, awaited."""
        return await self._client._call_async("check_device_registered", locals(), deadline)

    async def register_device(self, session_key: str, mobile: str, txn_id: str, app_id: str, *,
                              deadline: Optional[float] = None) -> None:
        """:meth:`Client.register_device`, awaited."""
        return await self._client._call_async("register_device", locals(), deadline)

    async def retrieve_keys(self, msg_id: str, transaction_type: str, txn_id: str, bic: str,
                            payment_instrument_type: str, *,
                            deadline: Optional[float] = None) -> TransactionKeys:
        """:meth:`Client.retrieve_keys`, awaited."""
        return await self._client._call_async("retrieve_keys", locals(), deadline)

    async def submit_credential(self, txn_id: str, transaction_type: str, cred_type: str,
                                cred_value: Secret, bank_ki: str, public_key: str,
                                session_key: str, *, deadline: Optional[float] = None) -> None:
        """:meth:`Client.submit_credential`, awaited."""
        return await self._client._call_async("submit_credential", locals(), deadline)

    async def fetch_otp_challenge(self, transaction_type: str, txn_id: str,
                                  payment_instrument_type: str, bic: str, session_key: str,
                                  action: Optional[str] = None, *,
                                  deadline: Optional[float] = None) -> OtpChallenge:
        """:meth:`Client.fetch_otp_challenge`, awaited."""
        return await self._client._call_async("fetch_otp_challenge", locals(), deadline)

    async def check_otp_status(self, txn_id: str, *,
                               deadline: Optional[float] = None) -> OtpStatus:
        """:meth:`Client.check_otp_status`, awaited."""
        return await self._client._call_async("check_otp_status", locals(), deadline)

    async def validate_otp(self, txn_id: str, transaction_type: str, otp: Secret, bank_ki: str,
                           public_key: str, session_key: str, action: Optional[str], bic: str,
                           reference_id: str, *, deadline: Optional[float] = None) -> None:
        """:meth:`Client.validate_otp`, awaited."""
        return await self._client._call_async("validate_otp", locals(), deadline)

    async def validate_card_number(self, session_key: str, bank_ki: str, public_key: str,
                                   txn_id: str, card_number: Secret, bic: str, bank_name: str, *,
                                   deadline: Optional[float] = None) -> CardValidation:
        """:meth:`Client.validate_card_number`, awaited."""
        return await self._client._call_async("validate_card_number", locals(), deadline)

    async def register_card_detail(self, txn_id: str, transaction_type: str, bic: str,
                                   account_no: Optional[Secret], bank_ki: str, session_key: str,
                                   card_number: Secret, expiry_month: Secret,
                                   expiry_year: Secret, cvv: Secret, public_key: str, *,
                                   deadline: Optional[float] = None) -> CardRegistration:
        """:meth:`Client.register_card_detail`, awaited."""
        return await self._client._call_async("register_card_detail", locals(), deadline)

    async def web_url(self, transaction_type: str, txn_id: str, payment_instrument_type: str,
                      bic: str, session_key: str, *,
                      deadline: Optional[float] = None) -> WebUrl:
        """:meth:`Client.web_url`, awaited."""
        return await self._client._call_async("web_url", locals(), deadline)

"""The exceptions tavi raises: one tree under :class:`tavi.Error`.

Match on the class (and, for :class:`Error` itself, on ``domain`` and ``code``), never on the
message. No message, attribute or traceback of these exceptions holds a secret.
"""
from __future__ import annotations

import asyncio
import enum
import re
from typing import Any, Optional

from . import _native

__all__ = ["Delivery", "Error", "ServerRefusal", "TransportError", "StoreUnavailable",
           "InvalidArgument", "DeadlineExceeded", "Cancelled", "ConfigurationConflict"]


class Delivery(enum.IntEnum):
    """Whether a failed call's request may have reached the server."""

    #: Not said: the error is not about an exchange (a refusal was received, for instance).
    UNKNOWN = 0
    #: Nothing reached the server: the call can be repeated safely.
    NOT_SENT = 1
    #: The request may have reached the server and been acted on: check the transaction's
    #: state before repeating it; never assume it failed.
    MAY_HAVE_BEEN_RECEIVED = 2


class Error(Exception):
    """Every failure tavi reports.

    Attributes:
        domain: the error's domain (``"TaviClientError"``, ``"ApiServiceError"``, ...).
        code: its code within the domain (docs/ERRORS.md lists them).
        message: a text for people (English; never matched on, never holds a secret).
        delivery: whether the request may have reached the server.
        http_status: the HTTP status the error came with (0 when none).
        error_code, error_reason: the server's texts, when it sent them.
        underlying: the error this one wraps (an :class:`Error`), or ``None``.
    """

    def __init__(self, message: str, *, domain: str = "", code: int = 0,
                 delivery: Delivery = Delivery.UNKNOWN, http_status: int = 0,
                 error_code: Optional[str] = None, error_reason: Optional[str] = None,
                 underlying: Optional["Error"] = None) -> None:
        super().__init__(message)
        self.message = message
        self.domain = domain
        self.code = code
        self.delivery = Delivery(delivery)
        self.http_status = http_status
        self.error_code = error_code
        self.error_reason = error_reason
        self.underlying = underlying

    @property
    def may_have_been_received(self) -> bool:
        """True when the request may have reached the server (check before repeating it)."""
        return self.delivery == Delivery.MAY_HAVE_BEEN_RECEIVED

    def __str__(self) -> str:
        where = f"{self.domain}({self.code})" if self.domain else f"({self.code})"
        return f"{where}: {self.message}"


class ServerRefusal(Error):
    """The server answered and refused: ``error_code`` and ``error_reason`` say why."""


class TransportError(Error):
    """The exchange failed (connection, TLS, timeout, broken answer): ``code`` is libcurl's;
    ``delivery`` says whether the request may have reached the server, ``http_status`` the
    answer's status when there was one."""


class StoreUnavailable(Error):
    """The secure store cannot be used (path, owner, mode, corrupt, locked): the message says
    which, with the path and the fix."""


class InvalidArgument(Error, ValueError):
    """An argument is unusable; nothing was sent. ``argument`` names it (never its value)."""

    def __init__(self, message: str, *, argument: Optional[str] = None, **kwargs: Any) -> None:
        super().__init__(message, **kwargs)
        #: The offending argument's name, when known.
        self.argument = argument


class DeadlineExceeded(Error, TimeoutError):
    """The call's deadline passed; ``delivery`` says whether its request had been sent."""


class Cancelled(Error, asyncio.CancelledError):
    """The call was cancelled, in the library too.

    It is an :class:`asyncio.CancelledError` (what a cancelled task raises), and carries
    ``delivery``: whether the request may have reached the server. When the call had already
    ended when the cancel came (a registration writing its session cannot be stopped), ``result``
    holds what it delivered: its value, or the :class:`Error` it ended with.
    Note that ``except tavi.Error`` catches it too: let it propagate out of a cancelled task.
    """

    def __init__(self, message: str, *, result: Any = None, **kwargs: Any) -> None:
        super().__init__(message, **kwargs)
        #: What the call delivered when it had ended before the cancel (else ``None``).
        self.result = result


class ConfigurationConflict(Error, RuntimeError):
    """No longer raised: Clients with other settings work side by side. Kept so that code
    that catches it still runs."""


_ARGUMENT = re.compile(r'argument "([A-Za-z_][A-Za-z0-9_]*)"')

#: TaviClientError codes with a class of their own.
_CLIENT_CODES = {9: StoreUnavailable, 10: DeadlineExceeded, 11: InvalidArgument, 12: Cancelled}


def _from_value(value: _native.ErrorValue, delivery: int = 0,
                http_status: int = 0) -> Error:
    underlying = _from_value(value.underlying) if value.underlying else None
    kwargs = dict(domain=value.domain, code=value.code, delivery=Delivery(delivery),
                  http_status=http_status, error_code=value.error_code,
                  error_reason=value.error_reason, underlying=underlying)
    if value.domain == "ServerRefusal":
        return ServerRefusal(value.message, **kwargs)
    if value.domain in ("TransportError", ""):
        return TransportError(value.message, **kwargs)
    if value.domain == "TaviClientError":
        cls = _CLIENT_CODES.get(value.code, Error)
        if cls is InvalidArgument:
            found = _ARGUMENT.search(value.message)
            return InvalidArgument(value.message, argument=found.group(1) if found else None,
                                   **kwargs)
        return cls(value.message, **kwargs)
    return Error(value.message, **kwargs)


def from_outcome(outcome: _native.Outcome) -> Error:
    """The exception for a failed call's outcome."""
    if outcome.error is not None:
        return _from_value(outcome.error, outcome.delivery, outcome.http_status)
    if outcome.status == _native.TAVI_INVALID_ARGUMENT:
        return InvalidArgument("invalid argument", domain="TaviClientError", code=11)
    return Error(f"the call failed (status {outcome.status})", code=outcome.status,
                 delivery=Delivery(outcome.delivery), http_status=outcome.http_status)

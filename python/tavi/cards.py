"""Local card checks: no request is made."""
from __future__ import annotations

import ctypes
import enum
from typing import List, Optional

from . import _native
from .client import Secret, _check_text
from .errors import from_outcome

__all__ = ["CardState", "check_card_number", "card_brand", "verify_card"]


class CardState(enum.IntEnum):
    """The state of a (possibly partial) card input."""

    VALID = 0
    INCOMPLETE = 1
    INVALID = 2


def _buffer(name: str, value: Optional[Secret], keep: List[ctypes.Array]) -> Optional[int]:
    _check_text(name, value)
    if value is None:
        return None
    raw = value.encode() if isinstance(value, str) else value
    buf = _native.secret_buffer(raw)
    keep.append(buf)
    return ctypes.addressof(buf)


def _wipe(keep: List[ctypes.Array]) -> None:
    for buf in keep:
        _native.wipe(buf)


def check_card_number(number: Secret) -> CardState:
    """The state of a card number (spaces and hyphens allowed as separators)."""
    keep: List[ctypes.Array] = []
    try:
        return CardState(_native.lib.tavi_card_check_number(_buffer("card_number", number, keep)))
    finally:
        _wipe(keep)


def card_brand(number: Secret) -> str:
    """The card's brand ("Visa", "Mastercard", ..., "Unknown")."""
    keep: List[ctypes.Array] = []
    try:
        return _native.lib.tavi_card_brand(_buffer("card_number", number, keep)).decode()
    finally:
        _wipe(keep)


def verify_card(number: Secret, expiry_month: Optional[Secret] = None,
                expiry_year: Optional[Secret] = None, cvv: Optional[Secret] = None) -> None:
    """Checks a card number, and when given its expiry (month and year) and CVV.

    Raises :class:`tavi.Error` in the domain ``"CardValidationError"`` whose message names the
    field, never its value (codes: 1 number incomplete, 2 number invalid, 3 expiry, 4 CVV).
    """
    keep: List[ctypes.Array] = []
    try:
        args = [_buffer("card_number", number, keep), _buffer("expiry_month", expiry_month, keep),
                _buffer("expiry_year", expiry_year, keep), _buffer("cvv", cvv, keep)]
        ptr = _native.lib.tavi_card_verify(*args)
    finally:
        _wipe(keep)
    if not ptr:
        raise MemoryError("tavi: card check: out of memory")
    try:
        r = ptr.contents
        if r.status == _native.TAVI_OK:
            return
        raise from_outcome(_native.Outcome(int(r.status), {}, _native._copy_error(r.error)))
    finally:
        _native.lib.tavi_result_free(ptr)

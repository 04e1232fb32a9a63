"""What the operations return: frozen dataclasses (copies; nothing points into the library)."""
from __future__ import annotations

import datetime
from dataclasses import dataclass
from typing import Optional

__all__ = ["RegistrationStatus", "TransactionKeys", "OtpChallenge", "OtpStatus",
           "CardValidation", "CardRegistration", "WebUrl", "PendingOutcome"]


@dataclass(frozen=True)
class RegistrationStatus:
    """Whether this device, with this mobile number, counts as registered.

    ``status`` is ``"registered"``, ``"notRegistered"`` (no complete registration is stored;
    nothing was sent) or ``"refused"`` (the server does not accept the stored registration).
    """

    registered: bool
    status: str


@dataclass(frozen=True)
class TransactionKeys:
    """The keys of an opened transaction, which its later operations take."""

    bank_ki: str
    public_key: str
    session_key: str
    txn_id: str
    rule: Optional[str]


@dataclass(frozen=True)
class OtpChallenge:
    """An OTP challenge: ``reference_id`` and ``action`` go to :meth:`Client.validate_otp`."""

    reference_id: Optional[str]
    otp_challenge_code: Optional[str]
    otp_expiry: Optional[str]
    action: Optional[str]


@dataclass(frozen=True)
class OtpStatus:
    """One OTP status poll: ``status`` is ``"retry"`` while the transaction is pending, else
    ``"stop"``."""

    status: str

    @property
    def pending(self) -> bool:
        """True while the transaction waits for its OTP (poll again)."""
        return self.status == "retry"


@dataclass(frozen=True)
class CardValidation:
    """The bank's answer to a card number check."""

    success: bool
    req_msg_id: Optional[str]
    error_code: Optional[str]
    error_reason: Optional[str]
    bank_name_match_status: Optional[str]


@dataclass(frozen=True)
class CardRegistration:
    """The server's verdict on registered card details (``success`` false: ``error_code``)."""

    success: bool
    error_code: Optional[str]


@dataclass(frozen=True)
class WebUrl:
    """The secure web page's address."""

    ref_url: str


@dataclass(frozen=True)
class PendingOutcome:
    """A state-changing request whose answer was never handled (a crash, or an error whose
    ``delivery`` is ``MAY_HAVE_BEEN_RECEIVED``): the server may have acted on it. Find out what
    became of it (an OTP validation: poll :meth:`Client.check_otp_status` of ``txn_id``), then
    :meth:`Client.settle_outcome` it. Never holds a secret."""

    operation: str  #: "registerDevice", "submitCredential", "validateOtp", ...
    msg_id: str
    txn_id: str
    recorded_at_ms: int  #: milliseconds since 1970 (UTC)

    @property
    def recorded_at(self) -> datetime.datetime:
        """When the request was recorded, before it went out (UTC)."""
        return datetime.datetime.fromtimestamp(self.recorded_at_ms / 1000, datetime.timezone.utc)

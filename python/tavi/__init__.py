"""tavi: the client SDK for the tavi payment server, from Python.

``tavi.Client`` runs every operation blocking, and as a coroutine on ``client.aio``; results are
frozen dataclasses, failures one exception tree under ``tavi.Error``; diagnostic lines go to the
``logging`` logger ``"tavi"``. The package is a ctypes binding of libtavi.so.1's C interface
(docs/PYTHON.md).
"""
from . import _native
from .cards import CardState, card_brand, check_card_number, verify_card
from .client import MEMORY_STORE, AsyncOperations, Client, Secret
from .errors import (Cancelled, ConfigurationConflict, DeadlineExceeded, Delivery, Error,
                     InvalidArgument, ServerRefusal, StoreUnavailable, TransportError)
from .results import (CardRegistration, CardValidation, OtpChallenge, OtpStatus, PendingOutcome,
                      RegistrationStatus, TransactionKeys, WebUrl)

#: This package's version (it needs a libtavi1 with clients of their own, tavi_client).
__version__ = "1.2.0"


def library_version() -> str:
    """The version text of the libtavi.so.1 this process loaded."""
    return _native.version()


__all__ = [
    "Client", "AsyncOperations", "Secret", "MEMORY_STORE",
    "Error", "ServerRefusal", "TransportError", "StoreUnavailable", "InvalidArgument",
    "DeadlineExceeded", "Cancelled", "ConfigurationConflict", "Delivery",
    "RegistrationStatus", "TransactionKeys", "OtpChallenge", "OtpStatus", "CardValidation",
    "CardRegistration", "WebUrl", "PendingOutcome",
    "CardState", "check_card_number", "card_brand", "verify_card",
    "library_version", "__version__",
]

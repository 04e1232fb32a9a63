"""Every error domain and code reaches Python as the exception of its class: the mapping itself
(a table), then the failures the sandbox and the library really produce."""
import asyncio
import os
import stat

import pytest

import tavi
from tavi import _native
from tavi.errors import from_outcome
from conftest import ACCOUNT, BIC, FIN, closed_port, client_for

D = tavi.Delivery

# (domain, code) -> the class raised; every domain and code of docs/ERRORS.md.
MAPPING = [("ServerRefusal", 0, tavi.ServerRefusal)]
MAPPING += [("TransportError", c, tavi.TransportError) for c in (6, 7, 18, 28, 35, 52, 55, 56,
                                                                  60, 90)]
MAPPING += [("", -1, tavi.TransportError), ("", 500, tavi.TransportError)]
MAPPING += [("TaviClientError", c, {9: tavi.StoreUnavailable, 10: tavi.DeadlineExceeded,
                                    11: tavi.InvalidArgument, 12: tavi.Cancelled}.get(c, tavi.Error))
            for c in range(1, 13)]
MAPPING += [("ApiServiceError", c, tavi.Error) for c in range(4)]
MAPPING += [("DecodingError", c, tavi.Error) for c in range(1, 5)]
MAPPING += [("EncodingError", 1, tavi.Error)]
MAPPING += [("EncryptionError", c, tavi.Error) for c in (-1, -2, -3)]
MAPPING += [("CardValidationError", c, tavi.Error) for c in range(1, 5)]
SPECIFIC = (tavi.ServerRefusal, tavi.TransportError, tavi.StoreUnavailable, tavi.InvalidArgument,
            tavi.DeadlineExceeded, tavi.Cancelled)


def test_mapping_of_every_domain_and_code():
    for domain, code, cls in MAPPING:
        cause = _native.ErrorValue("DecodingError", 2, 'no "txnId"', None, None, None)
        value = _native.ErrorValue(domain, code, 'argument "txn_id" is null', "E1", "why", cause)
        error = from_outcome(_native.Outcome(1, {}, value, delivery=2, http_status=502))
        row = (domain, code)
        assert type(error) is cls, row
        assert isinstance(error, tavi.Error) and not isinstance(error, tuple(
            c for c in SPECIFIC if c is not cls)), row
        assert (error.domain, error.code, error.error_code, error.error_reason) == (
            domain, code, "E1", "why"), row
        assert error.delivery is D.MAY_HAVE_BEEN_RECEIVED and error.http_status == 502, row
        assert (error.underlying.domain, error.underlying.code) == ("DecodingError", 2), row
        assert domain in str(error) and 'argument "txn_id"' in str(error), row
    assert from_outcome(_native.Outcome(1, {}, _native.ErrorValue(
        "TaviClientError", 11, 'argument "bic" is not UTF-8', None, None, None))).argument == "bic"
    bare = from_outcome(_native.Outcome(_native.TAVI_INVALID_ARGUMENT, {}, None))
    assert isinstance(bare, tavi.InvalidArgument) and bare.argument is None
    # The standard classes they also are.
    assert issubclass(tavi.InvalidArgument, ValueError)
    assert issubclass(tavi.DeadlineExceeded, TimeoutError)
    assert issubclass(tavi.Cancelled, asyncio.CancelledError)
    assert issubclass(tavi.ConfigurationConflict, RuntimeError)


def keys(client, mode, txn="TXN-ERR", **kwargs):
    args = ("MSG-ERR", FIN, txn, BIC, ACCOUNT)
    if mode == "async":
        return asyncio.run(client.aio.retrieve_keys(*args, **kwargs))
    return client.retrieve_keys(*args, **kwargs)


def credential(client, mode):
    k = client.retrieve_keys("MSG-ERR", FIN, "TXN-ERR-PIN", BIC, ACCOUNT)
    return client.submit_credential("TXN-ERR-PIN", FIN, "PIN", "9999", k.bank_ki, k.public_key,
                                    k.session_key)


def otp(client, mode):
    k = client.retrieve_keys("MSG-ERR", FIN, "TXN-ERR-OTP", BIC, ACCOUNT)
    c = client.fetch_otp_challenge(FIN, "TXN-ERR-OTP", ACCOUNT, BIC, k.session_key)
    return asyncio.run(client.aio.validate_otp("TXN-ERR-OTP", FIN, bytearray(b"000000"), k.bank_ki,
                                               k.public_key, k.session_key, c.action, BIC,
                                               c.reference_id))


# (name, Client settings, sandbox fault, call, exception class, attributes it must have)
LIVE = [
    ("refusal", {}, dict(kind="refusal", errorCode="U30", errorReason="try later", times=1),
     lambda c: keys(c, "blocking"), tavi.ServerRefusal,
     dict(error_code="U30", error_reason="try later", domain="ServerRefusal")),
    ("refusal-async", {}, dict(kind="refusal", errorCode="U31", times=1),
     lambda c: keys(c, "async"), tavi.ServerRefusal, dict(error_code="U31")),
    ("wrong-pin", {}, None, lambda c: credential(c, "blocking"), tavi.ServerRefusal,
     dict(error_code="INVALID_CREDENTIAL")),
    ("wrong-otp", {}, None, lambda c: otp(c, "async"), tavi.ServerRefusal,
     dict(error_code="OTP_MISMATCH")),
    # Key retrieval is sent again after a dropped connection (twice by default): all three dropped.
    ("dropped", {}, dict(kind="dropConnection", times=3), lambda c: keys(c, "blocking"),
     tavi.TransportError, dict(domain="TransportError", delivery=D.MAY_HAVE_BEEN_RECEIVED)),
    ("refused-connection", {"server_url": "closed"}, None, lambda c: keys(c, "async"),
     tavi.TransportError, dict(code=7, delivery=D.NOT_SENT)),
    ("html-answer", {}, dict(kind="nonJson", status=502, times=1), lambda c: keys(c, "blocking"),
     tavi.Error, dict(domain="ApiServiceError", code=1, http_status=502)),
    ("wrong-key", {}, dict(kind="wrongKey", times=3), lambda c: keys(c, "blocking"), tavi.Error,
     dict(domain="TaviClientError", code=6)),
    ("deadline", {}, dict(kind="delay", delayMs=2000, times=1),
     lambda c: keys(c, "async", deadline=0.3), tavi.DeadlineExceeded,
     dict(code=10, delivery=D.MAY_HAVE_BEEN_RECEIVED)),
    ("null-argument", {}, None, lambda c: keys(c, "blocking", txn=None), tavi.InvalidArgument,
     dict(argument="txn_id", code=11)),
    ("wrong-type", {}, None, lambda c: keys(c, "async", txn=42), tavi.InvalidArgument,
     dict(argument="txn_id")),
    ("nul-character", {}, None, lambda c: keys(c, "blocking", txn="TXN\0"), tavi.InvalidArgument,
     dict(argument="txn_id")),
    ("nul-in-msg-id", {}, None, lambda c: c.settle_outcome("MSG-1\0X"), tavi.InvalidArgument,
     dict(argument="msg_id")),
    ("bad-deadline", {}, None, lambda c: keys(c, "blocking", deadline=-1), tavi.InvalidArgument,
     dict(argument="deadline")),
    ("no-session", {"store": tavi.MEMORY_STORE}, None, lambda c: keys(c, "async"), tavi.Error,
     dict(domain="TaviClientError", code=1)),
    ("open-store-dir", {"store": "shared"}, None, None, tavi.StoreUnavailable,
     dict(domain="TaviClientError", code=9)),
    ("unknown-protection", {"store_protection": "bogus"}, None, None, tavi.StoreUnavailable,
     dict(code=9)),
    ("bad-setting", {"proxy": "http://proxy.invalid:1", "log_level": "loud"}, None, None,
     tavi.InvalidArgument, dict(argument="log_level")),
]


@pytest.mark.parametrize("name,settings,fault,call,cls,attributes", LIVE,
                         ids=[row[0] for row in LIVE])
def test_live_errors(name, settings, fault, call, cls, attributes, sandbox, store, tmp_path):
    settings = dict(settings)
    if settings.get("server_url") == "closed":
        settings["server_url"] = f"https://127.0.0.1:{closed_port()}"
    if settings.get("store") == "shared":  # a store in a directory others may write to
        shared = tmp_path / "shared"
        shared.mkdir()
        os.chmod(shared, 0o777)
        settings["store"] = str(shared / "store.db")
    sandbox.clear_faults()
    if fault:
        sandbox.fault(**fault)
    try:
        with pytest.raises(cls) as caught:
            with client_for(sandbox, settings.pop("store", store), **settings) as client:
                call(client)
    finally:
        sandbox.clear_faults()
    error = caught.value
    assert type(error) is cls, repr(error)
    for attribute, value in attributes.items():
        assert getattr(error, attribute) == value, (attribute, error)


def test_an_outcome_unknown_is_listed_until_settled(sandbox, store):
    # The PIN's answer comes after the call's deadline: the server may have acted on it.
    sandbox.fault("/kora-core/tavi-sdk/urn:apiver:1.0/authorize", kind="delay", delayMs=1500,
                  times=1)
    try:
        with client_for(sandbox, store) as client:
            k = client.retrieve_keys("MSG-J", FIN, "TXN-J-1", BIC, ACCOUNT)
            with pytest.raises(tavi.DeadlineExceeded) as caught:
                client.submit_credential("TXN-J-1", FIN, "PIN", "1234", k.bank_ki,
                                         k.public_key, k.session_key, deadline=0.5)
            assert caught.value.delivery == D.MAY_HAVE_BEEN_RECEIVED
            mine = [r for r in client.pending_outcomes() if r.txn_id == "TXN-J-1"]
            assert [r.operation for r in mine] == ["submitCredential"], mine
            assert "1234" not in repr(mine) and mine[0].recorded_at.year >= 2024
            assert client.settle_outcome(mine[0].msg_id)
            assert not client.settle_outcome(mine[0].msg_id)
            assert all(r.txn_id != "TXN-J-1" for r in client.pending_outcomes())
    finally:
        sandbox.clear_faults()


def test_local_card_checks():
    assert tavi.check_card_number("4111 1111 1111 1111") is tavi.CardState.VALID
    assert tavi.check_card_number(bytearray(b"4111")) is tavi.CardState.INCOMPLETE
    assert tavi.card_brand("5555555555554444") == "Mastercard"
    for args, code in [(("4111111111111112",), 2), (("4111111111111111", "13", "2031", "123"), 3),
                       (("4111111111111111", "12", "2031", "12"), 4)]:
        with pytest.raises(tavi.Error) as caught:
            tavi.verify_card(*args)
        assert (caught.value.domain, caught.value.code) == ("CardValidationError", code), args
        assert args[0] not in str(caught.value)

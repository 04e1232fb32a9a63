"""Every operation, blocking and awaited, against the sandbox; what reaches the log."""
import asyncio
import dataclasses
import json
import logging
import re

import pytest

import tavi
from conftest import (ACCOUNT, ACCOUNT_NO, BIC, CARD, CVV, FIN, MOBILE, OTP, PIN, Sandbox,
                      client_for)


@pytest.mark.parametrize("mode", ["blocking", "async"])
def test_every_operation(mode, sandbox, tmp_path, caplog):
    caplog.set_level(logging.DEBUG, logger="tavi")
    loop = asyncio.new_event_loop()

    def call(name, *args, **kwargs):
        if mode == "blocking":
            return getattr(client, name)(*args, **kwargs)
        return loop.run_until_complete(getattr(client.aio, name)(*args, **kwargs))

    txn, mobile = f"TXN-PY-{mode}", f"+1555016{len(mode)}"
    try:
        with client_for(sandbox, str(tmp_path / "store.db")) as client:
            assert call("check_device_registered", mobile) == tavi.RegistrationStatus(
                False, "notRegistered")
            assert call("register_device", sandbox.server_key, mobile, f"REG-{mode}",
                        "com.example.py") is None
            assert call("check_device_registered", mobile) == tavi.RegistrationStatus(
                True, "registered")

            keys = call("retrieve_keys", "MSG-1", FIN, txn, BIC, ACCOUNT, deadline=20)
            assert isinstance(keys, tavi.TransactionKeys) and keys.txn_id == txn
            with pytest.raises(dataclasses.FrozenInstanceError):
                keys.txn_id = "other"
            ki, pk, sk = keys.bank_ki, keys.public_key, keys.session_key

            pin = bytearray(PIN.encode())
            assert call("submit_credential", txn, FIN, "PIN", pin, ki, pk, sk) is None
            assert pin == bytearray(len(PIN)), "the bytearray secret was not wiped"

            otp = call("fetch_otp_challenge", FIN, txn, ACCOUNT, BIC, sk)
            assert isinstance(otp, tavi.OtpChallenge) and otp.reference_id
            assert call("check_otp_status", txn).pending
            assert call("validate_otp", txn, FIN, OTP.encode(), ki, pk, sk, otp.action, BIC,
                        otp.reference_id) is None
            assert call("check_otp_status", txn) == tavi.OtpStatus("stop")

            tavi.verify_card(CARD, "12", "2031", CVV)
            card = call("validate_card_number", sk, ki, pk, txn, CARD, BIC, "Sample Bank")
            assert card.success and card.bank_name_match_status == "MATCH", card
            detail = call("register_card_detail", txn, "REGISTER_CARD_ACC_DETAIL", BIC,
                          bytearray(ACCOUNT_NO.encode()), ki, sk, bytearray(CARD.encode()), "12",
                          "2031", CVV, pk)
            assert detail == tavi.CardRegistration(True, detail.error_code), detail
            page = call("web_url", "SECURE_PAGE_URL", txn, ACCOUNT, BIC, sk)
            assert page.ref_url.startswith("http"), page
    finally:
        loop.close()

    # Diagnostic lines reached the "tavi" logger, and no secret is in any of them.
    records = [r for r in caplog.records if r.name == "tavi"]
    assert len(records) > 10
    text = "\n".join(r.getMessage() for r in records)
    for secret in (PIN, OTP, CARD, CVV, ACCOUNT_NO):
        assert not re.search(rf"(?<![0-9]){secret}(?![0-9])", text), "a secret reached the log"


def test_clients_side_by_side(sandbox, store, tmp_path):
    # A second server and a second store in the same process, each Client under its own keys.
    other = Sandbox(tmp_path)
    try:
        with client_for(sandbox, store) as first, \
                client_for(other, str(tmp_path / "other.db"), store_protection="file") as second:
            assert not second.check_device_registered(MOBILE).registered  # its own store
            assert second.store_status()["backend"] == "file"
            second.register_device(other.server_key, MOBILE, "REG-PY-2", "com.example.py")
            assert second.rekey_store()["itemCount"] == second.store_status()["itemCount"] > 0

            async def both():
                return await asyncio.gather(
                    first.aio.retrieve_keys("SIDE-1", FIN, "TXN-SIDE-1", BIC, ACCOUNT),
                    second.aio.retrieve_keys("SIDE-2", FIN, "TXN-SIDE-2", BIC, ACCOUNT),
                    first.aio.check_device_registered(MOBILE),
                    second.aio.check_device_registered(MOBILE))
            one, two, first_registered, second_registered = asyncio.run(both())
            assert first_registered.registered and second_registered.registered
            assert one.txn_id == "TXN-SIDE-1" and two.txn_id == "TXN-SIDE-2"
            assert "SIDE-1" in json.dumps(sandbox.requests())
            assert "SIDE-1" not in json.dumps(other.requests())
            assert "SIDE-2" in json.dumps(other.requests())
        assert second.closed
        with pytest.raises(tavi.Error, match="closed"):
            second.check_otp_status("DEMO-TXN-1")
    finally:
        other.stop()


def test_public_names_are_documented():
    import inspect
    for name in tavi.__all__:
        obj = getattr(tavi, name)
        if inspect.isclass(obj) or inspect.isfunction(obj):
            assert inspect.getdoc(obj), name
        if inspect.isclass(obj):
            for member, value in vars(obj).items():
                if not member.startswith("_") and (callable(value) or isinstance(value, property)):
                    assert inspect.getdoc(value), f"{name}.{member}"
    assert (tavi._native.Path(tavi.__file__).parent / "py.typed").is_file()

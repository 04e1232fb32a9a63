#!/usr/bin/env python3
"""The whole flow from Python with the tavi package: registration, key retrieval, PIN, OTP,
card checks, card registration and the secure page (the sandbox's test credentials).

usage: flow.py SERVER_URL SERVER_PUBLIC_KEY CA_FILE STORE_PATH
"""
import logging
import sys

import tavi

# The sandbox's documented test credentials (never real ones).
SANDBOX_PIN, SANDBOX_OTP, SANDBOX_CARD = "1234", "123456", "378282246310005"
BIC, TXN, FIN = "DEMOBIC1", "TXN-PY-1", "FINANCIAL_TXN"


class Lines(logging.Handler):
    """Keeps the library's diagnostic lines (to show that no secret is among them)."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = []

    def emit(self, record):
        self.lines.append(record.getMessage())


def main(argv):
    if len(argv) != 5:
        sys.exit(__doc__)
    url, server_key, ca_file, store_path = argv[1:]
    print(tavi.library_version())
    lines = Lines()
    logger = logging.getLogger("tavi")
    logger.addHandler(lines)
    logger.setLevel(logging.DEBUG)

    with tavi.Client(url, store=store_path, ca_file=ca_file, app_id="com.example.python",
                     psp_org_id="PSPORG-PY") as client:
        client.register_device(server_key, "+15550122", "REG-PY-1", "com.example.python")
        assert client.check_device_registered("+15550122").registered

        keys = client.retrieve_keys("MSG-PY-1", FIN, TXN, BIC, "ACCOUNT")
        ki, pk, sk = keys.bank_ki, keys.public_key, keys.session_key
        pin = bytearray(SANDBOX_PIN.encode())  # a bytearray is wiped once the call started
        client.submit_credential(TXN, FIN, "PIN", pin, ki, pk, sk)
        assert not any(pin)
        otp = client.fetch_otp_challenge(FIN, TXN, "ACCOUNT", BIC, sk)
        assert client.check_otp_status(TXN).pending
        client.validate_otp(TXN, FIN, SANDBOX_OTP, ki, pk, sk, otp.action, BIC, otp.reference_id)
        assert not client.check_otp_status(TXN).pending

        tavi.verify_card(SANDBOX_CARD, "12", "2031", "1234")
        card = client.validate_card_number(sk, ki, pk, TXN, SANDBOX_CARD, BIC, "Sample Bank")
        assert card.success, card
        detail = client.register_card_detail(TXN, "REGISTER_CARD_ACC_DETAIL", BIC, "000123456789",
                                             ki, sk, SANDBOX_CARD, "12", "2031", "1234", pk)
        assert detail.success, detail
        try:
            client.submit_credential(TXN, FIN, "PIN", "9999", ki, pk, sk)
        except tavi.ServerRefusal as refusal:
            print(f"a wrong PIN is refused: {refusal.error_code}")
        page = client.web_url("SECURE_PAGE_URL", TXN, "ACCOUNT", BIC, sk)

    logger.removeHandler(lines)
    assert not [line for line in lines.lines if SANDBOX_CARD in line], "a secret reached a line"
    print(f"Python flow done ({tavi.card_brand(SANDBOX_CARD)} card, {len(lines.lines)} "
          f"diagnostic lines), secure page {page.ref_url}")


if __name__ == "__main__":
    main(sys.argv)

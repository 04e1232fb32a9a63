#!/usr/bin/env python3
"""The whole flow from Python through tavi's C interface (ctypes, standard library only).

usage: flow.py LIBTAVI_SO SERVER_URL SERVER_PUBLIC_KEY CA_FILE STORE_PATH
"""
import ctypes
import sys

# The sandbox's documented test credentials (never real ones).
SANDBOX_PIN, SANDBOX_OTP, SANDBOX_CARD = "1234", "123456", "378282246310005"
BIC, TXN = "DEMOBIC1", "TXN-PY-1"

TAVI_OK = 0


class Error(ctypes.Structure):
    pass


Error._fields_ = [
    ("domain", ctypes.c_char_p),
    ("code", ctypes.c_long),
    ("message", ctypes.c_char_p),
    ("error_code", ctypes.c_char_p),
    ("error_reason", ctypes.c_char_p),
    ("underlying", ctypes.POINTER(Error)),
]


class Value(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("value", ctypes.c_char_p)]


class Result(ctypes.Structure):
    _fields_ = [
        ("status", ctypes.c_int),
        ("error", ctypes.POINTER(Error)),
        ("value_count", ctypes.c_size_t),
        ("values", ctypes.POINTER(Value)),
        ("internal_", ctypes.c_void_p),
    ]


LOG_FN = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)


class Tavi:
    """A small Pythonic wrapper: each call returns (ok, values, error message)."""

    def __init__(self, path):
        lib = ctypes.CDLL(path)
        lib.tavi_result_free.argtypes = [ctypes.POINTER(Result)]
        lib.tavi_config_set.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        lib.tavi_store_open_sqlite.restype = ctypes.c_void_p
        lib.tavi_store_open_sqlite.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.POINTER(Result))]
        lib.tavi_store_install.argtypes = [ctypes.c_void_p]
        lib.tavi_store_free.argtypes = [ctypes.c_void_p]
        lib.tavi_preference_save.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        lib.tavi_card_check_number.argtypes = [ctypes.c_char_p]
        lib.tavi_card_brand.argtypes = [ctypes.c_char_p]
        lib.tavi_card_brand.restype = ctypes.c_char_p
        lib.tavi_version.restype = ctypes.c_char_p
        lib.tavi_set_log_sink.argtypes = [LOG_FN, ctypes.c_void_p]
        self.lib = lib

    def call(self, name, *args):
        fn = getattr(self.lib, name)
        fn.restype = ctypes.POINTER(Result)
        fn.argtypes = [ctypes.c_char_p] * len(args)
        ptr = fn(*[a.encode() if a is not None else None for a in args])
        if not ptr:
            raise MemoryError(name)
        try:
            r = ptr.contents
            values = {}
            for i in range(r.value_count):
                v = r.values[i]
                values[v.name.decode()] = v.value.decode() if v.value is not None else None
            error = r.error.contents.message.decode() if r.error else None
            return r.status == TAVI_OK, values, error
        finally:
            self.lib.tavi_result_free(ptr)

    def config(self, name, value):
        if self.lib.tavi_config_set(name.encode(), value.encode()) != TAVI_OK:
            raise ValueError(name)


def step(title, outcome):
    ok, values, error = outcome
    if not ok:
        sys.exit(f"{title} failed: {error or values}")
    return values


def main(argv):
    if len(argv) != 6:
        sys.exit(__doc__)
    so, url, server_key, ca_file, store_path = argv[1:]
    tavi = Tavi(so)
    print(tavi.lib.tavi_version().decode())
    tavi.config("serverURL", url)
    tavi.config("caFile", ca_file)
    tavi.config("appId", "com.example.python")
    tavi.config("pspOrgId", "PSPORG-PY")
    lines = []
    sink = LOG_FN(lambda line, _: lines.append(line.decode()))  # keep a reference while in use
    tavi.lib.tavi_set_log_sink(sink, None)

    store = tavi.lib.tavi_store_open_sqlite(store_path.encode(), None)
    if not store:
        sys.exit("cannot open the store")
    tavi.lib.tavi_store_install(store)
    tavi.lib.tavi_store_free(store)

    step("registration", tavi.call("tavi_register_device", server_key, "+15550122", "REG-PY-1",
                                   "com.example.python"))
    tavi.lib.tavi_preference_save(b"true", b"IS_REGISTERED")
    assert step("check", tavi.call("tavi_check_device_registered", "+15550122"))["registered"] == "true"

    keys = step("key retrieval", tavi.call("tavi_retrieve_keys", "MSG-PY-1", "FINANCIAL_TXN", TXN,
                                           BIC, "ACCOUNT"))
    ki, pk, sk = keys["bankKi"], keys["publicKey"], keys["sessionKey"]
    step("PIN", tavi.call("tavi_submit_credential", TXN, "FINANCIAL_TXN", "PIN", SANDBOX_PIN, ki,
                          pk, sk))
    otp = step("OTP challenge", tavi.call("tavi_fetch_otp_challenge", "FINANCIAL_TXN", TXN,
                                          "ACCOUNT", BIC, sk, None))
    assert step("OTP status", tavi.call("tavi_check_otp_status", TXN))["status"] == "retry"
    step("OTP validation", tavi.call("tavi_validate_otp", TXN, "FINANCIAL_TXN", SANDBOX_OTP, ki,
                                     pk, sk, otp["action"], BIC, otp["referenceId"]))
    assert step("OTP status", tavi.call("tavi_check_otp_status", TXN))["status"] == "stop"

    assert tavi.lib.tavi_card_check_number(SANDBOX_CARD.encode()) == 0
    step("card check", tavi.call("tavi_card_verify", SANDBOX_CARD, "12", "2031", "1234"))
    card = step("card validation", tavi.call("tavi_validate_card_number", sk, ki, pk, TXN,
                                             SANDBOX_CARD, BIC, "Sample Bank"))
    assert card["success"] == "true", card
    reg = step("card registration", tavi.call("tavi_register_card_detail", TXN,
                                              "REGISTER_CARD_ACC_DETAIL", BIC, "000123456789", ki,
                                              sk, SANDBOX_CARD, "12", "2031", "1234", pk))
    assert reg["success"] == "true", reg
    page = step("web URL", tavi.call("tavi_web_url", "SECURE_PAGE_URL", TXN, "ACCOUNT", BIC, sk))

    tavi.lib.tavi_set_log_sink(LOG_FN(), None)
    leaked = [l for l in lines if SANDBOX_CARD in l]
    assert not leaked, "a secret reached a diagnostic line"
    print(f"Python flow done ({tavi.lib.tavi_card_brand(SANDBOX_CARD.encode()).decode()} card, "
          f"{len(lines)} diagnostic lines), secure page {page['refUrl']}")


if __name__ == "__main__":
    main(sys.argv)

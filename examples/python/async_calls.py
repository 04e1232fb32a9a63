#!/usr/bin/env python3
"""Two calls at once from asyncio through tavi's calls that return at once (ctypes only).

Each completion hands its result to the event loop (loop.call_soon_threadsafe). The sandbox is
asked to answer one of the two key retrievals late; the first answer wins and the other call is
cancelled, and its outcome says whether its request may have reached the server.

usage: async_calls.py LIBTAVI_SO SERVER_URL SERVER_PUBLIC_KEY CA_FILE STORE_PATH
"""
import asyncio
import ctypes
import json
import ssl
import sys
import urllib.request

from flow import Result, Tavi, step

TAVI_OK, TAVI_FAILED = 0, 1
DELIVERY = {0: "unknown", 1: "not sent", 2: "may have been received"}
RETRIEVE_KEY = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key"

COMPLETION_FN = ctypes.CFUNCTYPE(None, ctypes.POINTER(Result), ctypes.c_void_p)


class CallOptions(ctypes.Structure):
    _fields_ = [("deadline_ms", ctypes.c_long)]


def read_result(lib, ptr):
    """A copy of what a result holds (the result itself lives only during the completion)."""
    r = ptr.contents
    values = {}
    for i in range(r.value_count):
        v = r.values[i]
        values[v.name.decode()] = v.value.decode() if v.value is not None else None
    error = None
    if r.error:
        e = r.error.contents
        error = {"domain": e.domain.decode(), "code": e.code, "message": e.message.decode(),
                 "delivery": DELIVERY[lib.tavi_result_delivery(ptr)]}
    return {"status": r.status, "values": values, "error": error}


class AsyncTavi:
    """tavi_start_... as awaitable calls."""

    def __init__(self, tavi):
        lib = tavi.lib
        lib.tavi_result_delivery.argtypes = [ctypes.POINTER(Result)]
        lib.tavi_call_cancel.argtypes = [ctypes.c_void_p]
        lib.tavi_call_wait.argtypes = [ctypes.c_void_p]
        lib.tavi_call_free.argtypes = [ctypes.c_void_p]
        self.lib = lib

    def start(self, name, *args, deadline_ms=0):
        """Starts tavi_start_<name>; returns (future, call handle)."""
        loop = asyncio.get_running_loop()
        future = loop.create_future()

        def settle(outcome):
            if not future.done():
                future.set_result(outcome)

        def on_complete(ptr, _user_data):  # on the library's completion thread
            outcome = read_result(self.lib, ptr) if ptr else {"status": -1, "values": {}, "error": None}
            loop.call_soon_threadsafe(settle, outcome)

        completion = COMPLETION_FN(on_complete)
        fn = getattr(self.lib, "tavi_start_" + name)
        fn.restype = ctypes.c_void_p
        fn.argtypes = [ctypes.c_char_p] * len(args) + [ctypes.POINTER(CallOptions), COMPLETION_FN,
                                                       ctypes.c_void_p]
        options = CallOptions(deadline_ms)
        call = fn(*[a.encode() if a is not None else None for a in args], ctypes.byref(options),
                  completion, None)
        if not call:
            raise MemoryError(name)
        future.tavi_call, future.tavi_completion = call, completion  # alive until released
        return future

    def cancel(self, future):
        return self.lib.tavi_call_cancel(future.tavi_call) == 1

    async def release(self, future):
        # The completion may still be returning when the loop sees its result: wait for it (off
        # the loop's thread) before the completion function and the handle go.
        await asyncio.get_running_loop().run_in_executor(None, self.lib.tavi_call_wait,
                                                         future.tavi_call)
        self.lib.tavi_call_free(future.tavi_call)


def delay_next_retrieval(url, ca_file, delay_ms):
    """Asks the sandbox to answer the next key retrieval `delay_ms` late (a sandbox control)."""
    body = json.dumps({"path": RETRIEVE_KEY, "kind": "delay", "delayMs": delay_ms, "times": 1})
    request = urllib.request.Request(url + "/__sandbox/faults", data=body.encode(), method="POST",
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, context=ssl.create_default_context(cafile=ca_file),
                                timeout=10) as answer:
        assert answer.status == 200, answer.status


def describe(label, outcome):
    if outcome["status"] == TAVI_OK:
        return f"{label}: keys for {outcome['values']['txnId']} (rule {outcome['values']['rule']})"
    e = outcome["error"]
    if e is None:
        return f"{label}: status {outcome['status']}"
    if e["domain"] == "TaviClientError" and e["code"] == 12:
        if e["delivery"] == "may have been received":
            advice = "the request may have reached the server: check before repeating it"
        else:
            advice = "nothing was sent: it can be repeated"
        return f"{label}: cancelled; {advice}"
    return f"{label}: failed: {e['domain']}({e['code']}) {e['message']} [{e['delivery']}]"


async def run(tavi, url, ca_file):
    calls = AsyncTavi(tavi)
    delay_next_retrieval(url, ca_file, 5000)
    started = {
        "A": calls.start("retrieve_keys", "MSG-PY-A", "FINANCIAL_TXN", "TXN-PY-A", "DEMOBIC1",
                         "ACCOUNT", deadline_ms=20000),
        "B": calls.start("retrieve_keys", "MSG-PY-B", "FINANCIAL_TXN", "TXN-PY-B", "DEMOBIC1",
                         "ACCOUNT", deadline_ms=20000),
    }
    done, _ = await asyncio.wait(started.values(), return_when=asyncio.FIRST_COMPLETED)
    first = next(label for label, f in started.items() if f in done)
    other = "B" if first == "A" else "A"
    cancelled = calls.cancel(started[other])
    outcomes = {label: await future for label, future in started.items()}
    for future in started.values():
        await calls.release(future)

    print(describe(first, outcomes[first]))
    print(describe(other, outcomes[other]))
    assert outcomes[first]["status"] == TAVI_OK, outcomes[first]
    assert cancelled, "the late call had already ended"
    late = outcomes[other]
    assert late["status"] == TAVI_FAILED and late["error"]["code"] == 12, late
    assert late["error"]["delivery"] == "may have been received", late


def main(argv):
    if len(argv) != 6:
        sys.exit(__doc__)
    so, url, server_key, ca_file, store_path = argv[1:]
    tavi = Tavi(so)
    tavi.config("serverURL", url)
    tavi.config("caFile", ca_file)
    tavi.config("appId", "com.example.python")
    tavi.config("pspOrgId", "PSPORG-PY")
    tavi.config("logLevel", "off")
    store = tavi.lib.tavi_store_open_sqlite(store_path.encode(), None)
    if not store:
        sys.exit("cannot open the store")
    tavi.lib.tavi_store_install(store)
    tavi.lib.tavi_store_free(store)
    step("registration", tavi.call("tavi_register_device", server_key, "+15550123", "REG-PY-2",
                                   "com.example.python"))
    asyncio.run(run(tavi, url, ca_file))


if __name__ == "__main__":
    main(sys.argv)

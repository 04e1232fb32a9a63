#!/usr/bin/env python3
"""Two calls at once from asyncio with the tavi package; the late one is cancelled.

The sandbox is asked to answer one of the two key retrievals late; the first answer wins and the
other task is cancelled, which cancels its call in the library. The tavi.Cancelled it raises
says whether its request may have reached the server.

usage: async_calls.py SERVER_URL SERVER_PUBLIC_KEY CA_FILE STORE_PATH
"""
import asyncio
import json
import ssl
import sys
import urllib.request

import tavi

RETRIEVE_KEY = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key"


def delay_next_retrieval(url, ca_file, delay_ms):
    """Asks the sandbox to answer the next key retrieval `delay_ms` late (a sandbox control)."""
    body = json.dumps({"path": RETRIEVE_KEY, "kind": "delay", "delayMs": delay_ms, "times": 1})
    request = urllib.request.Request(url + "/__sandbox/faults", data=body.encode(), method="POST",
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, context=ssl.create_default_context(cafile=ca_file),
                                timeout=10) as answer:
        assert answer.status == 200, answer.status


async def run(client, url, ca_file):
    delay_next_retrieval(url, ca_file, 5000)
    tasks = {label: asyncio.create_task(client.aio.retrieve_keys(
        f"MSG-PY-{label}", "FINANCIAL_TXN", f"TXN-PY-{label}", "DEMOBIC1", "ACCOUNT", deadline=20))
        for label in "AB"}
    done, _ = await asyncio.wait(tasks.values(), return_when=asyncio.FIRST_COMPLETED)
    first = next(label for label, task in tasks.items() if task in done)
    other = "B" if first == "A" else "A"
    keys = tasks[first].result()
    print(f"{first}: keys for {keys.txn_id} (rule {keys.rule})")
    tasks[other].cancel()
    try:
        await tasks[other]
        raise AssertionError("the late call was not cancelled")
    except tavi.Cancelled as cancelled:
        if cancelled.may_have_been_received:
            advice = "the request may have reached the server: check before repeating it"
        else:
            advice = "nothing was sent: it can be repeated"
        print(f"{other}: cancelled; {advice}")
        assert cancelled.delivery is tavi.Delivery.MAY_HAVE_BEEN_RECEIVED


def main(argv):
    if len(argv) != 5:
        sys.exit(__doc__)
    url, server_key, ca_file, store_path = argv[1:]
    with tavi.Client(url, store=store_path, ca_file=ca_file, app_id="com.example.python",
                     psp_org_id="PSPORG-PY", log_level="off") as client:
        client.register_device(server_key, "+15550123", "REG-PY-2", "com.example.python")
        asyncio.run(run(client, url, ca_file))


if __name__ == "__main__":
    main(sys.argv)

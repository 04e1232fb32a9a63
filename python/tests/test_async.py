"""Awaited calls: many at once on one loop, cancellation at each stage (checked at the server),
and an interpreter that exits at once after cancelled calls."""
import asyncio
import json
import logging
import os
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import tavi
from conftest import ACCOUNT, BIC, FIN, KEY_PATH, client_for

HERE = os.path.dirname(os.path.abspath(__file__))


def keys(client, msg, **kwargs):
    return client.aio.retrieve_keys(msg, FIN, "TXN-" + msg, BIC, ACCOUNT, **kwargs)


def sent(sandbox, msg_id):
    """Whether the sandbox has recorded a request that names `msg_id`."""
    return any(msg_id in json.dumps(r) for r in sandbox.requests())


def test_200_concurrent_awaits(client, sandbox):
    # Status polls (the sandbox answers them without making keys), each transaction with its
    # own state, so that every await must get its own call's answer.
    path = "/mpgs/txn-status"
    for i in range(200):
        sandbox.control("POST", "txn-status", {"txnId": f"MANY-{i}",
                                               "status": "PENDING" if i % 2 else "VERIFIED"})

    async def main():
        before = sandbox.arrivals(path)
        loop_thread = threading.get_ident()
        started = time.monotonic()
        results = await asyncio.gather(*(client.aio.check_otp_status(f"MANY-{i}", deadline=60)
                                         for i in range(200)))
        elapsed = time.monotonic() - started
        assert threading.get_ident() == loop_thread
        assert [r.pending for r in results] == [bool(i % 2) for i in range(200)]
        assert sandbox.arrivals(path) == before + 200
        # No thread per call (the library's own threads show as "dummy" ones, if at all).
        python_threads = [t for t in threading.enumerate()
                          if not isinstance(t, threading._DummyThread)]
        print(f"200 concurrent status polls in {elapsed:.2f} s, "
              f"{len(python_threads)} Python thread(s)")
        assert python_threads == [threading.main_thread()]

    asyncio.run(main())


class EngineGate(logging.Handler):
    """Holds the library's engine thread inside its diagnostics sink (the logger "tavi"), so
    that a call started meanwhile has not even begun when its cancel arrives."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.entered, self.released = threading.Event(), threading.Event()

    def emit(self, record):
        if threading.current_thread() is not threading.main_thread() and not self.entered.is_set():
            self.entered.set()
            self.released.wait(10)


def test_cancel_before_send(client, sandbox):
    logger = logging.getLogger("tavi")
    gate, level = EngineGate(), logger.level

    async def main():
        loop = asyncio.get_running_loop()
        held = asyncio.create_task(keys(client, "HOLD-1", deadline=30))
        assert await loop.run_in_executor(None, gate.entered.wait, 10)
        task = asyncio.create_task(keys(client, "BEFORE-1", deadline=30))
        await asyncio.sleep(0.05)  # started: it waits for the held engine
        task.cancel()
        for _ in range(5):
            await asyncio.sleep(0)  # the task hears it and cancels the call
        gate.released.set()
        with pytest.raises(tavi.Cancelled) as caught:
            await task
        assert isinstance(caught.value, asyncio.CancelledError)
        assert caught.value.delivery == tavi.Delivery.NOT_SENT
        assert not caught.value.may_have_been_received
        assert (await held).txn_id == "TXN-HOLD-1"

    logger.addHandler(gate)
    logger.setLevel(logging.DEBUG)
    try:
        asyncio.run(main())
    finally:
        gate.released.set()
        logger.removeHandler(gate)
        logger.setLevel(level)
    assert sent(sandbox, "HOLD-1") and not sent(sandbox, "BEFORE-1"), "sent after a cancel"


def test_cancel_during_connect(sandbox, store):
    # A listener that never completes the TLS handshake.
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        url = "https://127.0.0.1:%d" % listener.getsockname()[1]

        async def main(client):
            task = asyncio.create_task(keys(client, "CONNECT-1", deadline=30))
            await asyncio.sleep(0.3)
            task.cancel()
            with pytest.raises(tavi.Cancelled) as caught:  # not the connection's timeout
                await task
            assert caught.value.delivery == tavi.Delivery.NOT_SENT

        with client_for(sandbox, store, server_url=url) as client:
            asyncio.run(main(client))
        # What the listener received: at most a TLS ClientHello, never a request.
        listener.setblocking(False)
        try:
            peer, _ = listener.accept()
        except BlockingIOError:
            peer = None
        if peer is not None:
            with peer:
                peer.settimeout(0.5)
                try:
                    data = peer.recv(1)
                except (socket.timeout, BlockingIOError):
                    data = b""
                assert data in (b"", b"\x16")


def test_cancel_during_the_answer(client, sandbox):
    sandbox.fault(kind="delay", delayMs=5000, times=1)

    async def main():
        before = sandbox.arrivals()
        task = asyncio.create_task(keys(client, "ANSWER-1", deadline=30))
        await asyncio.get_running_loop().run_in_executor(None, sandbox.wait_arrivals, before + 1)
        task.cancel()
        with pytest.raises(tavi.Cancelled) as caught:
            await task
        # The sandbox records a request once it has answered it: the cancel did not wait.
        assert not sent(sandbox, "ANSWER-1"), "the cancel waited for the answer"
        assert caught.value.delivery == tavi.Delivery.MAY_HAVE_BEEN_RECEIVED
        assert caught.value.may_have_been_received
        assert task.cancelled()

    asyncio.run(main())
    end = time.monotonic() + 15  # the sandbox records the request once its delay is over
    while not sent(sandbox, "ANSWER-1") and time.monotonic() < end:
        time.sleep(0.1)
    assert sent(sandbox, "ANSWER-1")


def test_exit_after_cancelled_calls(sandbox, store):
    # Calls stalled on the server, cancelled (a blocking one by Ctrl-C, awaited ones by their
    # tasks); the interpreter then exits without waiting for the server (which holds their
    # answers for 8 s).
    sandbox.fault(kind="delay", delayMs=8000)
    script = textwrap.dedent(f"""
        import asyncio, sys, time
        sys.path.insert(0, {os.path.dirname(HERE)!r})
        import tavi
        client = tavi.Client({sandbox.url!r}, store={store!r}, ca_file={sandbox.ca_file!r},
                             app_id="com.example.py", psp_org_id="PSPORG-PY")
        # Ctrl-C during a blocking call ends the call in the library too.
        import os, signal, threading
        threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            client.retrieve_keys("EXIT-INT", "FINANCIAL_TXN", "TXN-EXIT-INT", "DEMOBIC1", "ACCOUNT")
        except KeyboardInterrupt:
            assert not tavi._native._pending, "the interrupted call still runs"
        else:
            raise AssertionError("not interrupted")
        async def main():
            tasks = [asyncio.create_task(client.aio.retrieve_keys(
                f"EXIT-{{i}}", "FINANCIAL_TXN", f"TXN-EXIT-{{i}}", "DEMOBIC1", "ACCOUNT"))
                for i in range(3)]
            await asyncio.sleep(1)
            for t in tasks:
                t.cancel()
            for t in tasks:
                try:
                    await t
                except tavi.Cancelled as cancelled:
                    assert cancelled.may_have_been_received
                else:
                    raise AssertionError("not cancelled")
        asyncio.run(main())
        # A blocking call left in flight by a thread still running at the end.
        threading.Thread(target=client.retrieve_keys, daemon=True,
                         args=("EXIT-B", "FINANCIAL_TXN", "TXN-EXIT-B", "DEMOBIC1",
                               "ACCOUNT")).start()
        time.sleep(0.3)
        print("cancelled", flush=True)
    """)
    try:
        child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                 text=True)
        assert child.stdout.readline().strip() == "cancelled"
        done_at = time.monotonic()
        assert child.wait(30) == 0
        took = time.monotonic() - done_at
        # The sandbox records a request once it has answered it (8 s after it came): neither
        # the interrupt nor the exit waited for an answer.
        waited = [m for m in ("EXIT-INT", "EXIT-0", "EXIT-1", "EXIT-2", "EXIT-B")
                  if sent(sandbox, m)]
        assert not waited, f"answered before the exit: {waited}"
    finally:
        sandbox.clear_faults()
    print(f"the interpreter exited {took:.3f} s after its cancelled calls")

"""The sandbox (the built `tavi sandbox`, run as its own process) and Clients against it.

TAVI_CLI names the tavi command (default: the source tree's build/tavi); TAVI_LIBRARY the
libtavi.so the package loads (default: the source tree's build copy, else the loader's path).
"""
import json
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))  # the package in this tree, unless installed one is asked for

import tavi  # noqa: E402

KEY_PATH = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key"
FIN, BIC, ACCOUNT = "FINANCIAL_TXN", "DEMOBIC1", "ACCOUNT"
PIN, OTP, CARD, CVV, ACCOUNT_NO = "1234", "123456", "378282246310005", "7391", "90817263545"
MOBILE = "+15550140"


def tavi_cli() -> str:
    return os.environ.get("TAVI_CLI") or str(HERE.parent.parent / "build" / "tavi")


class Sandbox:
    """A `tavi sandbox --tls` process and its control interface."""

    def __init__(self, workdir: Path) -> None:
        self.out = open(workdir / "sandbox.out", "w+")
        self.err = open(workdir / "sandbox.err", "w+")
        self.process = subprocess.Popen(
            [tavi_cli(), "sandbox", "--tls", "--state", str(workdir / "state")],
            stdout=self.out, stderr=self.err)
        first = ""
        for _ in range(300):
            self.out.seek(0)
            first = self.out.readline()
            if first.endswith("\n"):
                break
            time.sleep(0.05)
        info = json.loads(first)
        self.url, self.server_key, self.ca_file = info["url"], info["serverPublicKey"], info["caFile"]
        self._context = ssl.create_default_context(cafile=self.ca_file)

    def control(self, method: str, what: str, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.url + "/__sandbox/" + what, data=data,
                                         method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, context=self._context, timeout=10) as answer:
            return json.loads(answer.read() or b"null")

    def fault(self, path: str = KEY_PATH, **fault) -> None:
        self.control("POST", "faults", dict(fault, path=path))

    def clear_faults(self) -> None:
        self.control("DELETE", "faults")

    def requests(self):
        return self.control("GET", "requests")

    def arrivals(self, path: str = KEY_PATH) -> int:
        return int(self.control("GET", "arrivals").get(path, 0))

    def wait_arrivals(self, count: int, path: str = KEY_PATH, seconds: float = 10) -> None:
        end = time.monotonic() + seconds
        while self.arrivals(path) < count:
            assert time.monotonic() < end, f"the sandbox did not receive request {count}"
            time.sleep(0.02)

    def stop(self) -> None:
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:  # a worker still sleeps in a delay fault
            self.process.kill()
            self.process.wait(10)
        self.out.close()
        self.err.close()


@pytest.fixture(scope="session")
def sandbox():
    with tempfile.TemporaryDirectory(prefix="tavi-py-") as work:
        server = Sandbox(Path(work))
        try:
            yield server
        finally:
            server.stop()


@pytest.fixture(scope="session")
def store(sandbox, tmp_path_factory):
    """A store with this device registered with the sandbox."""
    path = str(tmp_path_factory.mktemp("store") / "client.db")
    with tavi.Client(sandbox.url, store=path, ca_file=sandbox.ca_file, app_id="com.example.py",
                     psp_org_id="PSPORG-PY") as client:
        client.register_device(sandbox.server_key, MOBILE, "REG-PY-1", "com.example.py")
    return path


def client_for(sandbox, store, **overrides) -> tavi.Client:
    settings = dict(server_url=sandbox.url, store=store, ca_file=sandbox.ca_file,
                    app_id="com.example.py", psp_org_id="PSPORG-PY", timeout=10)
    settings.update(overrides)
    return tavi.Client(**settings)


@pytest.fixture
def client(sandbox, store):
    sandbox.clear_faults()
    with client_for(sandbox, store) as c:
        yield c
    sandbox.clear_faults()


def closed_port() -> int:
    """A loopback port nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

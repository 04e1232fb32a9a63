#!/usr/bin/env python3
"""Regenerates the seed corpus in fuzz/corpus/ from real answers of the sandbox server.

Runs `tavi sandbox`, drives the whole flow with the `tavi` command-line tool, and keeps:
  decoders/  every response body the library received ("response: " diagnostic lines) and the
             decrypted payload texts it printed
  base64/    the base64 texts found in those answers and keys
  key_parsers/ the server's public key as DER, PEM and bare base64, and the transaction's keys

Usage: fuzz/make_corpus.py BUILD_DIR/tavi
"""
import base64
import hashlib
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def save(kind, data):
    if isinstance(data, str):
        data = data.encode()
    if not data:
        return
    folder = os.path.join(CORPUS, kind)
    os.makedirs(folder, exist_ok=True)
    name = hashlib.sha1(data).hexdigest()[:16]
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    cli = sys.argv[1]
    tmp = tempfile.mkdtemp(prefix="tavi-corpus-")
    sandbox = subprocess.Popen([cli, "sandbox", "--state", tmp + "/state"],
                               stdout=subprocess.PIPE, text=True)
    try:
        first = json.loads(sandbox.stdout.readline())
        base = [cli, "--server", first["url"], "--store", tmp + "/store.db",
                "--app-id", "com.example.wallet", "--psp-org-id", "PSPORG1"]
        lines = []

        def run(*args, secrets=()):
            # Secrets go in on standard input, one line per "-", never on the command line.
            done = subprocess.run(base + list(args), capture_output=True, text=True, timeout=60,
                                  input="".join(s + "\n" for s in secrets))
            lines.extend(done.stderr.splitlines())
            return json.loads(done.stdout.strip().splitlines()[-1]) if done.stdout.strip() else {}

        txn = "TXN-CORPUS-1"
        run("register", "--session-key", first["serverPublicKey"], "--mobile", "+15550100",
            "--txn-id", "REG-1", "--app-id", "com.example.wallet")
        run("store", "set", "IS_REGISTERED", "true")
        run("check", "--mobile", "+15550100")
        keys = run("retrieve-keys", "--msg-id", "MSG-1", "--transaction-type", "FINANCIAL_TXN",
                   "--txn-id", txn, "--bic", "DEMOBIC01", "--instrument-type", "CARD")
        common = ["--bank-ki", keys["bankKi"], "--public-key", keys["publicKey"],
                  "--session-key", keys["sessionKey"]]
        run("submit-credential", "--txn-id", txn, "--transaction-type", "FINANCIAL_TXN",
            "--cred-type", "PIN", "--cred-value", "-", *common, secrets=["1234"])
        otp = run("fetch-otp", "--transaction-type", "FINANCIAL_TXN", "--txn-id", txn,
                  "--instrument-type", "CARD", "--bic", "DEMOBIC01",
                  "--session-key", keys["sessionKey"])
        run("otp-status", "--txn-id", txn)
        run("validate-otp", "--txn-id", txn, "--transaction-type", "FINANCIAL_TXN",
            "--otp", "-", "--action", otp.get("action", "PURCHASE"), "--bic", "DEMOBIC01",
            "--reference-id", otp.get("referenceId", ""), *common, secrets=["123456"])
        run("validate-card", "--txn-id", txn, "--card-number", "-",
            "--bic", "DEMOBIC01", "--bank-name", "Demo Bank", *common,
            secrets=["4111111111111111"])
        run("register-card", "--txn-id", txn, "--transaction-type", "REGISTER_CARD_ACC_DETAIL",
            "--bic", "DEMOBIC01", "--card-number", "-", "--expiry-month", "-",
            "--expiry-year", "-", "--cvv", "-", *common,
            secrets=["4111111111111111", "08", "2031", "737"])
        run("web-url", "--transaction-type", "FINANCIAL_TXN", "--txn-id", txn,
            "--instrument-type", "CARD", "--bic", "DEMOBIC01", "--session-key", keys["sessionKey"])
    finally:
        sandbox.terminate()
        sandbox.wait()

    for line in lines:
        if line.startswith("response: "):
            body = line[len("response: "):]
            save("decoders", body)
            try:
                doc = json.loads(body)
            except ValueError:
                continue
            for value in list(doc.values()) + list(doc.get("commonResponse", {}).values()):
                if isinstance(value, str) and len(value) > 8:
                    save("base64", value)
        elif line.startswith("{") and line.endswith("}"):
            save("decoders", line)  # a decrypted payload printed on one line

    der = base64.b64decode(first["serverPublicKey"])
    save("key_parsers", der)
    save("key_parsers", first["serverPublicKey"])
    pem = "\n".join(first["serverPublicKey"][i:i + 64]
                    for i in range(0, len(first["serverPublicKey"]), 64))
    save("key_parsers", "-----BEGIN PUBLIC KEY-----\n" + pem + "\n-----END PUBLIC KEY-----\n")
    for name in ("publicKey", "sessionKey"):
        text = keys.get(name, "")
        save("key_parsers", text)
        save("base64", text)
    print("corpus:", {k: len(os.listdir(os.path.join(CORPUS, k))) for k in os.listdir(CORPUS)})


if __name__ == "__main__":
    main()

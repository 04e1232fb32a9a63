"""docs/PYTHON.md followed literally: its sandbox command, then its Python blocks in order, as
one program, from an empty directory where `tavi` is the built command."""
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

from conftest import HERE, tavi_cli

GUIDE = Path(os.environ.get("TAVI_SOURCE_DIR") or HERE.parent.parent) / "docs" / "PYTHON.md"


def blocks(text, language):
    return re.findall(rf"^```{language}\n(.*?)^```", text, flags=re.S | re.M)


def test_python_guide(tmp_path):
    text = GUIDE.read_text()
    start = re.search(r"<!-- python-doc:sandbox -->\n```sh\n(.*?)```", text, flags=re.S)
    assert start, "no sandbox command in the guide"
    program = "\n".join(blocks(text, "python"))
    assert "client.aio" in program and "task.cancel()" in program

    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "tavi").symlink_to(os.path.realpath(tavi_cli()))
    work = tmp_path / "work"
    work.mkdir(mode=0o700)
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}",
               PYTHONPATH=str(HERE.parent), PYTHONDONTWRITEBYTECODE="1")
    shell = subprocess.Popen(["bash", "-c", start.group(1) + "wait"], cwd=work, env=env,
                             start_new_session=True)
    try:
        for _ in range(300):
            if (work / "sbx.json").exists() and (work / "sbx.json").read_text().endswith("\n"):
                break
            time.sleep(0.05)
        run = subprocess.run([sys.executable, "-c", program], cwd=work, env=env,
                             capture_output=True, text=True, timeout=120)
    finally:
        os.killpg(shell.pid, signal.SIGTERM)
        shell.wait(20)
    assert run.returncode == 0, run.stdout + run.stderr
    out = run.stdout.splitlines()
    assert out == ["RegistrationStatus(registered=True, status='registered')", "TXN-1",
                   "keys for TXN-2", "cancelled; may have been received: True",
                   "refused: INVALID_CREDENTIAL"], run.stdout
    assert "tavi DEBUG" in run.stderr, "the logging section showed no line"

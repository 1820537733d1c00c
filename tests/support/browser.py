"""What the browser tests share beside their fixtures (tests/browser/conftest.py): a module of its own,
since a test file's `from conftest import ...` finds whichever conftest the whole suite imported first."""
import json
import os
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ARTIFACTS = os.path.join(os.path.dirname(os.path.dirname(HERE)), "build", "browser-artifacts")
DOCS = os.path.join(os.path.dirname(os.path.dirname(HERE)), "docs")

# The detail pane's path of the selected node, or null.
DETAIL_PATH = "var p = document.querySelector('#detail .path'); return p ? p.textContent : null;"


def wait_for(page, script, expected, timeout=15):
    """The script's value once it is `expected`, or its last value when `timeout` seconds have passed."""
    deadline = time.time() + timeout
    while True:
        value = page.js(script)
        if value == expected or time.time() > deadline:
            return value
        time.sleep(0.05)


class Server:
    """A reporter server on SQLite on a free loopback port, in its own process."""

    TOKEN = "browser-secret"

    def __init__(self, folder, **settings):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.url = "http://127.0.0.1:%d" % self.port
        code = ("import json, uvicorn, sys\n"
                "from kovra.reporter.server.app import create_app\n"
                "from kovra.reporter.server.settings import Settings\n"
                "app = create_app(Settings(data=sys.argv[1], token=sys.argv[2], **json.loads(sys.argv[4])))\n"
                "uvicorn.run(app, host='127.0.0.1', port=int(sys.argv[3]), log_level='warning')\n")
        self.log = open(os.path.join(folder, "server.log"), "wb")
        self.process = subprocess.Popen([sys.executable, "-c", code, folder, self.TOKEN, str(self.port),
                                         json.dumps(settings)],
                                        stdout=self.log, stderr=subprocess.STDOUT)
        import httpx
        self.client = httpx.Client(base_url=self.url, timeout=30)
        deadline = time.time() + 30
        while True:
            try:
                if self.client.get("/healthz").status_code == 200:
                    break
            except httpx.TransportError:
                pass
            assert self.process.poll() is None and time.time() < deadline, "the server did not start"
            time.sleep(0.1)

    def stop(self):
        self.client.close()
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()

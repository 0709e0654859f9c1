"""Fixtures of the browser suite. This whole test process enters a network
namespace of its own with only loopback up, so every player, gateway and
source it starts lives there and no traffic leaves the host; the namespace
is deleted by name at the end, whatever happened. The stamping source and
the gateway (examples/browser.py) run for the whole suite; Chromium windows
are opened by test, one window and one driver a viewer (headless Chromium
presents no frames in background tabs)."""

import json
import os
import shutil
import sys
import tempfile
import urllib.error
import urllib.request

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

from harness import Child, Namespace, descendants, kill_all
from support import child_env, free_port

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
GATEWAY = os.path.join(ROOT, "examples", "browser.py")
STARTUP_S = 20  # bound on a child's first line, on a loaded machine

CHROMIUM_FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--autoplay-policy=no-user-gesture-required", "--allow-loopback-in-peer-connection",
    "--use-fake-ui-for-media-stream", "--use-fake-device-for-media-stream",
]


@pytest.fixture(scope="session", autouse=True)
def namespace():
    space = Namespace()
    try:
        yield space
    finally:
        space.leave()


class Source:
    """tests/browser/stamping_source.py, on loopback where `run_in` (a
    command prefix such as `ip netns exec NAME`) puts it: `sent` maps each
    picture's index to the wall-clock time it went to send_frame."""

    def __init__(self, run_in=()):
        self.sent = {}
        self.port = free_port()
        self.child = Child([*run_in, sys.executable, os.path.join(HERE, "stamping_source.py"),
                            "--bind", f"127.0.0.1:{self.port}"], self._line, child_env())
        self.url = self.child.wait_line("serving ", STARTUP_S).split()[1]

    def _line(self, line):
        word, _, rest = line.partition(" ")
        if word == "sent":
            index, when = rest.split()
            self.sent[int(index)] = float(when)


@pytest.fixture(scope="session")
def source():
    stamping = Source()
    try:
        yield stamping
    finally:
        stamping.child.stop()


class Gateway:
    """examples/browser.py pulling `source`, serving on a free port of
    `host` (its page reached at `reach`, `host` unless a port forward leads
    there), run with `options`, where `run_in` puts it; status() is its
    /status JSON."""

    def __init__(self, source_url, options=("--ice-address", "127.0.0.1"), host="127.0.0.1",
                 run_in=(), reach=None):
        self.port = free_port()
        self.url = f"http://{reach or host}:{self.port}/"
        self.child = Child([*run_in, sys.executable, GATEWAY, "--source", source_url,
                            "--http", f"{host}:{self.port}", *options], env=child_env())
        self.child.wait_line("serving http://", STARTUP_S)
        self.pid = self.child.pid

    def stop(self):
        status = self.child.stop()
        assert status == 0, f"the gateway ended with {status}: {self.child.stderr[-10:]}"

    def status(self):
        with urllib.request.urlopen(self.url + "status", timeout=5) as answer:
            return json.load(answer)

    def request(self, method, path, body=None, headers=None):
        """(status, body text) of one request, whatever the status."""
        request = urllib.request.Request(self.url.rstrip("/") + path, data=body,
                                         method=method, headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=10) as answer:
                return answer.status, answer.read().decode()
        except urllib.error.HTTPError as err:
            return err.code, err.read().decode()


@pytest.fixture(scope="session")
def gateway(source):
    running = Gateway(source.url)
    try:
        yield running
    finally:
        running.stop()


class Window:
    """One headless Chromium window, driven by chromedriver. Scripts given
    to on_every_page run in each page it loads before the page's own."""

    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="rtsp-browser-profile-")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in CHROMIUM_FLAGS + [f"--user-data-dir={self.profile}"]:
            options.add_argument(flag)
        self.service = Service("/usr/bin/chromedriver")
        self.driver = webdriver.Chrome(service=self.service, options=options)
        self.driver.set_page_load_timeout(20)
        self.driver.set_script_timeout(20)

    def on_every_page(self, script):
        self.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": script})

    def close(self, abruptly=False):
        """Closes the window as a user closes a tab (its page hears of it), or
        `abruptly`, as a crashing browser or a lost network ends it."""
        process = self.service.process
        family = descendants(process.pid) if process else []
        try:
            if abruptly:
                kill_all(family)
            else:
                self.driver.get("about:blank")
        finally:
            try:
                self.driver.quit()
            finally:
                kill_all(family)
                shutil.rmtree(self.profile, ignore_errors=True)


@pytest.fixture
def windows():
    """open() gives a new Window; all are closed afterwards."""
    opened = []

    class Opener:
        @staticmethod
        def open():
            window = Window()
            opened.append(window)
            return window

        @staticmethod
        def close(window, abruptly=False):
            opened.remove(window)
            window.close(abruptly)

    yield Opener
    for window in opened:
        window.close()

"""The dashboard in a real browser: Debian's headless chromium against
`vantbrook demo serve`, driven over Chrome's DevTools protocol on a pipe.
The fleet page lists every meter with its state, a meter page draws both
plots, an alarm is acknowledged with the token; screenshots of each page
go to SCREENSHOTS.

Needs VANTBROOK (the program), CHROMIUM and SCREENSHOTS (a folder) in the
environment; ctest sets them.
"""

import base64
import fcntl
import json
import os
import re
import selectors
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.request

VANTBROOK = os.environ.get("VANTBROOK", "")
CHROMIUM = os.environ.get("CHROMIUM", "/usr/bin/chromium")
SCREENSHOTS = os.environ.get("SCREENSHOTS", "")
TOKEN = "a-token-for-the-browser-test"
# The demo's nine meters on three simulated lines (four of them behind
# modem calls) are all collected within a minute or two, on a busy machine.
COLLECTED_WITHIN_S = 240
STEP_WITHIN_S = 60
STOPPED_WITHIN_S = 120
FIRST_PAGE_LIMIT = 300 * 1000
WINDOW = (1280, 900)


def fetch_json(url):
    with urllib.request.urlopen(url, timeout=STEP_WITHIN_S) as response:
        return json.load(response)


class DevTools:
    """Chrome's DevTools protocol over --remote-debugging-pipe: the browser
    reads JSON messages, each ended by a NUL byte, on its descriptor 3 and
    writes its own on 4. One page is attached, its commands sent with the
    session's id."""

    def __init__(self, profile, log):
        # Above 4, so that moving them to 3 and 4 in the child never
        # overwrites one with the other.
        def high(fd):
            moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
            os.close(fd)
            return moved

        browser_reads, self._writer = map(high, os.pipe())
        self._reader, browser_writes = map(high, os.pipe())

        def descriptors_3_and_4():
            os.dup2(browser_reads, 3)
            os.dup2(browser_writes, 4)

        self.process = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--disable-dev-shm-usage", "--hide-scrollbars",
             "--force-device-scale-factor=1", f"--window-size={WINDOW[0]},{WINDOW[1]}",
             f"--user-data-dir={profile}", "--remote-debugging-pipe", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log, close_fds=False,
            start_new_session=True, preexec_fn=descriptors_3_and_4)
        os.close(browser_reads)
        os.close(browser_writes)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self._reader, selectors.EVENT_READ)
        self._buffer = b""
        self._events = []
        self._next_id = 0
        self.session = None
        try:
            target = self.call("Target.createTarget", url="about:blank")["targetId"]
            self.session = self.call("Target.attachToTarget", targetId=target,
                                     flatten=True)["sessionId"]
            self.call("Page.enable")
            self.call("Runtime.enable")
        except BaseException:
            self.close()
            raise

    def close(self):
        try:
            self.call("Browser.close", session=False, within=10)
        except (OSError, RuntimeError, TimeoutError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            # The browser's own children go with it: they share its group.
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        self._selector.close()
        os.close(self._reader)
        os.close(self._writer)

    def _message(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("chromium did not answer in time")
            if self._selector.select(left):
                chunk = os.read(self._reader, 1 << 20)
                if not chunk:
                    raise RuntimeError("chromium closed its end of the pipe")
                self._buffer += chunk
        message, _, self._buffer = self._buffer.partition(b"\0")
        return json.loads(message)

    def call(self, method, session=None, within=STEP_WITHIN_S, **params):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session is not False and self.session:
            message["sessionId"] = session or self.session
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self._writer, data):]
        deadline = time.monotonic() + within
        while True:
            reply = self._message(deadline)
            if reply.get("id") != self._next_id:
                self._events.append(reply)
                continue
            if "error" in reply:
                raise RuntimeError(f"{method}: {reply['error']}")
            return reply.get("result", {})

    def open(self, url):
        """Loads url into a new document (by way of a blank page: a change
        of the fragment alone loads nothing) and waits for its load event."""
        for address in ("about:blank", url):
            self._events.clear()
            self.call("Page.navigate", url=address)
            deadline = time.monotonic() + STEP_WITHIN_S
            while not any(e.get("method") == "Page.loadEventFired" for e in self._events):
                self._events.append(self._message(deadline))

    def evaluate(self, expression, within=STEP_WITHIN_S):
        result = self.call("Runtime.evaluate", within=within, expression=expression,
                           awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            raise AssertionError(details.get("exception", {}).get("description") or details["text"])
        return result["result"].get("value")

    def wait_for(self, condition):
        """The value of a page expression once it is truthy; the page checks
        it as it changes, up to STEP_WITHIN_S."""
        return self.evaluate(f"""new Promise((resolve, reject) => {{
            const until = Date.now() + {STEP_WITHIN_S * 1000};
            const check = () => {{
              let value = null;
              try {{ value = ({condition}); }} catch (error) {{ value = null; }}
              if (value) resolve(value);
              else if (Date.now() > until) reject(new Error({json.dumps('not in time: ' + condition)}));
              else setTimeout(check, 100);
            }};
            check();
        }})""", within=STEP_WITHIN_S + 10)

    def screenshot(self, name):
        if not SCREENSHOTS:
            return
        os.makedirs(SCREENSHOTS, exist_ok=True)
        # The window, less the empty ground below a short page.
        width, height = self.evaluate(
            "[innerWidth, Math.min(innerHeight, document.body.scrollHeight)]")
        clip = {"x": 0, "y": 0, "width": width, "height": height, "scale": 1}
        data = self.call("Page.captureScreenshot", format="png", clip=clip)["data"]
        with open(os.path.join(SCREENSHOTS, name), "wb") as file:
            file.write(base64.b64decode(data))


# Strongly coloured pixels (the plotted mean line) inside each plot's chart
# area: the axes, grid and labels are grey, the min-max band faint.
COLOURED_PIXELS = """[...document.querySelectorAll('.plot canvas')].map((canvas) => {
  const chart = window.Chart && Chart.getChart(canvas);
  if (!chart || !chart.chartArea) return 0;
  const area = chart.chartArea;
  const pixels = canvas.getContext('2d').getImageData(area.left, area.top,
      area.right - area.left, area.bottom - area.top).data;
  let count = 0;
  for (let i = 0; i < pixels.length; i += 4) {
    const r = pixels[i], g = pixels[i + 1], b = pixels[i + 2];
    if (pixels[i + 3] > 200 && Math.max(r, g, b) - Math.min(r, g, b) > 80) ++count;
  }
  return count;
})"""


class Dashboard(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="vantbrook-dashboard-")
        cls.addClassCleanup(shutil.rmtree, cls.scratch, ignore_errors=True)
        token_file = os.path.join(cls.scratch, "token")
        with open(token_file, "w") as file:
            file.write(TOKEN + "\n")
        cls.service_log = open(os.path.join(cls.scratch, "service.log"), "w+")
        cls.addClassCleanup(cls.service_log.close)
        # The demo's fleet file and store go to a temporary folder of its
        # own, which outlives it: made here, it goes with the scratch folder.
        cls.service = subprocess.Popen(
            [VANTBROOK, "demo", "serve", "--http", "127.0.0.1:0", "--token-file", token_file],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=cls.service_log,
            env=dict(os.environ, TMPDIR=cls.scratch))
        cls.addClassCleanup(cls.stop_service)
        cls.url = cls.dashboard_url()
        cls.wait_for_collections()

        browser_log = open(os.path.join(cls.scratch, "chromium.log"), "w")
        cls.addClassCleanup(browser_log.close)
        cls.browser = DevTools(os.path.join(cls.scratch, "profile"), browser_log)
        cls.addClassCleanup(cls.browser.close)

    @classmethod
    def stop_service(cls):
        cls.service.send_signal(signal.SIGTERM)
        try:
            cls.service.wait(timeout=STOPPED_WITHIN_S)
        except subprocess.TimeoutExpired:
            cls.service.kill()
            cls.service.wait()
        cls.service.stdout.close()

    @classmethod
    def service_said(cls):
        cls.service_log.seek(0)
        return cls.service_log.read()[-3000:]

    @classmethod
    def dashboard_url(cls):
        """The address the demo prints once the service listens."""
        printed = b""
        with selectors.DefaultSelector() as selector:
            selector.register(cls.service.stdout, selectors.EVENT_READ)
            deadline = time.monotonic() + STEP_WITHIN_S
            while time.monotonic() < deadline:
                if not selector.select(deadline - time.monotonic()):
                    continue
                chunk = os.read(cls.service.stdout.fileno(), 4096)
                if not chunk:
                    break
                printed += chunk
                found = re.search(rb"^Dashboard: (http://\S+)$", printed, re.MULTILINE)
                if found:
                    return found.group(1).decode()
        raise AssertionError("the demo printed no dashboard address:\n" + cls.service_said())

    @classmethod
    def wait_for_collections(cls):
        """Until every meter is collected and the demo's battery warning is
        open, asking the API as the service collects."""
        deadline = time.monotonic() + COLLECTED_WITHIN_S
        while time.monotonic() < deadline:
            summary = fetch_json(cls.url + "api/meters")["summary"]
            if summary["ok"] == summary["meters"] > 0 and summary["alarms_open"] > 0:
                return
            if cls.service.poll() is not None:
                break
            time.sleep(0.5)
        raise AssertionError("the demo's meters were not all collected:\n" + cls.service_said())

    def test_fleet_page_lists_every_meter_with_its_state(self):
        self.browser.open(self.url)
        meters = fetch_json(self.url + "api/meters")["meters"]
        self.browser.wait_for("document.querySelectorAll('#fleet tbody tr[data-meter]').length"
                              f" === {len(meters)}")
        shown = self.browser.evaluate("""Object.fromEntries([...document.querySelectorAll(
            '#fleet tbody tr[data-meter]')].map((row) => [row.dataset.meter,
            row.querySelector('.badge').textContent]))""")
        self.assertEqual(shown, {m["meter"]: m["state"] for m in meters})
        totals = self.browser.evaluate("document.getElementById('totals').textContent")
        self.assertIn(f"{len(meters)}meters", totals)
        self.assertIn(f"{len(meters)}ok", totals)

        # The first page leaves Chart.js to the meter page, and stays small.
        loaded = self.browser.evaluate("""[performance.getEntriesByType('navigation')[0],
            ...performance.getEntriesByType('resource')].map((e) => [e.name, e.decodedBodySize])""")
        self.assertFalse([name for name, _ in loaded if name.endswith("chart.js")])
        files = sum(size for name, size in loaded if "/api/" not in name)
        data = sum(size for name, size in loaded if "/api/" in name)
        print(f"first page: {files} bytes of HTML, CSS and script, {data} bytes from the API")
        self.assertLess(files + data, FIRST_PAGE_LIMIT)
        self.browser.screenshot("fleet.png")

    def test_meter_page_draws_both_plots(self):
        self.browser.open(self.url + "#/meter/demo-3?logger=1&span=week")
        self.browser.wait_for(f"({COLOURED_PIXELS}).filter((n) => n > 300).length === 2")
        self.browser.wait_for("!!document.querySelector('#calendar td.day-full')")
        self.browser.wait_for("!!document.querySelector('#attempts tbody td.message')")
        self.browser.screenshot("meter.png")

    def acknowledged_at(self, alarm):
        return next(a["acknowledged_at"] for a in fetch_json(self.url + "api/alarms")["alarms"]
                    if a["id"] == alarm)

    def test_alarm_is_acknowledged_with_the_token(self):
        alarms = fetch_json(self.url + "api/alarms?open=1")["alarms"]
        waiting = [a for a in alarms if a["acknowledged_at"] is None]
        self.assertTrue(waiting, "the demo raised no alarm to acknowledge")
        alarm = waiting[0]["id"]
        self.browser.open(self.url + "#/alarms")
        self.browser.evaluate("sessionStorage.clear()")
        button = f"document.querySelector('button.ack[data-alarm=\"{alarm}\"]')"
        answer = """(token) => {
            document.getElementById('token-input').value = token;
            document.getElementById('token-ok').click();
            return true;
        }"""

        # A wrong token: the API's refusal is shown, and the token asked again.
        self.browser.wait_for(f"!!{button}")
        self.browser.evaluate(f"{button}.click()")
        self.browser.wait_for("document.getElementById('token-dialog').open")
        self.browser.evaluate(f"({answer})('not-the-token')")
        notice = self.browser.wait_for("document.querySelector('#notice.bad')?.textContent")
        self.assertIn("(401)", notice)
        self.assertIn("this needs the service's token", notice)
        self.assertIsNone(self.acknowledged_at(alarm))

        self.browser.wait_for(f"!{button}.disabled")
        self.browser.evaluate(f"{button}.click()")
        self.browser.wait_for("document.getElementById('token-dialog').open")
        self.browser.evaluate(f"({answer})({json.dumps(TOKEN)})")
        self.browser.wait_for(f"!{button} && !!document.querySelector('#notice.good')")
        self.assertIsNotNone(self.acknowledged_at(alarm))
        self.assertEqual(self.browser.evaluate("sessionStorage.length"), 1)
        self.browser.screenshot("alarms.png")


if __name__ == "__main__":
    unittest.main()

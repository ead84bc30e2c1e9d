"""Shared pieces of the browser tests: real agents, headless Chromium through
WebDriver (python3-selenium and chromium-driver), network namespaces.

Each test program makes its own network namespaces, so every agent there runs
on its default ports (the agent-to-agent status request always goes to 4044)
without clashing with other tests run at the same time. The program itself
enters the namespace the browser uses before it starts chromedriver: the
WebDriver client, chromedriver and Chromium then talk over that namespace's
loopback, and the pages are the agent's at http://127.0.0.1:4044/.

Namespaces are named trl-<pid>-<start time>-br<n>, as the test network lab
names its own, so a program that died (a CTest time-out kills it) leaves
nothing that the lab's next sweep (or `trellon-netlab sweep`) does not remove.

Missing pieces (root, ip, Chromium, chromedriver, selenium) skip the whole
program with exit code 77, which CTest reports as a skip (SKIP_RETURN_CODE).
Every wait has a deadline. Screenshots go to <build>/test-artifacts/.
"""

import argparse
import ctypes
import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import unittest

SKIP_RETURN_CODE = 77
READY_LINE = "for TCP bandwidth test port."
CHROMIUM_CANDIDATES = ("/usr/bin/chromium", "/usr/bin/chromium-browser",
                       "/usr/lib/chromium/chromium")
CHROMEDRIVER_CANDIDATES = ("/usr/bin/chromedriver", "/usr/lib/chromium/chromedriver")
IP = "/usr/sbin/ip"
CLONE_NEWNET = 0x40000000


class Config:
    """Where the build is; set from the command line by main()."""

    bin_dir = ""
    artifacts_dir = ""


def _first_executable(paths):
    for path in paths:
        if os.access(path, os.X_OK):
            return path
    return ""


def skip_reason():
    """Why browser tests cannot run here, or "" when they can."""
    if os.geteuid() != 0:
        return "needs root to create network namespaces"
    if not os.access(IP, os.X_OK):
        return "the ip tool (iproute2) is not installed"
    if not _first_executable(CHROMIUM_CANDIDATES):
        return ('Chromium is not installed (Debian package "chromium"; '
                "scripts/install-deps test installs it when run as root)")
    if not _first_executable(CHROMEDRIVER_CANDIDATES):
        return ('chromedriver is not installed (Debian package "chromium-driver"; '
                "scripts/install-deps test installs it when run as root)")
    if importlib.util.find_spec("selenium") is None:
        return ('selenium is not importable by %s (Debian package "python3-selenium"; '
                "scripts/install-deps test installs it when run as root)" % sys.executable)
    return ""


def tail(text, size=3000):
    return text if len(text) <= size else text[-size:]


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def _run(args):
    return subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=30, check=False)


def _start_time(pid):
    # Field 22 of /proc/<pid>/stat; the name in field 2 may hold spaces.
    with open("/proc/%d/stat" % pid) as f:
        stat = f.read()
    return stat[stat.rindex(")") + 2:].split()[19]


class Namespace:
    """A network namespace with loopback up; delete() removes it."""

    _count = 0

    def __init__(self):
        Namespace._count += 1
        pid = os.getpid()
        self.name = "trl-%d-%s-br%d" % (pid, _start_time(pid), Namespace._count)
        self.ok = False
        made = _run([IP, "netns", "add", self.name])
        if made.returncode != 0:
            self.why = made.stdout.decode(errors="replace").strip()
            return
        up = _run([IP, "-n", self.name, "link", "set", "lo", "up"])
        self.ok = up.returncode == 0
        self.why = up.stdout.decode(errors="replace").strip()

    def enter(self):
        """Moves this program (and what it starts from now on) into the namespace."""
        fd = os.open("/run/netns/" + self.name, os.O_RDONLY)
        try:
            if hasattr(os, "setns"):
                os.setns(fd, CLONE_NEWNET)
            else:
                libc = ctypes.CDLL(None, use_errno=True)
                if libc.setns(fd, CLONE_NEWNET) != 0:
                    error = ctypes.get_errno()
                    raise OSError(error, "setns: " + os.strerror(error))
        finally:
            os.close(fd)

    def delete(self):
        _run([IP, "netns", "del", self.name])


def link(a, b, address_a, address_b):
    """A veth pair between two namespaces, eth0 on each end, addresses /24.

    IPv6 is off on both ends before they come up, so only the test's own
    traffic and ARP cross the link.
    """
    steps = [[IP, "link", "add", "name", "eth0", "netns", a.name, "type", "veth", "peer", "name",
              "eth0", "netns", b.name]]
    for ns, address in ((a, address_a), (b, address_b)):
        steps += [[IP, "netns", "exec", ns.name, "sysctl", "-q", "-w",
                   "net.ipv6.conf.eth0.disable_ipv6=1"],
                  [IP, "-n", ns.name, "addr", "add", address + "/24", "dev", "eth0"],
                  [IP, "-n", ns.name, "link", "set", "eth0", "up"]]
    for step in steps:
        done = _run(step)
        if done.returncode != 0:
            raise RuntimeError("%s: %s" % (" ".join(step), done.stdout.decode(errors="replace")))


def _listening(pid, port):
    # The listener table of the namespace the process is in: read, not probed
    # with a connection the agent would have to serve.
    for table in ("tcp", "tcp6"):
        try:
            with open("/proc/%d/net/%s" % (pid, table)) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except (OSError, StopIteration, IndexError, ValueError):
            continue
    return False


class Agent:
    """The real trellon in a fresh folder: a copy of the built program with
    its htdocs/ beside it and its own settings file (TRELLON_SETTINGS)."""

    def __init__(self, namespace, settings=None):
        self.namespace = namespace
        self.settings = dict(settings or {})
        self.folder = tempfile.mkdtemp(prefix="trellon-browser-")
        self.process = None
        self.exit_code = None
        self.stop_requested = False
        program = os.path.join(Config.bin_dir, "trellon")
        try:
            # A link is enough (the agent never writes its program) and saves
            # copying tens of megabytes per agent.
            os.link(program, os.path.join(self.folder, "trellon"))
        except OSError:
            shutil.copy2(program, self.folder)
        shutil.copytree(os.path.join(Config.bin_dir, "htdocs"), os.path.join(self.folder, "htdocs"))
        with open(self.settings_path, "w") as f:
            for name, value in self.settings.items():
                f.write("%s=%s\n" % (name, value))

    @property
    def settings_path(self):
        return os.path.join(self.folder, "agent.conf")

    @property
    def control_port(self):
        return int(self.settings.get("controlPort", 4044))

    def start(self):
        env = dict(os.environ, TRELLON_SETTINGS=self.settings_path)
        with open(os.path.join(self.folder, "stdout.txt"), "wb") as out, \
                open(os.path.join(self.folder, "stderr.txt"), "wb") as err:
            self.process = subprocess.Popen(
                [IP, "netns", "exec", self.namespace.name, os.path.join(self.folder, "trellon")],
                cwd=self.folder, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)

    def output(self):
        return read_text(os.path.join(self.folder, "stdout.txt"))

    def log(self):
        return read_text(os.path.join(self.folder, "htdocs", "log.txt"))

    def wait_ready(self, limit=20.0):
        """The ready line on the console, then the control port listening."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline and self.process.poll() is None:
            if READY_LINE in self.output() and _listening(self.process.pid, self.control_port):
                return True
            time.sleep(0.02)
        return False

    def request_stop(self):
        # Once: a second SIGINT is a different path in the agent (logged, ignored).
        if self.process is not None and self.process.poll() is None and not self.stop_requested:
            self.stop_requested = True
            self.process.send_signal(signal.SIGINT)

    def stop(self, limit=15.0):
        """SIGINT (the agent's own stop path); its exit code, or None at the deadline."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.request_stop()
            try:
                self.process.wait(limit)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                return None
        self.exit_code = self.process.returncode
        return self.exit_code

    def kill(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def report(self):
        return ("---- agent in %s ----\n[stdout]\n%s[stderr]\n%s[htdocs/log.txt]\n%s---- end ----"
                % (self.folder, self.output(), read_text(os.path.join(self.folder, "stderr.txt")),
                   self.log()))

    def remove(self):
        self.kill()
        shutil.rmtree(self.folder, ignore_errors=True)


class Browser:
    """Headless Chromium under chromedriver, in the namespace this program is in."""

    def __init__(self, scratch, width=1200, height=1400):
        from selenium import webdriver
        from selenium.common.exceptions import WebDriverException
        from selenium.webdriver.chrome.service import Service

        self.size = (width, height)
        self.log_path = os.path.join(scratch, "chromedriver.log")
        options = webdriver.ChromeOptions()
        options.binary_location = _first_executable(CHROMIUM_CANDIDATES)
        for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update",
                    "--disable-sync", "--disable-quic", "--disable-dev-shm-usage",
                    "--no-default-browser-check",
                    "--user-data-dir=" + os.path.join(scratch, "profile"),
                    "--window-size=%d,%d" % self.size):
            options.add_argument(arg)
        # A group of its own, so the browser and its helpers end with it.
        self.service = Service(executable_path=_first_executable(CHROMEDRIVER_CANDIDATES),
                               log_path=self.log_path, popen_kw={"start_new_session": True})
        try:
            self.driver = webdriver.Chrome(service=self.service, options=options)
        except WebDriverException as error:
            self._end_driver()
            raise unittest.SkipTest("Chromium cannot run here: %s\n%s"
                                    % (error.msg, tail(read_text(self.log_path))))
        self.driver.set_page_load_timeout(20)
        self.driver.set_script_timeout(20)
        self.product = self.driver.capabilities.get("browserVersion", "?")

    def get(self, url):
        self.driver.get(url)

    def js(self, expression):
        """The value of an expression evaluated in the page."""
        return self.driver.execute_script("return (" + expression + ");")

    def run(self, statements):
        self.driver.execute_script(statements)

    def wait_for(self, expression, limit):
        """Polls until the expression is true; navigations in between are normal
        (the page is then not ready yet). The last error, or None when it held."""
        from selenium.common.exceptions import WebDriverException

        deadline = time.monotonic() + limit
        last = "timed out waiting for: " + expression
        while True:
            try:
                if self.js(expression) is True:
                    return None
            except WebDriverException as error:
                last = "timed out waiting for: %s (%s)" % (expression, error.msg)
            if time.monotonic() >= deadline:
                return last
            time.sleep(0.1)

    def screenshot(self, name):
        """Keeps the whole page as <artifacts>/name; the PNG bytes."""
        # The window grows to the page's height for the picture, as the
        # WebDriver screenshot shows the viewport only.
        # The window's height counts the browser's own frame too.
        measure = ("[Math.max(document.documentElement.scrollHeight, document.body.scrollHeight),"
                   " window.innerHeight, window.outerHeight]")
        width, normal = self.size
        resized = False
        for _ in range(3):
            page, inner, outer = self.js(measure)
            if page <= inner:
                break
            self.driver.set_window_size(width, min(page + max(outer - inner, 0), 10000))
            resized = True
        try:
            png = self.driver.get_screenshot_as_png()
        finally:
            if resized:
                self.driver.set_window_size(width, normal)
        os.makedirs(Config.artifacts_dir, exist_ok=True)
        with open(os.path.join(Config.artifacts_dir, name), "wb") as f:
            f.write(png)
        return png

    def log(self):
        return tail(read_text(self.log_path))

    def close(self):
        from selenium.common.exceptions import WebDriverException
        from selenium.webdriver.remote.command import Command

        if getattr(self, "driver", None) is not None:
            try:
                # The session's end closes the browser; chromedriver is ended
                # below without the client's polled shutdown.
                self.driver.execute(Command.QUIT)
            except WebDriverException:
                pass
            self.driver = None
        self._end_driver()

    def _end_driver(self):
        process = getattr(self.service, "process", None)
        if process is None:
            return
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                pass
        # Whatever of its group is still there (helpers outliving the browser).
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except OSError:
            pass
        if process.poll() is None:
            process.wait()
        for stream in (process.stdin, process.stdout, process.stderr):
            if stream is not None:
                stream.close()
        self.service.process = None


# The "$name" variables left in the page's markup.
LEFT_VARIABLES = ("document.documentElement.outerHTML.match(/\\$[A-Za-z_]\\w*/g)?.join(' ') ?? ''")

# What the results page shows at one moment.
RESULTS_SNAPSHOT = """(() => {
  const text = (selector) => {
    const e = document.querySelector(selector);
    return e ? e.textContent.trim() : '';
  };
  return {
    loadedAt: String(performance.timeOrigin),
    path: location.pathname,
    ready: document.readyState,
    state: text('.state-message'),
    refresh: !!document.querySelector('meta[http-equiv="REFRESH" i]'),
    countdown: text('#numberCountdown')
  };
})()"""


def is_png(data):
    return len(data) > 1000 and data[:8] == b"\x89PNG\r\n\x1a\n"


class BrowserCase(unittest.TestCase):
    """A test case with checks that go on after a failure (like EXPECT in
    the C++ tests); they are reported together when the test ends. The
    class's agents and browser are set up by the subclass in setUpClass
    through make_namespace/start_agent/start_browser and go at its end."""

    @classmethod
    def setUpClass(cls):
        why = skip_reason()
        if why:
            raise unittest.SkipTest(why)
        cls.scratch = tempfile.mkdtemp(prefix="trellon-browser-scratch-")
        cls.namespaces = []
        cls.agents = []
        cls.browser = None
        cls.failed = False
        cls.addClassCleanup(cls._remove_everything)

    @classmethod
    def make_namespace(cls):
        ns = Namespace()
        cls.namespaces.append(ns)
        if not ns.ok:
            raise unittest.SkipTest("network namespaces cannot be created here: " + ns.why)
        return ns

    @classmethod
    def start_agent(cls, namespace, settings=None):
        agent = Agent(namespace, settings)
        cls.agents.append(agent)
        agent.start()
        return agent

    @classmethod
    def start_browser(cls, namespace):
        namespace.enter()
        cls.browser = Browser(cls.scratch)
        print("Browser: Chromium %s" % cls.browser.product, flush=True)
        return cls.browser

    @classmethod
    def wait_until_ready(cls, *agents):
        for agent in agents:
            if not agent.wait_ready():
                cls.failed = True
                raise AssertionError("an agent did not get ready\n" + agent.report())

    @classmethod
    def stop_agents(cls):
        """Closes the browser and stops every agent; the exit codes."""
        if cls.browser is not None:
            cls.browser.close()
        # All at once: each takes a few seconds to wind down its threads.
        for agent in cls.agents:
            agent.request_stop()
        return [agent.stop() for agent in cls.agents]

    @classmethod
    def tearDownClass(cls):
        # Each agent must stop by itself on SIGINT, and cleanly.
        codes = cls.stop_agents()
        if any(code != 0 for code in codes):
            cls.failed = True
            raise AssertionError("agents' exit codes after SIGINT: %r (0 expected)" % codes)

    @classmethod
    def _remove_everything(cls):
        # A class clean-up: it runs also when setUpClass failed half-way.
        if cls.browser is not None:
            cls.browser.close()
        if cls.failed:
            for agent in cls.agents:
                print(agent.report(), flush=True)
        for agent in cls.agents:
            agent.remove()
        for ns in cls.namespaces:
            ns.delete()
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def setUp(self):
        self.soft_failures = []

    def tearDown(self):
        outcome = getattr(self, "_outcome", None)
        result = getattr(outcome, "result", None)
        # A failed assertion of this test shows in the outcome, one of an
        # earlier test in the result: either way the agents' story is printed.
        if (self.soft_failures or getattr(outcome, "success", True) is False
                or (result is not None and not result.wasSuccessful())):
            type(self).failed = True
        if self.soft_failures:
            self.fail("\n".join(self.soft_failures) + self.context())

    def expect(self, condition, message):
        if not condition:
            # The line of the test that made the check.
            here = os.path.abspath(__file__)
            where = next((f for f in reversed(traceback.extract_stack())
                          if os.path.abspath(f.filename) != here), None)
            line = where.lineno if where else 0
            self.soft_failures.append("line %d: %s" % (line, message))
        return condition

    def expect_equal(self, actual, expected, message=""):
        return self.expect(actual == expected, "%r != %r %s" % (actual, expected, message))

    def require(self, error, context=""):
        """Fails now on a wait's error (None: it held)."""
        if error is not None:
            type(self).failed = True
            self.fail(error + context)

    def context(self):
        return "\nchromedriver log:\n" + self.browser.log() if self.browser else ""

    def choose_test(self, test_type, form, url="http://127.0.0.1:4044/", attempts=1):
        """The first page, the test chosen on it, then `next`: up to the test's
        input page, which has `form` (a selector). The first page's title and
        whether the test's button was already ticked."""
        browser = self.browser
        button = "input[name=testType][value=\"%s\"]" % test_type
        error = "no attempt"
        for _ in range(attempts):
            browser.get(url)
            error = browser.wait_for("document.readyState === 'complete' && "
                                     "!!document.querySelector('%s')" % button,
                                     10 if attempts == 1 else 2)
            if error is None:
                break
        self.require(error, self.context())
        first_page = browser.js("[document.title, document.querySelector('%s').checked]" % button)
        browser.run("document.querySelector('%s').click();"
                    "document.querySelector('input[name=next]').click();" % button)
        self.require(browser.wait_for(
            "location.pathname === '/collectTestParams' && document.readyState === 'complete' && "
            "!!document.querySelector('%s')" % form, 10), self.context())
        return first_page

    def snapshot(self):
        from selenium.common.exceptions import WebDriverException

        try:
            return self.browser.js(RESULTS_SNAPSHOT)
        except WebDriverException:
            return None  # between two loads

    def wait_for_finished_results(self, limit, report="", running=""):
        """Follows the results page through its own refreshes until it says the
        test has finished; (page loads seen, whether it was seen running: with
        a state that starts with `running`), or (0, ...) at the deadline."""
        loads = set()
        saw_running = False
        last = None
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            snapshot = self.snapshot()
            if snapshot and snapshot["path"] == "/results" and snapshot["ready"] == "complete":
                last = snapshot
                loads.add(snapshot["loadedAt"])
                if snapshot["state"] == "Test finished.":
                    self.expect(not snapshot["refresh"], "a finished page must not refresh")
                    return len(loads), saw_running
                if not snapshot["refresh"]:
                    self.expect(False, "a running test's page should refresh: %r" % snapshot)
                saw_running = saw_running or snapshot["state"].startswith(running)
            time.sleep(0.2)
        self.expect(False, "last results page: %r\n%s%s" % (last, report, self.context()))
        return 0, saw_running


def main(*cases):
    """Runs the cases in the order they are written; exits 0, 1, or 77 when skipped."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="folder with trellon and htdocs/")
    parser.add_argument("--artifacts", required=True, help="folder for the screenshots")
    args = parser.parse_args()
    Config.bin_dir = os.path.abspath(args.bin)
    Config.artifacts_dir = os.path.abspath(args.artifacts)

    # A stop from outside still runs the clean-ups.
    def stop(signum, frame):
        raise KeyboardInterrupt("signal %d" % signum)

    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop)

    suite = unittest.TestSuite()
    for case in cases:
        for name, value in vars(case).items():
            if name.startswith("test") and callable(value):
                suite.addTest(case(name))
    try:
        result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    finally:
        # After an interruption too: the runner then skips the class clean-ups.
        for case in cases:
            case.doClassCleanups()
    if not result.wasSuccessful():
        return 1
    ran = result.testsRun - len(result.skipped)
    if result.skipped and ran <= 0:
        for _, reason in result.skipped:
            print("Browser test skipped: " + reason)
        return SKIP_RETURN_CODE
    return 0 if ran > 0 else 1

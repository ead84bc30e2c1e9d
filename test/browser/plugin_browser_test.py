#!/usr/bin/env python3
"""The shipped ping plug-in as a person uses it: chosen on the first page of
the agent in host a, pointed at host b (where a second agent runs), and
followed through the results page's own refreshes to the replies.

Hosts a (10.77.1.1) and b (10.77.1.2) are network namespaces joined by a
veth pair, each with an agent on its default ports; headless Chromium runs
in a. The finished page is kept as a screenshot in <build>/test-artifacts/.
"""

import shutil
import sys
import time
import unittest

import trellon_browser as tb

ADDRESS_A = "10.77.1.1"
ADDRESS_B = "10.77.1.2"


class PingInTheBrowser(tb.BrowserCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not shutil.which("ping"):
            raise unittest.SkipTest('ping is missing (Debian package "iputils-ping"; '
                                    "scripts/install-deps test installs it)")
        a = cls.make_namespace()
        b = cls.make_namespace()
        tb.link(a, b, ADDRESS_A, ADDRESS_B)
        cls.local = cls.start_agent(a)
        cls.remote = cls.start_agent(b)
        cls.start_browser(a)
        for agent in (cls.local, cls.remote):
            if not agent.wait_ready():
                cls.failed = True
                raise AssertionError("an agent did not get ready\n" + agent.report())

    def test_ping_from_the_first_page_to_a_second_agents_host(self):
        browser = self.browser
        browser.get("http://127.0.0.1:4044/")
        self.require(browser.wait_for(
            "document.readyState === 'complete' && "
            "!!document.querySelector('input[name=testType][value=ping]')", 10), self.context())
        browser.run("document.querySelector('input[value=ping]').click();"
                    "document.querySelector('input[name=next]').click();")
        self.require(browser.wait_for(
            "location.pathname === '/collectTestParams' && document.readyState === 'complete' && "
            "!!document.querySelector('form[action=\"/run_ping\"]')", 10), self.context())
        self.expect_equal(browser.js("document.querySelector('[name=count]').value"), "4")
        browser.run("document.querySelector('[name=destination]').value = '%s';"
                    "document.querySelector('[name=count]').value = '3';"
                    "document.querySelector('input[name=run]').click();" % ADDRESS_B)

        # The redirect, then the page's own refreshes until the command has ended.
        from selenium.common.exceptions import WebDriverException

        saw_running = False
        state = ""
        deadline = time.monotonic() + 40
        while time.monotonic() < deadline:
            try:
                state = browser.js(
                    "location.pathname === '/results' && document.readyState === 'complete' ? "
                    "(document.querySelector('.state-message') || {}).textContent : ''") or ""
            except WebDriverException:
                state = ""  # between two loads
            if state == "Test finished.":
                break
            if state.startswith("Test still running."):
                saw_running = True
            time.sleep(0.2)
        self.assertEqual(state, "Test finished.", self.local.output()[:4000])
        self.expect(saw_running, "the results page should first show the running command")
        replies = browser.js("document.querySelector('#stdout').textContent")
        self.expect("PING " + ADDRESS_B in replies, replies)
        self.expect("3 packets transmitted, 3 received, 0% packet loss" in replies, replies)
        self.expect_equal(browser.js("document.title"), "Trellon - Ping")
        self.expect_equal(browser.js(
            "document.documentElement.outerHTML.match(/\\$[A-Za-z_]\\w*/g)?.join(' ') ?? ''"), "")
        self.expect_equal(browser.js("document.querySelector('.another a').textContent"),
                          "Do another test")
        self.expect(tb.is_png(browser.screenshot("browser-ping-results.png")),
                    "the results page's screenshot should be a PNG image")


if __name__ == "__main__":
    sys.exit(tb.main(PingInTheBrowser))

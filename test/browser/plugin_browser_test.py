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
        cls.wait_until_ready(cls.local, cls.remote)

    def test_ping_from_the_first_page_to_a_second_agents_host(self):
        browser = self.browser
        self.choose_test("ping", "form[action=\"/run_ping\"]")
        self.expect_equal(browser.js("document.querySelector('[name=count]').value"), "4")
        browser.run("document.querySelector('[name=destination]').value = '%s';"
                    "document.querySelector('[name=count]').value = '3';"
                    "document.querySelector('input[name=run]').click();" % ADDRESS_B)

        # The redirect, then the page's own refreshes until the command has ended.
        loads, saw_running = self.wait_for_finished_results(40, self.local.output()[:4000],
                                                            "Test still running.")
        self.assertGreater(loads, 0, "; ".join(self.soft_failures))
        self.expect(saw_running, "the results page should first show the running command")
        replies = browser.js("document.querySelector('#stdout').textContent")
        self.expect("PING " + ADDRESS_B in replies, replies)
        self.expect("3 packets transmitted, 3 received, 0% packet loss" in replies, replies)
        self.expect_equal(browser.js("document.title"), "Trellon - Ping")
        self.expect_equal(browser.js(tb.LEFT_VARIABLES), "")
        self.expect_equal(browser.js("document.querySelector('.another a').textContent"),
                          "Do another test")
        self.expect(tb.is_png(browser.screenshot("browser-ping-results.png")),
                    "the results page's screenshot should be a PNG image")


if __name__ == "__main__":
    sys.exit(tb.main(PingInTheBrowser))

#!/usr/bin/env python3
"""A person's path through the web pages, in a real browser: the first page
of a running agent, the response time test chosen, the remote computer filled
in, the form submitted, the results page followed through its own refreshes
until "Test finished.", and the figures read off the page; the cancel link of
a running test; links that try to put script into the pages.

The agent runs in a network namespace of its own on its default ports and
tests against itself over loopback; headless Chromium runs in the same
namespace. The input page, the finished and the cancelled results pages are
kept as screenshots in <build>/test-artifacts/.
"""

import re
import sys
import time

import trellon_browser as tb

AGENT = "http://127.0.0.1:4044"


class ResponseTimeInTheBrowser(tb.BrowserCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        ns = cls.make_namespace()
        # Default ports: 4044 control, 4045 sink, 4047 reflector.
        cls.agent = cls.start_agent(ns)
        cls.start_browser(ns)
        cls.wait_until_ready(cls.agent)

    def open_response_input_page(self):
        """The first page, then the response time test chosen on it, up to its input page."""
        title, checked = self.choose_test("Response Time", "form[action=response]", AGENT + "/",
                                          20)
        self.expect_equal(title, "Trellon - Choose a test")
        # A fresh agent pre-selects the response time test; so does one whose
        # last chosen test was the response time test.
        self.expect(checked is True, "the response time test should be pre-selected")

    def fill(self, fields):
        script = "".join("document.querySelector('[name=%s]').value = '%s';" % (name, value)
                         for name, value in fields)
        self.browser.run(script)

    def test_response_time_test_from_the_first_page_to_the_finished_results(self):
        browser = self.browser
        self.open_response_input_page()

        def field(name):
            return browser.js("document.querySelector('[name=%s]').value" % name)

        self.expect_equal(field("testSize"), "100")
        self.expect_equal(field("pause"), "200")
        self.expect_equal(field("repeatCount"), "10")
        self.expect_equal(field("timeLimit"), "15")
        self.expect_equal(field("refreshInterval"), "5")
        self.expect_equal(field("portNumber"), "4044")
        self.expect_equal(browser.js(
            "(() => { const s = document.querySelector('[name=diffservcodepoint]');"
            " return s.options[s.selectedIndex].text; })()"), "Off (No packet marking)")
        self.expect_equal(browser.js(tb.LEFT_VARIABLES), "")

        # The remote computer is this agent itself; refresh every 2 seconds.
        self.fill([("remoteComputer", "127.0.0.1"), ("refreshInterval", "2")])
        self.expect(tb.is_png(browser.screenshot("browser-response-input.png")),
                    "the input page's screenshot should be a PNG image")
        browser.run("document.querySelector('input[name=run]').click();")

        # From here on the browser moves by itself: the redirect to the results
        # page, then the page's own refreshes until the test has finished.
        loads, saw_running = self.wait_for_finished_results(60, self.agent.report())
        self.assertGreater(loads, 0, "; ".join(self.soft_failures))
        self.expect(saw_running, "the results page should first show the running test")
        self.expect(loads >= 2, "the browser should have refreshed the results page by itself")

        url = browser.js("location.href")
        self.expect(re.fullmatch(r"http://127\.0\.0\.1:4044/results\?id=[0-9]+&format=html", url),
                    url)
        self.expect_equal(browser.js("document.title"), "Trellon - Round Trip Response Time Test")

        # The figures: ten probes over loopback, all back, a small latency.
        final = browser.js("document.querySelector('.final').textContent")
        m = re.search(r"Network response time, or latency, is\s+([0-9.]+) milliseconds\.\s+"
                      r"Lost ([0-9.]+) percent of the packets\.", final)
        self.assertTrue(m, final)
        self.expect(float(m.group(1)) < 100.0, final)
        self.expect_equal(m.group(2), "0.0", final)
        self.expect(re.search(r"Sent UDP packets from port [0-9]+ to remote reflector on port 4047",
                              final), final)
        self.expect("cancelled" not in final, final)

        self.expect_equal(
            browser.js("String(document.querySelectorAll('#progress table tr').length)"), "11")
        self.expect_equal(browser.js("document.querySelector('#progress table tr:nth-child(2) "
                                     "td:nth-child(1)').textContent.trim()"), "10")
        self.expect_equal(browser.js("document.querySelector('#progress table tr:nth-child(2) "
                                     "td:nth-child(3)').textContent.trim()"), "10 / 10")
        self.expect(browser.js("!!document.querySelector('#chart svg polyline')") is True,
                    "the progress chart should be drawn")

        run_again = browser.js("document.querySelector('.run-again a').textContent")
        self.expect(re.fullmatch(r"Response test from .+ to 127\.0\.0\.1", run_again), run_again)
        self.expect_equal(
            browser.js("new URL(document.querySelector('.run-again a').href).pathname"),
            "/response")
        self.expect_equal(browser.js("document.querySelector('.another a').textContent"),
                          "Do another test")
        self.expect_equal(browser.js("document.querySelector('.cancel').textContent.trim()"), "")
        self.expect_equal(browser.js(tb.LEFT_VARIABLES), "")
        self.expect(tb.is_png(browser.screenshot("browser-response-results.png")),
                    "the results page's screenshot should be a PNG image")

    def test_cancel_link_stops_the_running_test(self):
        """The cancel link of a running test: the browser comes back to the
        results page, which, once the test has ended, says that the user
        cancelled it."""
        browser = self.browser
        self.open_response_input_page()
        # Slow probes, so the test is surely still running when cancelled; a
        # short limit, as the reader then waits for it.
        self.fill([("remoteComputer", "127.0.0.1"), ("pause", "2000"), ("timeLimit", "8"),
                   ("refreshInterval", "1")])
        browser.run("document.querySelector('input[name=run]').click();")
        self.require(browser.wait_for(
            "location.pathname === '/results' && document.readyState === 'complete' && "
            "!!document.querySelector('.cancel a')", 15), self.context())
        results_url = browser.js("location.href")
        browser.run("document.querySelector('.cancel a').click();")

        loads, _ = self.wait_for_finished_results(40, self.agent.report())
        self.assertGreater(loads, 0, "; ".join(self.soft_failures))
        self.expect_equal(browser.js("location.href"), results_url)
        final = browser.js("document.querySelector('.final').innerHTML")
        self.expect("<br>This test was cancelled by the user." in final, final)
        self.expect_equal(browser.js(tb.LEFT_VARIABLES), "")
        self.expect(tb.is_png(browser.screenshot("browser-response-cancelled.png")),
                    "the cancelled page's screenshot should be a PNG image")

    def test_a_link_cannot_put_script_into_the_pages(self):
        browser = self.browser
        # A link from anywhere that names a page variable in its query: once it
        # put an autofocus handler into the first page's radio button.
        attack = "autofocus+onfocus%3Dwindow.hit%3D1"
        for page in ("/?messages=x&%24responsechecked=" + attack,
                     "/responsepage?messages=x&%24dscpSelected_Off=" + attack,
                     "/response?remoteComputer=127.0.0.1&testSize=1&dscpSelected_Off=" + attack):
            browser.get(AGENT + page)
            self.require(browser.wait_for("document.readyState === 'complete'", 10), page)
            time.sleep(0.3)  # time for an autofocus handler to run, if one got in
            hit = browser.js("!!window.hit || !!document.querySelector('[onfocus]')")
            self.expect(hit is False, page)


if __name__ == "__main__":
    sys.exit(tb.main(ResponseTimeInTheBrowser))

#!/usr/bin/env python3
"""The settings page in a real browser: a page of another site that makes the
browser ask for a settings change (an image and a form sent by script, with
its full address as Referer) changes nothing, while the agent's own form,
filled in and saved, lands on the settings page again showing what was stored.

Both agents run in one network namespace with headless Chromium: the one under
test on its default ports, the "other site" on port 5044 serving the attacking
page from its document folder.
"""

import os
import sys

import trellon_browser as tb

AGENT = "http://127.0.0.1:4044"
OTHER_SITE = "http://127.0.0.1:5044"


def save_query(token, changes):
    """The settings form's query: every field as a fresh page submits it, then
    changes by name (a value of "" leaves a box unticked by leaving it out)."""
    fields = {
        "responseTimePort": "0", "bandwidthPort": "0", "streamingClientPort": "0",
        "streamingServerPort": "0", "responseTimeLimit": "60", "bandwidthTimeLimit": "60",
        "streamingTimeLimit": "60", "invisible": "ON", "userName": "admin", "password1": "",
        "password2": "", "hint": "",
    }
    fields.update(changes)
    boxes = ("invisible", "usehtdocs", "useBasicAuthentication", "useHTTPS")
    query = "/runsettingscommand?"
    for name in sorted(fields):
        if name in boxes and not fields[name]:
            continue
        query += "%s=%s&" % (name, fields[name])
    if token:
        query += "settingsToken=%s&" % token
    return query + "B1=Save+settings"


def attack_page():
    """The other site's page: the change it wants, first as an image, then as
    the settings form itself with a guessed token."""
    change = AGENT + save_query("0123456789abcdef0123456789abcdef",
                                {"userName": "mallory", "password1": "x", "password2": "x",
                                 "responseTimeLimit": "5"})
    return ('<!DOCTYPE html><html><head><meta name="referrer" content="unsafe-url"></head><body>'
            '<img src="' + change + '" onerror="document.forms[0].submit()" '
            'onload="document.forms[0].submit()">'
            '<form method="GET" action="' + AGENT + '/runsettingscommand">'
            '<input name="userName" value="mallory"><input name="password1" value="x">'
            '<input name="password2" value="x"><input name="responseTimeLimit" value="5">'
            '<input name="settingsToken" value="guess"></form></body></html>')


class SettingsInTheBrowser(tb.BrowserCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        ns = cls.make_namespace()
        cls.agent = cls.start_agent(ns)
        cls.other = cls.start_agent(ns, {"controlPort": "5044", "serverTcpPort": "0",
                                         "reflectorResponsePort": "0",
                                         "streamDestinationUdpPort": "0", "useHtdocs": "true"})
        cls.start_browser(ns)
        cls.wait_until_ready(cls.agent, cls.other)
        with open(os.path.join(cls.other.folder, "htdocs", "attack.htm"), "w") as f:
            f.write(attack_page())

    def read_settings(self):
        return tb.read_text(self.agent.settings_path)

    def test_another_site_cannot_change_the_settings_the_agents_own_form_can(self):
        browser = self.browser
        before = self.read_settings()
        error = "no attempt"
        for _ in range(20):
            browser.get(OTHER_SITE + "/attack.htm")
            error = browser.wait_for(
                "location.port === '4044' && document.readyState === 'complete'", 3)
            if error is None:
                break
        self.require(error, self.context())
        self.expect(browser.wait_for(
            "document.body.innerText.includes(\"did not come from this agent's settings page\")", 5)
            is None, browser.js("document.body.innerText"))
        self.expect_equal(browser.js("document.querySelector('[name=userName]').value"), "admin")
        self.expect_equal(self.read_settings(), before, "the other site changed the settings")

        # The agent's own page, as a person uses it.
        browser.get(AGENT + "/settings")
        self.require(browser.wait_for(
            "location.pathname === '/settings' && document.readyState === 'complete' && "
            "!!document.querySelector('[name=B1]')", 10), self.context())
        browser.run("document.querySelector('[name=userName]').value = 'owner';"
                    "document.querySelector('[name=responseTimeLimit]').value = '45';"
                    "document.querySelector('[name=invisible]').checked = false;"
                    "window.beforeTheSave = true;"
                    "document.querySelector('[name=B1]').click();")
        # A page loaded after the save (the one it was made from is marked).
        saved_page = browser.wait_for(
            "window.beforeTheSave === undefined && location.pathname === '/settings' && "
            "document.readyState === 'complete' && "
            "document.querySelector('[name=userName]')?.value === 'owner'", 10)
        self.expect(saved_page is None, "%s\n%s" % (
            saved_page, browser.js("location.href + '\\n' + document.body.innerText")))
        self.expect_equal(browser.js("document.querySelector('[name=responseTimeLimit]').value"),
                          "45")
        self.expect(browser.js("document.querySelector('[name=invisible]').checked") is False,
                    "the sample plug-in box should be unticked after the save")
        saved = self.read_settings()
        self.expect("name=owner\n" in saved, saved)
        self.expect("responseTimeLimit=45\n" in saved, saved)
        self.expect("sampleInvisible=no\n" in saved, saved)


if __name__ == "__main__":
    sys.exit(tb.main(SettingsInTheBrowser))

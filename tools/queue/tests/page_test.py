"""The review page of zelvo-queue serve in a headless browser: page_test.py QUEUE GATEWAY SOURCE-DIR [unittest args]"""
import os, socket, sys, unittest

try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions, ui
except ImportError:  # Debian's package is there for Debian's interpreter
    if os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3") and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
    webdriver = None

from queue_test import ROOT
from serve_test import ServeCase

CHROMIUM, DRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
          "base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
TEXT = "<b>Server</b> down & <script>out</script>"


def wait(d):  # the page may draw an element anew while it is looked at
    return ui.WebDriverWait(d, 10, ignored_exceptions=(StaleElementReferenceException,))


class Page(ServeCase):
    def setUp(self):  # message 1 unknown: its gateway took the request and never answered
        super().setUp()
        silent = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(silent.close)
        self.call("POST", "/v1/messages", {"to": "0171123", "text": TEXT})
        self.config(port=silent.getsockname()[1], timeout=1, extra=self.SERVE)
        self.q("run", "--once", rc=None)
        self.config(extra=self.SERVE)  # the simulator again
        self.assertEqual(self.listed(), {1: "unknown"})

    def browser(self, lang="en-US"):
        o = webdriver.ChromeOptions()
        o.binary_location = CHROMIUM
        for arg in ["--headless=new", "--disable-dev-shm-usage", f"--lang={lang}", "--window-size=1100,900"] + (
                ["--no-sandbox"] if os.geteuid() == 0 else []):
            o.add_argument(arg)
        o.add_experimental_option("prefs", {"intl.accept_languages": lang})
        o.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        d = webdriver.Chrome(service=webdriver.chrome.service.Service(DRIVER), options=o)
        self.addCleanup(d.quit)
        d.get(f"http://127.0.0.1:{self.port}/")
        return d

    def shown(self, d, css, text=""):
        def seen(d):
            found = [e for e in d.find_elements(By.CSS_SELECTOR, css) if e.is_displayed() and text in e.text]
            return found[0] if found else False
        return wait(d).until(seen, f"{css}: {text!r}")

    def sign_in(self, d, token, message=False):
        self.shown(d, "#token").send_keys(self.tok.get(token, token))
        d.find_element(By.CSS_SELECTOR, "#signin button").click()
        if message:  # the unknown one's details and attempts
            self.shown(d, '#list tr[data-id="1"] button').click()
            return self.shown(d, "#detail .history tbody tr")

    def errors(self, d, *expected):  # but the refusals expected
        ignored = [f"status of {status} " for status in expected]
        return [e["message"] for e in d.get_log("browser")
                if e["level"] == "SEVERE" and not any(i in e["message"] for i in ignored)]

    def confirm(self, d, button, accept=True):
        self.shown(d, f"#detail button.{button}").click()
        alert = wait(d).until(expected_conditions.alert_is_present(), "the confirmation")
        text, _ = alert.text, alert.accept() if accept else alert.dismiss()
        return text

    def test_files_and_their_headers(self):
        for method, path, status in [("GET", "/", 200), ("GET", "/app.js", 200), ("HEAD", "/style.css", 200),
                                     ("GET", "/index.html", 404), ("POST", "/", 405), ("PUT", "/app.js", 405)]:
            got, _, r = self.call(method, path, token=None)
            self.assertEqual((got, r.getheader("Content-Security-Policy"), r.getheader("X-Frame-Options")),
                             (status, *((POLICY, "DENY") if status == 200 else (None, None))), f"{method} {path}")

    def test_sign_in_refused_in_the_browsers_language(self):
        for lang, code, label, token, status, said in [
                ("de-DE", "de", "Anmelden", "zq_" + "0" * 64, 401, "Der Token ist nicht gültig."),
                ("en-GB", "en", "Sign in", "bob", 403, "may only submit messages, not read the queue")]:
            with self.subTest(lang=lang, status=status):
                d = self.browser(lang)
                self.assertEqual((self.shown(d, "#signin button").text,
                                  d.find_element(By.TAG_NAME, "html").get_attribute("lang")), (label, code))
                self.sign_in(d, token)
                self.shown(d, "#notice.error", said)
                kept = self.shown(d, "#token").get_attribute("value"), d.execute_script("return sessionStorage.length")
                self.assertEqual((*kept, self.errors(d, status)), ("", 0, []))

    def test_a_read_token_reads_but_may_not_decide(self):
        for i in range(101):
            self.call("POST", "/v1/messages", {"to": "0171123", "text": f"q{i}"})
        d = self.browser()
        attempt = self.sign_in(d, "carol", message=True)
        self.assertEqual({b.get_attribute("data-state"): int(b.find_element(By.CLASS_NAME, "count").text)
                          for b in d.find_elements(By.CSS_SELECTOR, "#counts button")}, self.stats())
        error = self.call("GET", "/v1/messages/1", token="carol")[1]["history"][0]["error"]
        self.assertEqual([c.text for c in attempt.find_elements(By.TAG_NAME, "td")][4:], ["unknown", "—", error])
        self.assertEqual((d.find_element(By.CSS_SELECTOR, "#detail dd.text").text,  # as text, not as markup
                          d.find_elements(By.CSS_SELECTOR, "#detail b, #detail script")), (TEXT, []))
        self.assertIn("twice", self.confirm(d, "retry"))
        self.shown(d, "#notice.error", "needs an admin token")
        rows = lambda: d.execute_script(  # at once: the list may be drawn anew meanwhile
            "return [...document.querySelectorAll('#list tbody tr')].map(r => r.dataset.id)")
        d.find_element(By.CSS_SELECTOR, '#counts button[data-state="queued"]').click()
        wait(d).until(lambda d: rows() == [str(i) for i in range(2, 102)], "the first 100 queued")
        self.shown(d, "#more").click()  # the 101st on the next page, the last
        wait(d).until(lambda d: rows()[100:] == ["102"] and not d.find_element(By.ID, "more")
                                      .is_displayed(), "the 101st")
        d.refresh()  # still signed in in this tab
        self.shown(d, "#signout").click()
        self.shown(d, "#signin")
        self.assertEqual((d.execute_script("return sessionStorage.length"), self.errors(d, 403)), (0, []))

    def test_an_admin_retries_an_unknown_message_once(self):
        d = self.browser()
        self.sign_in(d, "alice", message=True)
        if os.environ.get("ZELVO_SCREENSHOT") == "1":
            os.makedirs(docs := os.path.join(ROOT, "docs"), exist_ok=True)
            d.save_screenshot(os.path.join(docs, "review-page.png"))
        self.assertIn("may already have been delivered", self.confirm(d, "retry", accept=False))
        self.assertEqual(self.listed()[1], "unknown")
        self.assertIn("may already have been delivered", self.confirm(d, "retry"))
        self.shown(d, "#notice.ok", "Message 1 is queued again.")
        self.shown(d, "#detail dd.state", "queued")
        self.assertEqual((self.listed()[1], d.find_elements(By.CSS_SELECTOR, "#detail button.retry")), ("queued", []))
        self.q("run", "--once")
        self.assertEqual((self.sent().count(TEXT), self.errors(d)), (1, []))


if __name__ == "__main__":
    missing = [name for name, there in [("python3-selenium", webdriver), ("chromium", os.path.exists(CHROMIUM)),
                                        ("chromium-driver", os.path.exists(DRIVER))] if not there]
    if missing:
        print(f"SKIP: no {', '.join(missing)} for the browser tests")
        sys.exit(0)
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)

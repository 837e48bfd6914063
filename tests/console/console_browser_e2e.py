"""The console in a real headless Chromium driven by Selenium, against the real programs and a
fleet of three printers: the operator's way through the page, from seeing the printers to a
canceled job, with the browser's console log free of errors. Saves the screenshot of the main
view the README shows.

  /usr/bin/python3 console_browser_e2e.py --suite EXE --dsm EXE --console EXE --screenshot PNG

Debian's Selenium imports only under Debian's own Python (/usr/bin/python3). Without Selenium,
Chromium or chromedriver the test is skipped with the reason.
"""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import system as e2e  # noqa: E402

ARGS, REST = e2e.arguments(sys.argv[1:])
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException, WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
except ImportError as e:  # pragma: no cover - depends on the machine
    webdriver = None
    IMPORT_ERROR = str(e)


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--no-first-run", "--disable-default-apps",
                 "--disable-extensions", "--hide-scrollbars", f"--user-data-dir={profile}",
                 "--window-size=1280,800", "--lang=en-US"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)


class ConsolePage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if webdriver is None:
            e2e.skip(f"Selenium does not import here ({IMPORT_ERROR}); run with /usr/bin/python3")
        for program in (CHROMIUM, CHROMEDRIVER):
            if not os.access(program, os.X_OK):
                e2e.skip(f"{program} is not installed (apt-get install chromium chromium-driver)")
        cls.s = e2e.System(ARGS.get("suite"), ARGS.get("dsm"), ARGS.get("console"),
                           ARGS.get("net", "14")).start()
        cls.profile = tempfile.mkdtemp(prefix="console-chromium-")
        try:
            cls.driver = browser(cls.profile)
        except WebDriverException as e:
            cls.s.stop()
            e2e.skip(f"Chromium does not start: {e.msg}")
        cls.driver.set_page_load_timeout(30)
        cls.viewport(1280, 800)

    @classmethod
    def viewport(cls, width, height):
        """Sizes the window so that the page itself gets width x height."""
        d = cls.driver
        d.set_window_size(width, height)
        inner = d.execute_script("return [window.innerWidth, window.innerHeight]")
        d.set_window_size(2 * width - inner[0], 2 * height - inner[1])

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.s.stop()
        shutil.rmtree(cls.profile, ignore_errors=True)

    # --- Helpers -------------------------------------------------------------------------------

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def wait(self, what, check, limit=60.0):
        return e2e.wait_until(what, check, limit, pause=0.1)

    def texts(self, css):
        """The texts of every element `css` selects, read at one moment: the page redraws a
        printer's card whenever its files arrive."""
        return self.js("return [...document.querySelectorAll(arguments[0])]"
                       ".map(e => e.textContent.trim())", css)

    def click(self, css):
        """A real click on the element, found again if the page redrew it meanwhile."""
        for _ in range(20):
            try:
                self.driver.find_element(By.CSS_SELECTOR, css).click()
                return
            except StaleElementReferenceException:
                continue
        raise AssertionError(f"{css} kept being redrawn")

    def files_on(self, device_id):
        return self.texts(f"#device-{device_id} td.name")

    def tick_printers(self, wanted):
        for d in (1, 2, 3):
            box = f"#device-{d} .device-head input[type=checkbox]"
            if self.js("return document.querySelector(arguments[0]).checked", box) != (d in wanted):
                self.click(box)

    def operation_rows(self):
        return self.js("""return [...document.querySelectorAll('#ops-rows tr[id]')].map(r => ({
            id: Number(r.id.slice(3)), status: r.dataset.status,
            progress: r.querySelector('progress').value}));""")

    def new_rows(self, seen, count):
        def fresh():
            rows = [r for r in self.operation_rows() if r["id"] not in seen]
            return rows if len(rows) >= count else None
        return self.wait(f"{count} new operations", fresh)

    def open_page(self):
        # A fresh load each time: going from the page to its address with the token would only
        # move to the fragment.
        self.driver.get("about:blank")
        self.driver.get(self.s.page)
        self.wait("three printers", lambda: len(
            self.driver.find_elements(By.CSS_SELECTOR, "article.device")) == 3)

    def errors_in_console(self):
        return [entry for entry in self.driver.get_log("browser") if entry["level"] == "SEVERE"]

    # --- The operator's way through the page ---------------------------------------------------

    def test_from_upload_to_two_printers_to_a_canceled_job(self):
        d = self.driver
        self.open_page()
        self.assertNotIn("token", d.current_url, "the token leaves the address bar")
        names = self.texts(".device-name")
        self.assertEqual(names, e2e.System.NAMES)
        self.wait("the first printer's files", lambda: "Courier" in self.files_on(1))

        # Upload a PostScript font through the page's file chooser (the drop zone's button).
        font = os.path.join(self.s.dir, "Garamond.pfa")
        with open(font, "wb") as f:
            f.write(e2e.font("Garamond"))
        d.find_element(By.ID, "file-input").send_keys(font)
        self.wait("the font in the store", lambda: "Garamond.pfa" in self.texts("#store-rows td.name"))
        self.assertIn("PostScript font", self.texts("#store-rows td"))

        # Send it to two printers and watch both jobs reach 100%.
        seen = {r["id"] for r in self.operation_rows()}
        self.tick_printers({1, 2})
        self.click("#send-stored")
        rows = self.new_rows(seen, 2)
        ids = [r["id"] for r in rows]
        self.wait("both jobs at 100%", lambda: all(
            r["status"] == "COMPLETED" and r["progress"] == 100
            for r in self.operation_rows() if r["id"] in ids))
        # A printer keeps a PostScript font under the font's own name.
        for device in (1, 2):
            self.wait(f"the font on printer {device}", lambda: "Garamond" in self.files_on(device))
        self.assertNotIn("Garamond", self.files_on(3))

        # The details of a job name each file's result in words, with the code beside them.
        self.click(f"#op-{ids[0]} button")
        self.wait("the details", lambda: d.find_element(By.ID, "details").is_displayed())
        self.assertIn("stored on the printer (completed)", self.texts("#details-rows td"))

        # A silent printer takes the font and never confirms: its job is canceled from the page.
        self.s.fault(3, "silent")
        try:
            seen = {r["id"] for r in self.operation_rows()}
            self.tick_printers({3})
            self.click("#send-stored")
            job = self.new_rows(seen, 1)[0]["id"]
            self.wait("the job under way", lambda: any(
                r["id"] == job and r["progress"] > 0 for r in self.operation_rows()))
            self.click(f"#op-{job} button[aria-label='Cancel operation {job}']")
            self.wait("the job canceled", lambda: any(
                r["id"] == job and r["status"] == "CANCELED" for r in self.operation_rows()))
        finally:
            self.s.fault(3, "none")

        self.click("#close-details")
        self.js("window.scrollTo(0, 0)")
        shot = ARGS.get("screenshot")
        if shot:
            os.makedirs(os.path.dirname(shot), exist_ok=True)
            self.assertTrue(d.save_screenshot(shot))

        self.assertEqual(self.errors_in_console(), [])

    def test_a_narrow_window_and_the_keyboard_reach_everything(self):
        d = self.driver
        self.open_page()
        try:
            self.viewport(400, 800)
            self.wait("the narrow layout", lambda: self.js("return window.innerWidth") <= 400)
            overflow = self.js("return document.documentElement.scrollWidth - window.innerWidth")
            self.assertLessEqual(overflow, 0, "nothing sticks out sideways on a narrow window")
        finally:
            self.viewport(1280, 800)

        # From the top of the page, Tab reaches the store's send button and the operations pager.
        d.find_element(By.TAG_NAME, "body").click()
        reached = set()
        for _ in range(300):
            ActionChains(d).send_keys(Keys.TAB).perform()
            reached.add(self.js("return document.activeElement.id || document.activeElement.getAttribute('aria-label') || ''"))
            if {"send-stored", "clear-ops"} <= reached:
                break
        self.assertIn("send-stored", reached)
        self.assertIn("clear-ops", reached)
        self.assertIn("Use Warehouse as a destination", reached)
        self.assertEqual(self.errors_in_console(), [])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + REST)

"""The web interface in a real browser: headless Chromium with its proxy set
to the daemon logs in, opens the statistics, adds an access rule through the
form, finds it in "/xml", saves the configuration, and after a restart of
the daemon with the saved file finds the rule still there. A screenshot of
every step is kept in the build tree (test-artifacts/browser).
"""
import os
import shutil
import sys
import tempfile
import unittest

from harness import BINARY, CONFIG_XML, Proxy, main, wait_for

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
HOST = "korvantel.invalid"

# Debian's python3-selenium lives with the system interpreter's packages; a
# python3 of another installation finds it there.
DEBIAN_PACKAGES = "/usr/lib/python3/dist-packages"
try:
    import selenium  # noqa: F401
except ImportError:
    if os.path.isdir(DEBIAN_PACKAGES):
        sys.path.append(DEBIAN_PACKAGES)
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    HAVE_SELENIUM = True
except ImportError:
    HAVE_SELENIUM = False

ARTIFACTS = os.path.join(os.path.dirname(os.path.abspath(BINARY)), "test-artifacts", "browser")


def login_config():
    with open(CONFIG_XML) as f:
        lan, text = f.read().split("<comment>This machine</comment>", 1)
    text = text.replace("<interfaceuser></interfaceuser>", "<interfaceuser>admin</interfaceuser>", 1)
    return lan + "<comment>This machine</comment>" + text.replace(
        "<interfacepassword></interfacepassword>", "<interfacepassword>s3cret</interfacepassword>", 1)


@unittest.skipUnless(HAVE_SELENIUM and os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER),
                     "chromium, chromium-driver and python3-selenium are needed (scripts/setup.sh test peers)")
class Browser(unittest.TestCase):
    def setUp(self):
        os.makedirs(ARTIFACTS, exist_ok=True)
        self.profile = tempfile.mkdtemp(prefix="korvantel-chromium-")
        self.addCleanup(shutil.rmtree, self.profile, True)
        self.step = 0

    def browser(self, port):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1280,1600",
                     "--user-data-dir=%s" % self.profile,
                     "--proxy-server=http://127.0.0.1:%d" % port,
                     "--proxy-bypass-list=<-loopback>"):
            options.add_argument(flag)
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        driver.set_page_load_timeout(30)
        return driver

    def shot(self, driver, name):
        self.step += 1
        driver.save_screenshot(os.path.join(ARTIFACTS, "%02d-%s.png" % (self.step, name)))

    def open(self, driver, path):
        driver.get("http://%s%s" % (HOST, path))

    def login(self, driver):
        self.open(driver, "/stats")
        self.assertIn("Web interface login", driver.page_source)
        self.shot(driver, "login-form")
        driver.find_element(By.NAME, "username").send_keys("admin")
        driver.find_element(By.NAME, "password").send_keys("s3cret")
        driver.find_element(By.CSS_SELECTOR, "input[type=submit]").click()
        self.assertTrue(wait_for(lambda: "Top Menu" in driver.page_source, 15))

    def access_section(self, driver):
        """Through the menu and the section form, as a user gets there."""
        driver.find_element(By.LINK_TEXT, "Config").click()
        self.assertTrue(wait_for(lambda: "Select a Section to Configure" in driver.page_source, 15))
        driver.find_element(By.CSS_SELECTOR, "select[name=section] option[value=access]").click()
        driver.find_elements(By.CSS_SELECTOR, "input[type=submit]")[0].click()
        self.assertTrue(wait_for(lambda: "access section" in driver.page_source, 15))

    def test_login_add_rule_save_and_restart(self):
        saved = os.path.join(self.profile, "saved.xml")
        p = Proxy(config=login_config()).start()
        try:
            driver = self.browser(p.port)
            try:
                self.login(driver)
                self.shot(driver, "logged-in")

                driver.find_element(By.LINK_TEXT, "Statistics").click()
                self.assertTrue(wait_for(lambda: "HTTP requests" in driver.page_source, 15))
                self.shot(driver, "statistics")

                self.access_section(driver)
                self.shot(driver, "access-section")

                driver.find_element(By.CSS_SELECTOR, "a[href*='subsection=allow'][href*='dialog=show']").click()
                self.assertTrue(wait_for(lambda: 'value="add"' in driver.page_source, 15))
                driver.find_element(By.NAME, "F1").send_keys("Browser rule")
                driver.find_element(By.NAME, "F5").send_keys("10.9.9.9")
                driver.find_element(By.NAME, "F9_proxy").click()
                self.shot(driver, "new-rule-form")
                driver.find_elements(By.CSS_SELECTOR, "input[type=submit]")[-1].click()
                self.assertTrue(wait_for(lambda: "Browser rule" in driver.page_source, 15))
                self.shot(driver, "rule-added")

                self.open(driver, "/xml")
                self.assertTrue(wait_for(lambda: "Browser rule" in driver.page_source, 15))
                self.assertIn("10.9.9.9", driver.page_source)
                self.shot(driver, "xml-export")

                self.open(driver, "/save")
                field = driver.find_element(By.NAME, "filename")
                self.assertEqual(field.get_attribute("value"), p.config_path)
                field.clear()
                field.send_keys(saved)
                driver.find_elements(By.CSS_SELECTOR, "input[type=submit]")[-1].click()
                self.assertTrue(wait_for(lambda: "File saved" in driver.page_source, 15))
                self.shot(driver, "saved")

                # The daemon starts again from the saved file, on the same
                # port so the browser keeps its proxy.
                p.stop()
                with open(saved) as f:
                    config = f.read()
                self.assertIn("Browser rule", config)
                again = Proxy(config=config)
                again.port = p.port
                shutil.rmtree(p.dir, ignore_errors=True)
                p = again.start()

                self.open(driver, "/stats")
                if "Web interface login" in driver.page_source:
                    self.login(driver)
                self.access_section(driver)
                self.assertTrue(wait_for(lambda: "Browser rule" in driver.page_source, 15))
                self.assertIn("10.9.9.9", driver.page_source)
                self.shot(driver, "after-restart")
            finally:
                driver.quit()
        finally:
            p.stop()
            shutil.rmtree(p.dir, ignore_errors=True)


if __name__ == "__main__":
    main()

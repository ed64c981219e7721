#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The Printer Application's web interface in headless chromium (WebDriver).

    web_check.py BASE_URL PRINTER NEW_PRINTER DRIVER HOST [LOGIN]

Checks that the page of PRINTER shows its state and its supplies, adds
NEW_PRINTER (DRIVER, a network printer at HOST) through the Add Printer form
and prints its test page with the button on its page, logged in as LOGIN
(USER:PASSWORD). With LOGIN "-" it checks instead that the Add Printer form
and the log stay closed without a login. Prints one line per step; exits 1
at the first step that fails.
"""
import sys
import tempfile

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

# A browser that stays on loopback: no sync, updates, first-run pages or
# background requests; a new empty profile.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def fail(step, driver):
    print(f"FAIL {step}: {driver.current_url}\n{driver.page_source[:3000]}")
    sys.exit(1)


def new_page_says(text):
    """A wait condition: the page that replaced the one marked data-mtest-old
    is loaded and shows text. No element is held across the change: while
    the browser replaces the page, a command on the page that goes fails
    (stale element, node not in the document, context destroyed), and the
    wait takes that for "not yet"."""
    script = ("return !document.documentElement.hasAttribute('data-mtest-old') && "
              "document.readyState == 'complete' && document.body.innerText.includes(arguments[0])")
    return lambda driver: driver.execute_script(script, text)


def main():
    base, printer, new_printer, driver_name, host = sys.argv[1:6]
    login = sys.argv[6] if len(sys.argv) > 6 else None
    if login and login != "-":
        base = base.replace("://", f"://{login}@", 1)
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in FLAGS:
        options.add_argument(flag)
    with tempfile.TemporaryDirectory() as profile:
        options.add_argument("--user-data-dir=" + profile)
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        try:
            driver.set_page_load_timeout(60)
            body = lambda: driver.find_element(By.TAG_NAME, "body").text

            if login == "-":
                driver.get(f"{base}/{printer}/")
                if "Idle" not in body():
                    fail("the printer's page without a login", driver)
                for page in ("addprinter", "logfile.txt"):
                    driver.get(f"{base}/{page}")
                    if driver.find_elements(By.NAME, "printer_name") or "Starting log" in body():
                        fail(f"{page} without a login", driver)
                print("ok closed without a login")
                return

            driver.get(f"{base}/{printer}/")
            if "Idle" not in body() or "toner-low" not in body().lower().replace(" ", "-"):
                fail("state on the printer's page", driver)
            print("ok state")
            driver.get(f"{base}/{printer}/supplies")
            if "Black Toner" not in body():
                fail("supplies", driver)
            print("ok supplies")

            driver.get(f"{base}/addprinter")
            if not driver.find_elements(By.NAME, "printer_name"):
                fail("the Add Printer form", driver)
            form = driver.find_element(By.NAME, "printer_name").find_element(By.XPATH, "./ancestor::form")
            form.find_element(By.NAME, "printer_name").send_keys(new_printer)
            Select(form.find_element(By.NAME, "device_uri")).select_by_value("socket")
            form.find_element(By.NAME, "hostname").send_keys(host)
            Select(form.find_element(By.NAME, "driver_name")).select_by_value(driver_name)
            form.find_element(By.CSS_SELECTOR, "input[type=submit]").click()
            WebDriverWait(driver, 30).until(lambda d: f"/{new_printer}" in d.current_url)
            print("ok added")

            driver.get(f"{base}/{new_printer}/")
            driver.execute_script("document.documentElement.setAttribute('data-mtest-old', '')")
            driver.find_element(By.CSS_SELECTOR, "input[value='Print Test Page']").click()
            WebDriverWait(driver, 30, ignored_exceptions=[WebDriverException]).until(
                new_page_says("Test page printed."))
            print("ok test page")
        finally:
            driver.quit()


if __name__ == "__main__":
    main()

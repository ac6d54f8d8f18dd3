#!/usr/bin/python3
"""The management console in a real browser (headless Chromium through
chromedriver): vxmgmtd serve --http over a store prepared with a handful of
agents and rows. The fleet table lists them with their state and marks the
drifted one; the events chart draws for a range with rows; a rule added in the
policy editor reaches the store; a vendor text that is markup shows as text
and runs nothing. Screenshots of the fleet table and the events view are
saved in the output directory.

  console_browser_test.py VXMGMTD CONSOLE_FIXTURE OUTPUT_DIR
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as ready
from selenium.webdriver.support.ui import WebDriverWait

MARKUP = "<img src=x onerror=alert(1)>"
AGENT_LAB_07 = "c0000000000000000000000000000002"


def texts(driver, selector):
    """The text of every element the selector finds, read in one step (the page refreshes itself)."""
    return driver.execute_script(
        "return [...document.querySelectorAll(arguments[0])].map((e) => e.textContent);", selector)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def main():
    vxmgmtd, fixture, out_dir = sys.argv[1:4]
    os.makedirs(out_dir, exist_ok=True)
    work = tempfile.mkdtemp(prefix="console-browser-")
    db = os.path.join(work, "vxmgmtd.db")
    token = subprocess.run([fixture, db], check=True, capture_output=True, text=True).stdout.strip()
    port = free_port()
    serve = subprocess.Popen([vxmgmtd, "serve", "--listen", "127.0.0.1:0", "--http", f"127.0.0.1:{port}", "--db", db],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,900", f"--user-data-dir={work}/chromium"):
        options.add_argument(argument)
    driver = None
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        from selenium.webdriver.chrome.service import Service
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        wait = WebDriverWait(driver, 15)
        driver.get(f"http://127.0.0.1:{port}/")

        # Sign in with the keyboard: the token field has the focus.
        wait.until(ready.visibility_of_element_located((By.ID, "token")))
        active = driver.switch_to.active_element
        check(active.get_attribute("id") == "token", "the token field has the focus")
        active.send_keys(token + Keys.ENTER)

        # The fleet table lists every agent with its state; the drifted one is marked.
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#fleet-table tbody tr")) == 4)
        rows = {r.find_element(By.CSS_SELECTOR, "td a").text: r
                for r in driver.find_elements(By.CSS_SELECTOR, "#fleet-table tbody tr")}
        check(set(rows) == {"ACCOUNTS-PC", "LAB-07", "RECEPTION", "WAREHOUSE-2"}, f"agents listed: {set(rows)}")
        check("drifted" in rows["LAB-07"].get_attribute("class"), "the drifted agent's row is marked")
        check("drifted" in rows["LAB-07"].text, "the drifted agent says so")
        check("in force" in rows["ACCOUNTS-PC"].text, "an agent in line says so")
        check("pending" in rows["RECEPTION"].text and "40" in rows["RECEPTION"].text, "pending, with its backlog")
        check("not reported" in rows["WAREHOUSE-2"].text, "an agent without a digest says so")
        check("drifted" not in (rows["ACCOUNTS-PC"].get_attribute("class") or ""), "only the drifted row is marked")
        driver.save_screenshot(os.path.join(out_dir, "console-fleet.png"))

        # The events view: the chart draws bars for the default range (the last day), and the
        # markup vendor text shows as text.
        driver.find_element(By.ID, "nav-events").click()
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#events-chart rect.bar")) > 0)
        bars = driver.find_elements(By.CSS_SELECTOR, "#events-chart rect.bar")
        check(any(float(b.get_attribute("height")) > 0 for b in bars), "the chart's bars have height")
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#events-table tbody tr")) > 0)
        # The markup row is the oldest of its agent; ask for that agent alone.
        driver.execute_script("document.getElementById('events-agent').value = arguments[0];",
                              AGENT_LAB_07)
        driver.find_element(By.CSS_SELECTOR, "#events-form button[type=submit]").click()
        wait.until(lambda d: MARKUP in texts(d, "#events-table td"))
        check(not driver.find_elements(By.CSS_SELECTOR, "#events-table img, img"), "no img element was made")
        try:
            driver.switch_to.alert
            raise AssertionError("an alert ran")
        except NoAlertPresentException:
            pass
        driver.execute_script("document.getElementById('events-agent').value = '';")
        driver.find_element(By.CSS_SELECTOR, "#events-form button[type=submit]").click()
        time.sleep(0.5)
        driver.save_screenshot(os.path.join(out_dir, "console-events.png"))

        # The agent's page also shows the markup as text.
        driver.get(f"http://127.0.0.1:{port}/#agent/{AGENT_LAB_07}")
        wait.until(lambda d: MARKUP in texts(d, "#agent-events td"))
        check(not driver.find_elements(By.TAG_NAME, "img"), "no img element on the agent's page")

        # The policy editor: add a rule and save; it reaches the store.
        driver.find_element(By.ID, "nav-policy").click()
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#policy-rules input.rule")) == 1)
        driver.find_element(By.ID, "rule-add").click()
        new_rule = driver.switch_to.active_element
        check(new_rule.get_attribute("class") == "rule", "the new rule's field has the focus")
        new_rule.send_keys("deny vendor Acme")
        driver.find_element(By.CSS_SELECTOR, "#policy-form button[type=submit]").click()
        wait.until(lambda d: any("not an action" in t for t in texts(d, "#policy-rules li:nth-child(2) .error")))
        new_rule = driver.find_elements(By.CSS_SELECTOR, "#policy-rules input.rule")[1]
        new_rule.clear()
        new_rule.send_keys("block vendor Acme")
        # Rules are ordered: the new block rule goes first.
        driver.execute_script("const list = document.getElementById('policy-rules');"
                              "list.prepend(list.children[1]);")
        driver.find_element(By.CSS_SELECTOR, "#policy-form button[type=submit]").click()
        wait.until(lambda d: "Saved" in d.find_element(By.ID, "policy-message").text)
        shown = json.loads(subprocess.run([vxmgmtd, "policy", "show", "--json", "--db", db], check=True,
                                          capture_output=True, text=True).stdout)
        rules = [r["rule"] for r in shown["policy"]["rules"]]
        check(rules == ["block vendor Acme", "allow"], f"the store holds the edited rules: {rules}")

        # A phone's width still shows the fleet table.
        driver.set_window_size(390, 844)
        driver.get(f"http://127.0.0.1:{port}/#fleet")
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#fleet-table tbody tr")) == 4)
        print("console browser test: passed")
        return 0
    finally:
        if driver is not None:
            driver.quit()
        serve.terminate()
        serve.wait(timeout=10)


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The operator's page in a real browser: headless Chromium driven through
Selenium against the built executable, as an operator would use it.

It starts the server headless with --web on a port of the system's choosing,
opens the page's address from the start-up log, and checks that without the
token nothing but a refusal is seen; with it, that a protocol client's row
appears, that rows are selected by click, Ctrl+click and the keyboard exactly
as the core then reports them, that Close ends the client's connection, and
that a song added to the folder is counted after Reload.

Usage: browser_page.py PATH-TO-vorlune-server
Exit status 77 (skipped) where Chromium, its driver or Selenium is missing.
"""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None

TIMEOUT = 15


def chromium_flags(profile):
    return ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-dev-shm-usage", "--window-size=1200,900", "--user-data-dir=" + profile]


class Server:
    """The executable with its log read from standard output."""

    def __init__(self, exe, folder, music):
        ini = os.path.join(folder, "vorlune.ini")
        with open(ini, "wb") as f:
            f.write(("127.0.0.1\r\n0\r\n" + music + "\r\n").encode())
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        env.pop("JOURNAL_STREAM", None)
        self.lines = []
        self.proc = subprocess.Popen([exe, "--headless", "--settings", ini, "--web", "127.0.0.1:0"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.append(raw.decode(errors="replace").rstrip("\n"))

    def wait_for(self, pattern):
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            for line in list(self.lines):
                m = re.search(pattern, line)
                if m:
                    return m
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError("no log line matching %r; log:\n%s" % (pattern, "\n".join(self.lines)))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()


def api_state(base, token):
    request = urllib.request.Request(base + "api/state")
    if token is not None:
        request.add_header("X-Vorlune-Token", token)
    with urllib.request.urlopen(request, timeout=TIMEOUT) as response:
        return json.load(response)


def refused(base, token):
    """True when the state is refused with 401 and nothing of it is sent."""
    try:
        api_state(base, token)
    except urllib.error.HTTPError as e:
        body = e.read().decode(errors="replace")
        return e.code == 401 and "Listening" not in body and "rows" not in body
    return False


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    if not (CHROMIUM and DRIVER and webdriver):
        print("SKIPPED: chromium, chromedriver or python3-selenium is not installed")
        return 77

    with tempfile.TemporaryDirectory(prefix="vorlune-browser-") as folder:
        music = os.path.join(folder, "music")
        os.makedirs(music)
        with open(os.path.join(music, "one.mp3"), "wb") as f:
            f.write(b"\xff\xfb" * 1000)
        server = Server(os.path.abspath(sys.argv[1]), folder, music)
        driver = None
        try:
            music_port = int(server.wait_for(r"Listening on 127\.0\.0\.1 - (\d+)$").group(1))
            address = server.wait_for(r"Operator page: (http://\S+)$").group(1)
            base, token = address.split("#", 1)
            assert re.fullmatch(r"[A-Za-z0-9_-]{43}", token), address

            # Without the token, or with a wrong one, the state is refused.
            assert refused(base, None) and refused(base, token[:-1] + ("A" if token[-1] != "A" else "B"))

            options = webdriver.ChromeOptions()
            options.binary_location = CHROMIUM
            for flag in chromium_flags(os.path.join(folder, "profile")):
                options.add_argument(flag)
            driver = webdriver.Chrome(service=Service(DRIVER), options=options)
            wait = WebDriverWait(driver, TIMEOUT)
            by_id = lambda name: driver.find_element(By.ID, name)

            # The page without the token shows a refusal and nothing else.
            driver.get(base)
            wait.until(lambda d: by_id("refused").is_displayed())
            time.sleep(0.3)
            assert not by_id("app").is_displayed() and "Listening" not in driver.page_source

            # With it, the server's state.
            driver.get(address)
            wait.until(lambda d: by_id("app").is_displayed() and by_id("songs").text == "1 song offered")
            assert by_id("listenText").text.startswith("Listening on 127.0.0.1, port %d" % music_port)

            def row(line):
                return driver.find_element(By.CSS_SELECTOR, 'tr[data-line="%d"]' % line)

            def selected_in_core():
                return {r["line"] for r in api_state(base, token)["rows"] if r["selected"]}

            client = socket.create_connection(("127.0.0.1", music_port), timeout=TIMEOUT)
            wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#rows tr")) == 2)
            client_line = int(driver.find_elements(By.CSS_SELECTOR, "#rows tr")[1].get_attribute("data-line"))
            assert row(client_line).find_elements(By.TAG_NAME, "td")[3].text == "In"

            # A click selects its row alone; Ctrl+click adds one; Space on a
            # focused row selects it alone. The core's selection follows.
            row(0).click()
            wait.until(lambda d: selected_in_core() == {0})
            ActionChains(driver).key_down(Keys.CONTROL).click(row(client_line)).key_up(Keys.CONTROL).perform()
            wait.until(lambda d: selected_in_core() == {0, client_line})
            row(client_line).send_keys(Keys.SPACE)
            wait.until(lambda d: selected_in_core() == {client_line})
            wait.until(lambda d: row(0).get_attribute("aria-selected") == "false"
                       and row(client_line).get_attribute("aria-selected") == "true")

            # Close ends the selected client's connection.
            by_id("close").click()
            assert client.recv(1) == b"", "the client's connection did not end"
            client.close()
            wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#rows tr")) == 1)

            # A field being typed in is not overwritten by the page's polling;
            # Reload sends it first. A song added to the folder is then offered.
            with open(os.path.join(music, "two.mp3"), "wb") as f:
                f.write(b"\xff\xfb" * 1000)
            # The server's field changes meanwhile, and a new client's row shows
            # that the page has polled since.
            folder_field = by_id("musicFolder")
            folder_field.send_keys(Keys.CONTROL, "a")
            folder_field.send_keys(music + "/")
            post = urllib.request.Request(base + "api/field", method="POST",
                                          data=json.dumps({"field": "musicFolder", "text": "/elsewhere"}).encode(),
                                          headers={"X-Vorlune-Token": token, "Content-Type": "application/json"})
            assert urllib.request.urlopen(post, timeout=TIMEOUT).status == 202
            wait.until(lambda d: api_state(base, token)["fields"]["musicFolder"] == "/elsewhere")
            second = socket.create_connection(("127.0.0.1", music_port), timeout=TIMEOUT)
            wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#rows tr")) == 2)
            assert folder_field.get_attribute("value") == music + "/", (folder_field.get_attribute("value"), driver.execute_script("return document.activeElement.id"))
            second.close()
            by_id("reload").click()
            wait.until(lambda d: by_id("songs").text == "2 songs offered")
            assert api_state(base, token)["fields"]["musicFolder"] == music + "/"
            print("browser test passed")
            return 0
        finally:
            if driver:
                driver.quit()
            server.stop()


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The console in a real browser: headless Chromium driven by Selenium against a
real corvel95.

Usage: web_browser_test.py HTTP_PORT SMTP_PORT HOME PASSWORD CORVELREG SHOTS_DIR
The console is served over HTTPS (the server's TLS certificate, self-signed).
Logs in, sees a message sent by SMTP appear in the live log, deletes a message
waiting in the retry queue, adds a user and delivers to it, changes a
configuration value and reads it back with corvelreg, approves a pending member
of a list and adds one whose name looks like markup, releases a post held on the
moderated list, logs out; saves a screenshot of each page in SHOTS_DIR. Exits 77
(with the reason) when Chromium cannot start.
"""
import http.client
import json
import os
import smtplib
import ssl
import tempfile
import subprocess
import sys
import time

PORT, SMTP_PORT, HOME, PASSWORD, CORVELREG, SHOTS = (
    int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5], sys.argv[6])
URL = 'https://127.0.0.1:%d/' % PORT
# The server made its certificate itself: nothing to check it against.
TLS = ssl.create_default_context()
TLS.check_hostname = False
TLS.verify_mode = ssl.CERT_NONE
KEY = 'SOFTWARE\\Tollgrove\\Corvel'
SKIP = 77

try:
    import selenium  # noqa: F401
except ImportError:
    # Debian's python3-selenium, when another Python runs this script.
    sys.path.append('/usr/lib/python3/dist-packages')
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as EC
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError as e:
    print('SKIP: Python Selenium is not installed (%s)' % e)
    sys.exit(SKIP)


def start_browser():
    options = webdriver.ChromeOptions()
    # Nothing leaves the host: no background requests, updates, sync or first-run
    # pages, and a profile of its own for each run.
    profile = tempfile.mkdtemp(prefix='corvel-chromium-', dir=HOME)
    for arg in ['--headless=new', '--no-sandbox', '--disable-dev-shm-usage', '--disable-gpu',
                '--window-size=1280,1000', '--no-first-run', '--no-default-browser-check',
                '--disable-background-networking', '--disable-component-update',
                '--disable-sync', '--disable-default-apps', '--disable-extensions',
                '--metrics-recording-only', '--ignore-certificate-errors',
                '--user-data-dir=' + profile]:
        options.add_argument(arg)
    for binary in ['/usr/bin/chromium', '/usr/bin/chromium-browser']:
        if os.path.exists(binary):
            options.binary_location = binary
            break
    driver_path = '/usr/bin/chromedriver'
    if not os.path.exists(driver_path):
        print('SKIP: chromedriver is not installed (Debian chromium-driver)')
        sys.exit(SKIP)
    try:
        browser = webdriver.Chrome(service=Service(driver_path), options=options)
        browser.set_page_load_timeout(30)
        browser.set_script_timeout(30)
        return browser
    except Exception as e:  # any failure to start is a reason to skip, said once
        print('SKIP: Chromium cannot start: %s' % str(e).splitlines()[0])
        sys.exit(SKIP)


def make_list_with_a_pending_member():
    """The list crew through the API, moderated, with one address waiting for
    approval and a post of a member held."""
    def post(path, body, headers):
        conn = http.client.HTTPSConnection('127.0.0.1', PORT, timeout=10, context=TLS)
        conn.request('POST', path, json.dumps(body), headers)
        res = conn.getresponse()
        data = json.loads(res.read() or b'{}')
        conn.close()
        assert res.status == 200, (path, res.status, data)
        return res, data
    res, data = post('/api/login', {'password': PASSWORD}, {})
    headers = {'Cookie': res.getheader('Set-Cookie').split(';')[0], 'X-CSRF-Token': data['csrf']}
    post('/api/accounts/add', {'type': 'list', 'name': 'crew',
                               'fields': {'title': 'The crew', 'owner': 'root'}}, headers)
    post('/api/list/members/add', {'name': 'crew', 'address': 'ann@example.org',
                                   'fullName': 'Ann'}, headers)
    post('/api/logout', {}, headers)
    key = KEY + '\\ListsAndResponders\\crew\\AddUsers'
    for args in [['User1', 'sz', 'r;wanda@example.org;Wanda;0;'], ['NumUsers', 'dword', '1'],
                 ['ActualUsers', 'dword', '1']]:
        subprocess.run([CORVELREG, '--home', HOME, 'set', key] + args, check=True,
                       capture_output=True, timeout=30)
    key = KEY + '\\ListsAndResponders\\crew\\Configuration'
    for args in [['ListId', 'sz', '0c0e'], ['Moderated', 'dword', '1']]:
        subprocess.run([CORVELREG, '--home', HOME, 'set', key] + args, check=True,
                       capture_output=True, timeout=30)
    s = smtplib.SMTP('127.0.0.1', SMTP_PORT, timeout=10)
    s.sendmail('ann@example.org', ['crew@mail.example.org'],
               'From: ann@example.org\r\nSubject: held for the moderator\r\n\r\nplease release\r\n')
    s.quit()


def main():
    os.makedirs(SHOTS, exist_ok=True)
    browser = start_browser()
    wait = WebDriverWait(browser, 15)
    shots = []

    def shot(name):
        path = os.path.join(SHOTS, name + '.png')
        browser.save_screenshot(path)
        shots.append(path)

    def page(name):
        browser.find_element(By.CSS_SELECTOR, '#tabs button[data-page="%s"]' % name).click()
        wait.until(EC.visibility_of_element_located((By.ID, 'page-' + name)))

    def message_says(text):
        wait.until(EC.text_to_be_present_in_element((By.ID, 'message'), text))

    try:
        browser.get(URL)
        wait.until(EC.visibility_of_element_located((By.ID, 'login-password')))
        shot('01-login')
        browser.find_element(By.ID, 'login-password').send_keys(PASSWORD)
        browser.find_element(By.ID, 'login-button').click()
        wait.until(EC.text_to_be_present_in_element((By.ID, 'status-table'), 'Corvel95'))
        shot('02-status')

        page('log')
        wait.until(EC.text_to_be_present_in_element((By.ID, 'log-state'), 'live'))
        marker = 'browser-%d@example.org' % os.getpid()
        s = smtplib.SMTP('127.0.0.1', SMTP_PORT, timeout=10)
        s.sendmail(marker, ['root@mail.example.org'], 'Subject: seen live\r\n\r\nhi\r\n')
        s.quit()
        wait.until(EC.text_to_be_present_in_element((By.ID, 'log-lines'), marker))
        browser.find_element(By.ID, 'log-filter').send_keys(marker)
        shot('03-log')

        s = smtplib.SMTP('127.0.0.1', SMTP_PORT, timeout=10)
        s.sendmail('root@mail.example.org', ['far@remote.example'], 'Subject: away\r\n\r\nwait\r\n')
        s.quit()
        deadline = time.time() + 30
        while time.time() < deadline:
            page('queue')
            time.sleep(0.5)
            if '.our' in browser.find_element(By.ID, 'queue-table').text:
                break
        assert 'remote.example' in browser.find_element(By.ID, 'queue-retry').text
        shot('04-queue')
        # Delete the waiting message: asked first, then gone from both tables.
        files = browser.find_element(By.ID, 'queue-files')
        row = files.find_element(By.XPATH, './/tr[contains(., ".our")]')
        waiting = row.find_element(By.XPATH, './td[2]').text
        deadline = time.time() + 30
        while True:
            row.find_element(By.XPATH, './/button[text()="Delete"]').click()
            alert = wait.until(EC.alert_is_present())
            assert waiting in alert.text, alert.text
            alert.accept()
            # A retry under way holds the file a moment: the console says so.
            wait.until(lambda b: b.find_element(By.ID, 'message').text)
            if 'deleted' in browser.find_element(By.ID, 'message').text or time.time() > deadline:
                break
            time.sleep(1)
            page('queue')
            time.sleep(0.5)
            row = browser.find_element(By.ID, 'queue-files').find_element(
                By.XPATH, './/tr[contains(., "%s")]' % waiting)
        message_says(waiting + ' deleted.')
        wait.until(lambda b: waiting not in b.find_element(By.ID, 'queue-files').text)

        page('accounts')
        wait.until(EC.text_to_be_present_in_element((By.ID, 'accounts-table'), 'postmaster'))
        Select(browser.find_element(By.ID, 'add-type')).select_by_visible_text('user')
        browser.find_element(By.ID, 'add-name').send_keys('dora')
        browser.find_element(By.ID, 'add-field').send_keys('Dora <Explorer>')
        browser.find_element(By.ID, 'add-password').send_keys('dora-pw')
        browser.find_element(By.ID, 'add-button').click()
        message_says('Account dora added.')
        wait.until(EC.text_to_be_present_in_element((By.ID, 'accounts-table'), 'Dora <Explorer>'))
        shot('05-accounts')
        s = smtplib.SMTP('127.0.0.1', SMTP_PORT, timeout=10)
        s.sendmail('bob@example.org', ['dora@mail.example.org'], 'Subject: for dora\r\n\r\nhello dora\r\n')
        s.quit()
        mailbox = os.path.join(HOME, 'dora.mbx')
        deadline = time.time() + 15
        while time.time() < deadline and not os.path.exists(mailbox):
            time.sleep(0.1)
        with open(mailbox, 'rb') as f:
            assert b'hello dora' in f.read(), 'the new user got the message'

        page('domains')
        wait.until(EC.text_to_be_present_in_element((By.ID, 'domains-table'), 'mail.example.org'))
        shot('06-domains')

        make_list_with_a_pending_member()
        page('lists')
        wait.until(EC.text_to_be_present_in_element((By.ID, 'lists-members'), 'ann@example.org'))
        wait.until(EC.text_to_be_present_in_element((By.ID, 'lists-pending'), 'wanda@example.org'))
        # A full name that looks like markup stays text.
        xss = '<img src=x id=injected onerror="document.title=1">'
        browser.find_element(By.ID, 'member-address').send_keys('zed@example.org')
        browser.find_element(By.ID, 'member-name').send_keys(xss)
        browser.find_element(By.ID, 'member-add-button').click()
        wait.until(EC.text_to_be_present_in_element((By.ID, 'lists-members'), xss))
        assert not browser.find_elements(By.ID, 'injected'), 'markup in a name became an element'
        pending = browser.find_element(By.ID, 'lists-pending')
        pending.find_element(By.XPATH, './/button[text()="Approve"]').click()
        wait.until(EC.text_to_be_present_in_element((By.ID, 'lists-members'), 'wanda@example.org'))
        wait.until(lambda b: 'wanda' not in b.find_element(By.ID, 'lists-pending').text)
        # The held post, released to the members.
        deadline = time.time() + 30
        while 'held for the moderator' not in browser.find_element(By.ID, 'lists-held').text:
            assert time.time() < deadline, 'the post was never held'
            time.sleep(0.5)
            page('status')  # showing the page again reads the list again
            page('lists')
            time.sleep(0.5)
        held = browser.find_element(By.ID, 'lists-held')
        assert 'ann@example.org' in held.text, held.text
        shot('07-lists')
        held.find_element(By.XPATH, './/button[text()="Release"]').click()
        message_says('released to the list')
        # The page reads the list again: the table empties, then the note says so.
        wait.until(EC.text_to_be_present_in_element((By.ID, 'lists-held-note'), 'No posts are held.'))
        assert 'held for the moderator' not in browser.find_element(By.ID, 'lists-held').text

        page('config')
        wait.until(EC.presence_of_element_located((By.ID, 'config-OutQueueTime')))
        browser.find_element(By.ID, 'config-filter').send_keys('OutQueue')
        row = wait.until(EC.presence_of_element_located((By.ID, 'config-OutQueueTime')))
        field = row.find_element(By.CSS_SELECTOR, 'input.value')
        field.clear()
        field.send_keys('90')
        row.find_element(By.XPATH, './/button[text()="Set"]').click()
        message_says('OutQueueTime = 90')
        got = subprocess.run([CORVELREG, '--home', HOME, 'get', KEY, 'OutQueueTime'],
                             capture_output=True, text=True)
        assert '90' in got.stdout + got.stderr, got.stdout + got.stderr
        browser.find_element(By.ID, 'config-filter').clear()
        browser.find_element(By.ID, 'config-changed').click()
        shot('08-configuration')

        browser.find_element(By.ID, 'logout').click()
        wait.until(EC.visibility_of_element_located((By.ID, 'login-password')))
        browser.get(URL)
        wait.until(EC.visibility_of_element_located((By.ID, 'login-password')))
        shot('09-logged-out')
    finally:
        browser.quit()
    for path in shots:
        print('screenshot: ' + path)
    return 0


if __name__ == '__main__':
    sys.exit(main())

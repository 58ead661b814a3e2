#!/usr/bin/env python3
"""Debian's Roundcube, served by PHP's own web server on loopback and driven in a headless Chromium,
through a user's day against a private veve4d and then, with the same steps, against a private
Dovecot (which proves the steps, not the server): the list of a 1,000-message INBOX sorted by date,
thread mode, a multipart message and its attachment, search by subject and by sender, flag and
unread, move, delete to Trash and empty it, a folder created, renamed and deleted, and a draft
saved and found again. Each step checks what the page shows and, through imaplib, what the server
stored. The list view's page times are printed for both servers.

    roundcube_test.py BINARY [veve4d|dovecot|both]      (default: both)

Exit 77 when Roundcube, PHP, Chromium, its driver or Selenium is missing or no browser can start.
Dovecot needs root (it serves the mail as nobody); without it only veve4d is driven.
"""
import base64
import email
import email.policy
import imaplib
import os
import random
import re
import secrets
import shutil
import signal
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timedelta, timezone
from email.message import EmailMessage
from email.utils import format_datetime

# Debian's Selenium lives beside Debian's Python; another interpreter on PATH (pyenv) lacks it.
try:
    import selenium  # noqa: F401
except ImportError:
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3") \
            and not os.environ.get("VEVE4D_WEBMAIL_REEXEC"):
        os.environ["VEVE4D_WEBMAIL_REEXEC"] = "1"
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))
from veve4d_server import Veve4d, free_port, stop, wait_ready  # noqa: E402

ROUNDCUBE = "/var/lib/roundcube"          # Debian's installation: code and public_html
ROUNDCUBE_DEFAULTS = "/etc/roundcube"     # only defaults.inc.php and mimetypes.php are copied from here
USER, PASSWORD = "tester", "pw"
COUNT = 1000
PAGE = 50
STEP_SECONDS = 30                          # the longest any one page or request may take
RUN_SECONDS = 330                          # after this no further step starts (CTest stops the run at 420)
# A server without THREAD=REFERENCES fails the thread step; set this to 0 to only report it.
REQUIRE_THREAD = os.environ.get("VEVE4D_WEBMAIL_REQUIRE_THREAD", "1") == "1"

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what, flush=True)
    return condition


# ---------------------------------------------------------------- the mail

class Mail:
    """The INBOX both servers get, and what the steps expect of it."""

    def __init__(self):
        rng = random.Random(25)
        base = datetime(2026, 1, 5, 8, 0, tzinfo=timezone.utc)
        self.messages = []      # (raw bytes, date, subject, from address, flags)
        senders = [("Alice Example", "alice@example.org"), ("Bob Builder", "bob@example.net"),
                   ("Carol Singer", "carol@example.com"), ("Dave Jones", "dave@example.org"),
                   ("Grace Hopper", "grace@example.edu"), ("Jürgen Müller", "juergen@example.de")]
        words = ("budget review meeting report holiday backup release contract survey lunch travel agenda "
                 "invoice roadmap hiring migration").split()
        # Arrival order and date order differ: the dates are a shuffled walk over 300 days.
        minutes = rng.sample(range(1, 300 * 24 * 60), COUNT)
        for i in range(COUNT - 12):
            date = base + timedelta(minutes=minutes[i])
            name, addr = senders[i % len(senders)]
            if i % 250 == 7:
                name, addr = "Chancellor Ogilvy", "ogilvy@chancellery.example"
            subject = f"{rng.choice(words).capitalize()} {rng.choice(words)} note {i:04d}"
            if i % 333 == 5:
                subject = f"Zanzibar shipment {i:04d}"
            self.add(date, name, addr, subject, f"Message {i} about {subject.lower()}.\r\n",
                     ["\\Seen"] if i % 4 else [])
        # The newest twelve, so that the first page of a date-sorted list holds them all.
        top = base + timedelta(days=301)
        self.thread_ids = ["<plan-root@example.org>", "<plan-r1@example.net>", "<plan-r2@example.org>",
                           "<plan-r3@example.com>"]
        parents = [None, 0, 1, 0]     # reply to the root, a reply to that reply, a second reply to the root
        for n, parent in enumerate(parents):
            refs = []
            p = parent
            while p is not None:
                refs.insert(0, self.thread_ids[p])
                p = parents[p]
            self.add(top + timedelta(minutes=10 * n), senders[n][0], senders[n][1],
                     ("Re: " if parent is not None else "") + "Quarterly planning",
                     f"Planning message {n}.\r\n", ["\\Seen"], message_id=self.thread_ids[n], references=refs)
        self.attachment = bytes(rng.randrange(256) for _ in range(6000)) + b"\x00\r\n\xff end"
        self.attachment_text = "Please find the signed invoice attached."
        msg = EmailMessage(policy=email.policy.SMTP)
        self.header(msg, top + timedelta(hours=2), "Bob Builder", "bob@example.net", "Invoice with attachment")
        msg.set_content(self.attachment_text + "\n")
        msg.add_attachment(self.attachment, maintype="application", subtype="octet-stream",
                           filename="invoice-2026.bin")
        self.messages.append((msg.as_bytes(), top + timedelta(hours=2), "Invoice with attachment", "bob@example.net", []))
        for n, subject in enumerate(("Flag me please", "Move me to Projects", "Delete me to Trash",
                                     "Keep me in the inbox", "Another ordinary day", "Lunch on friday",
                                     "Zanzibar trip photos")):
            self.add(top + timedelta(hours=3 + n), "Eve Adams", "eve@example.org", subject,
                     f"Body of {subject}.\r\n", ["\\Seen"])
        assert len(self.messages) == COUNT

    @staticmethod
    def header(msg, date, name, addr, subject, message_id=None):
        msg["From"] = f"{name} <{addr}>"
        msg["To"] = f"Tester <{USER}@test.local>"
        msg["Subject"] = subject
        msg["Date"] = format_datetime(date)
        msg["Message-ID"] = message_id or f"<{abs(hash((subject, date.isoformat())))}@example.org>"

    def add(self, date, name, addr, subject, body, flags, message_id=None, references=()):
        msg = EmailMessage(policy=email.policy.SMTP)
        self.header(msg, date, name, addr, subject, message_id)
        if references:
            msg["In-Reply-To"] = references[-1]
            msg["References"] = " ".join(references)
        msg.set_content(body.replace("\r\n", "\n"))
        self.messages.append((msg.as_bytes(), date, subject, addr, flags))

    def by_date(self):
        """Subjects, newest first: the first page of Roundcube's date-sorted list."""
        return [s for _, d, s, _, _ in sorted(self.messages, key=lambda m: m[1], reverse=True)]

    def subjects_with(self, word):
        return sorted(s for _, _, s, _, _ in self.messages if word.lower() in s.lower())

    def subjects_from(self, addr):
        return sorted(s for _, _, s, a, _ in self.messages if a == addr)

    def upload(self, port):
        m = imap(port)
        for folder in ("Drafts", "Trash", "Projects"):
            m.create(folder)
        for raw, date, _, _, flags in self.messages:
            typ, data = m.append("INBOX", " ".join(flags) and f"({' '.join(flags)})", imaplib.Time2Internaldate(date), raw)
            if typ != "OK":
                raise RuntimeError(f"APPEND: {typ} {data}")
        m.logout()


# ---------------------------------------------------------------- the servers

def imap(port):
    m = imaplib.IMAP4("127.0.0.1", port, timeout=STEP_SECONDS)
    m.login(USER, PASSWORD)
    return m


def server_subjects(port, folder, criteria="ALL"):
    """The subjects of the messages of a folder that match, sorted, with their flags, read
    through imaplib without touching \\Seen."""
    m = imap(port)
    try:
        typ, _ = m.select(f'"{folder}"', readonly=True)
        if typ != "OK":
            return None
        typ, data = m.uid("SEARCH", criteria)
        uids = data[0].split() if typ == "OK" else []
        found = []
        for uid in uids:
            typ, data = m.uid("FETCH", uid, "(FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT)])")
            flags = re.search(rb"FLAGS \(([^)]*)\)", data[0][0]).group(1).decode()
            subject = email.message_from_bytes(data[0][1], policy=email.policy.default)["Subject"]
            found.append((str(subject), flags))
        return sorted(found)
    finally:
        m.logout()


def folders(port):
    m = imap(port)
    try:
        typ, data = m.list()
        return sorted(re.search(rb'"?([^" ]+)"?$', line).group(1).decode() for line in data if line)
    finally:
        m.logout()


def start_dovecot(root):
    from search_bench import start_dovecot as start  # the benches' private Dovecot, password pw
    server, port = start(root, f"{root}/maildir", "mail_fsync = never\n")
    if not wait_ready(port, server):
        raise RuntimeError(f"Dovecot did not start; see {root}/dovecot.log")
    return server, port


def start_roundcube(root, imap_port):
    """Roundcube's own configuration directory, database, temp and log directories under root,
    served by PHP on a free loopback port; /etc/roundcube is only read."""
    conf = f"{root}/config"
    os.makedirs(conf)
    for name in ("defaults.inc.php", "mimetypes.php"):
        shutil.copy(f"{ROUNDCUBE_DEFAULTS}/{name}", conf)
    for d in ("temp", "logs"):
        os.makedirs(f"{root}/{d}")
    db = sqlite3.connect(f"{root}/roundcube.db")
    with open(f"{ROUNDCUBE}/SQL/sqlite.initial.sql") as f:
        db.executescript(f.read())
    db.close()
    with open(f"{conf}/config.inc.php", "w") as f:
        f.write(f"""<?php
$config = [];
$config['db_dsnw'] = 'sqlite:///{root}/roundcube.db?mode=0600';
$config['imap_host'] = '127.0.0.1:{imap_port}';
$config['imap_timeout'] = {STEP_SECONDS};
$config['imap_debug'] = true;
$config['smtp_host'] = '';
$config['des_key'] = '{secrets.token_hex(12)}';
$config['temp_dir'] = '{root}/temp/';
$config['log_dir'] = '{root}/logs/';
$config['plugins'] = [];
$config['skin'] = 'elastic';
$config['enable_spellcheck'] = false;
$config['login_rate_limit'] = 0;
$config['session_lifetime'] = 60;
$config['mail_pagesize'] = {PAGE};
$config['message_sort_col'] = 'date';
$config['message_sort_order'] = 'DESC';
$config['autoexpand_threads'] = 1;
$config['draft_autosave'] = 0;
$config['mail_read_time'] = -1;  // the preview of a selected row must not race "mark unread"
$config['refresh_interval'] = 0;
$config['prefer_html'] = false;
$config['send_format_flowed'] = false;
""")
    port = free_port()
    env = dict(os.environ, ROUNDCUBE_CONFIG_DIR=conf)
    log = open(f"{root}/php.log", "ab")
    php = subprocess.Popen(["php", "-S", f"127.0.0.1:{port}", "-t", f"{ROUNDCUBE}/public_html"],
                           env=env, stdout=log, stderr=log, stdin=subprocess.DEVNULL, cwd=root)
    log.close()
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return php, port
        except OSError:
            if php.poll() is not None:
                break
            time.sleep(0.1)
    raise RuntimeError(f"PHP's server did not start; see {root}/php.log")


def start_browser(root):
    """Headless Chromium through its driver, downloads into root/downloads; None with the reason
    when it cannot start."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--no-proxy-server", "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--no-first-run", "--disable-extensions", "--window-size=1400,1000",
                # nothing but the loopback web server is ever looked up
                "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
                f"--user-data-dir={root}/chromium", "--lang=en-US"):
        options.add_argument(arg)
    os.makedirs(f"{root}/downloads")
    options.add_experimental_option("prefs", {"download.default_directory": f"{root}/downloads",
                                              "download.prompt_for_download": False,
                                              "intl.accept_languages": "en-US"})
    try:
        driver = webdriver.Chrome(service=Service(shutil.which("chromedriver"), log_path=f"{root}/chromedriver.log"),
                                  options=options)
    except Exception as e:  # any failure to start the browser is a reason to skip, not a fault
        return None, str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
    driver.set_page_load_timeout(STEP_SECONDS)
    driver.set_script_timeout(STEP_SECONDS)
    return driver, None


# ---------------------------------------------------------------- the browser side

class StepFailed(Exception):
    pass


class Day:
    """One user's day in Roundcube against one IMAP server on imap_port."""

    def __init__(self, name, driver, web_port, imap_port, mail, root):
        self.name, self.driver, self.imap_port, self.mail, self.root = name, driver, imap_port, mail, root
        self.url = f"http://127.0.0.1:{web_port}/"
        self.times = {}

    # --- helpers
    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def wait(self, condition, what, *args):
        """Polls a JavaScript condition until it holds; a step that never gets there fails."""
        deadline = time.monotonic() + STEP_SECONDS
        while time.monotonic() < deadline:
            try:
                value = self.js("return " + condition, *args)
            except Exception:  # a page between two loads has no rcmail yet
                value = None
            if value:
                return value
            time.sleep(0.05)
        raise StepFailed(f"{what}: not seen within {STEP_SECONDS} s")

    def idle(self, what="page"):
        self.wait("window.rcmail && rcmail.env && !rcmail.busy && (!window.jQuery || jQuery.active == 0)", what)

    def open_list(self, mbox="INBOX"):
        self.driver.get(f"{self.url}?_task=mail&_mbox={mbox}&_page=1")
        self.wait("window.rcmail && rcmail.message_list && rcmail.env.messagecount !== undefined && "
                  "(rcmail.message_list.rowcount > 0 || rcmail.env.messagecount == 0)", f"the {mbox} list")
        self.idle(f"the {mbox} list")

    def rows(self):
        """The list as shown: (uid, subject, class names, depth, parent uid), top to bottom."""
        return [tuple(r) for r in self.js("""
            // A removed row is only hidden at first.
            return Array.from(document.querySelectorAll('#messagelist tbody tr')).filter(
                    tr => rcmail.message_list.rows[tr.uid] && tr.style.display != 'none').map(tr => {
                const row = rcmail.message_list.rows[tr.uid] || {};
                const a = tr.querySelector('td.subject span.subject a');
                return [String(tr.uid), a ? a.textContent.trim() : '', tr.className,
                        row.depth || 0, row.parent_uid ? String(row.parent_uid) : ''];
            });""")]

    def uid_of(self, subject):
        uids = [r[0] for r in self.rows() if r[1] == subject]
        if len(uids) != 1:
            raise StepFailed(f"'{subject}' shown {len(uids)} times in the list")
        return uids[0]

    def command(self, name, props=""):
        """Gives a command as its button does, once Roundcube takes commands: while it is busy (a
        preview loading, a list refilling) it ignores them."""
        self.wait("(function (name, props) {"
                  "  if (!window.rcmail || rcmail.busy || !rcmail.commands[name]) return false;"
                  "  rcmail.command(name, props); return true; })(arguments[0], arguments[1])",
                  f"Roundcube taking the command {name}", name, props)

    def select(self, uid, command):
        """Selects one row and waits for the command's button: the buttons come alive once the
        selection is taken in, and again after a refill of the list."""
        self.idle("the list")
        self.js("rcmail.message_list.select(arguments[0]);", uid)
        self.wait("rcmail.message_list.get_selection().length == 1", f"selection of {uid}")
        self.wait("rcmail.commands[arguments[0]]", f"the {command} button", command)
        self.idle("the preview")

    def confirm(self, what):
        """Presses the main button of Roundcube's own confirmation dialog."""
        button = self.wait("document.querySelector('.ui-dialog .ui-dialog-buttonpane button.mainaction')",
                           f"the dialog to confirm {what}")
        button.click()

    def timed_list(self, action):
        start = time.perf_counter()
        action()
        self.idle("the list")
        return time.perf_counter() - start

    # --- the steps
    def login_and_list(self):
        d = self.driver
        d.get(self.url)
        self.wait("document.getElementById('rcmloginuser')", "the login form")
        d.find_element("id", "rcmloginuser").send_keys(USER)
        d.find_element("id", "rcmloginpwd").send_keys(PASSWORD)
        start = time.perf_counter()
        d.find_element("id", "rcmloginsubmit").click()
        self.wait("window.rcmail && rcmail.message_list && rcmail.message_list.rowcount > 0", "the list after login")
        self.idle("the list after login")
        self.times["login to list"] = time.perf_counter() - start
        rows = self.rows()
        check(self.js("return rcmail.env.messagecount") == COUNT,
              f"{self.name}: list says {self.js('return rcmail.env.messagecount')} messages, not {COUNT}")
        check([r[1] for r in rows] == self.mail.by_date()[:PAGE],
              f"{self.name}: first page not the {PAGE} newest by date: {[r[1] for r in rows][:8]}...")
        reloads = [self.timed_list(lambda: self.open_list()) for _ in range(5)]
        self.times["list view (reload)"] = statistics.median(reloads)
        nexts = []
        for _ in range(3):
            nexts.append(self.timed_list(lambda: self.command("nextpage")))
            self.wait("rcmail.env.current_page > 1", "the next page")
        self.times["next page"] = statistics.median(nexts)
        self.open_list()
        self.command("nextpage")
        self.wait("rcmail.env.current_page == 2", "page two")
        self.idle("page two")
        check([r[1] for r in self.rows()] == self.mail.by_date()[PAGE:2 * PAGE],
              f"{self.name}: second page not the next {PAGE} by date")
        m = imap(self.imap_port)
        try:
            typ, data = m.select("INBOX", readonly=True)
            check(typ == "OK" and int(data[0]) == COUNT, f"{self.name}: server INBOX holds {data}, not {COUNT}")
        finally:
            m.logout()

    def threads(self):
        m = imap(self.imap_port)
        try:
            typ, data = m.capability()  # after login: a server may offer more than in its greeting
            offered = typ == "OK" and b"THREAD=REFERENCES" in data[0].upper().split()
            server_threads = None
            if offered:
                m.select("INBOX", readonly=True)
                typ, data = m.uid("THREAD", "REFERENCES", "UTF-8", "ALL")
                server_threads = data[0].decode() if typ == "OK" else None
        finally:
            m.logout()
        if not offered:
            check(not REQUIRE_THREAD, f"{self.name}: the server does not offer THREAD=REFERENCES")
            print(f"{self.name}: thread mode NOT CHECKED: the server does not offer THREAD=REFERENCES "
                  "(Roundcube then hides thread mode)", flush=True)
            return
        self.open_list()
        self.js("rcmail.set_list_options(null, 'date', 'DESC', 1);")
        self.wait("rcmail.env.threading", "thread mode")
        self.idle("the threaded list")
        plan = [r for r in self.rows() if r[1].endswith("Quarterly planning")]
        check(len(plan) == 4, f"{self.name}: thread list shows {len(plan)} planning messages, not 4")
        if len(plan) == 4:
            # The messages in date order are root, reply, reply to the reply, second reply.
            uids = [r[0] for r in sorted(plan, key=lambda r: int(r[0]))]
            shape = {r[0]: (r[3], r[4]) for r in plan}
            want = {uids[0]: (0, ""), uids[1]: (1, uids[0]), uids[2]: (2, uids[1]), uids[3]: (1, uids[0])}
            check(shape == want, f"{self.name}: threads shown as {shape}, expected {want}")
            a, b, c, d = uids
            check(server_threads is not None and f"({a} ({b} {c})({d}))" in server_threads,
                  f"{self.name}: server's THREAD REFERENCES lacks ({a} ({b} {c})({d})): {str(server_threads)[:300]}")
        self.js("rcmail.set_list_options(null, 'date', 'DESC', 0);")
        self.wait("!rcmail.env.threading", "list mode again")
        self.idle("the list")

    def attachment(self):
        self.open_list()
        uid = self.uid_of("Invoice with attachment")
        self.driver.get(f"{self.url}?_task=mail&_mbox=INBOX&_uid={uid}&_action=show")
        self.wait("document.getElementById('messagebody') && "
                  "document.getElementById('messagebody').textContent.indexOf(arguments[0]) >= 0",
                  "the text of the multipart message", self.mail.attachment_text)
        link = self.wait("""(function () {
            const a = Array.from(document.querySelectorAll('#attachment-list a')).find(
                a => a.textContent.indexOf('invoice-2026.bin') >= 0);
            return a && a.href; })()""", "the attachment in the list of attachments")
        url = re.sub(r"_frame=1", "_download=1", link) if "_frame=1" in link else link + "&_download=1"
        self.driver.get(url)
        target = f"{self.root}/downloads/invoice-2026.bin"
        deadline = time.monotonic() + STEP_SECONDS
        while time.monotonic() < deadline and not os.path.exists(target):
            time.sleep(0.1)
        if check(os.path.exists(target), f"{self.name}: attachment not downloaded (downloads: "
                                          f"{os.listdir(self.root + '/downloads')})"):
            with open(target, "rb") as f:
                got = f.read()
            check(got == self.mail.attachment, f"{self.name}: downloaded attachment differs "
                                               f"({len(got)} bytes, expected {len(self.mail.attachment)})")
        m = imap(self.imap_port)
        try:
            m.select("INBOX", readonly=True)
            typ, data = m.uid("FETCH", uid, "(BODY.PEEK[2])")
            stored = base64.b64decode(data[0][1]) if typ == "OK" and isinstance(data[0], tuple) else None
            check(stored == self.mail.attachment, f"{self.name}: the server's part 2 is not the attachment")
        finally:
            m.logout()

    def search(self):
        self.open_list()
        for query, want, criteria in (("Zanzibar", self.mail.subjects_with("zanzibar"), 'SUBJECT "Zanzibar"'),
                                      ("ogilvy", self.mail.subjects_from("ogilvy@chancellery.example"),
                                       'FROM "ogilvy"')):
            box = self.driver.find_element("css selector", "#mailsearchform")
            box.clear()
            box.send_keys(query)
            self.command("search")
            self.wait("rcmail.env.search_request", f"the search for {query}")
            self.idle(f"the search for {query}")
            shown = sorted(r[1] for r in self.rows())
            check(shown == want, f"{self.name}: search '{query}' shows {shown}, expected {want}")
            server = [s for s, _ in server_subjects(self.imap_port, "INBOX", criteria) or []]
            check(server == want, f"{self.name}: server SEARCH {criteria} finds {server}, expected {want}")
            self.command("reset-search")
            self.wait("!rcmail.env.search_request", "the end of the search")
            self.idle("the list after the search")

    def flag_and_unread(self):
        self.open_list()
        uid = self.uid_of("Flag me please")
        self.select(uid, "mark")
        self.command("mark", "flagged")
        self.idle("flagging")
        self.wait("rcmail.message_list.rows[arguments[0]].flagged", "the flag on the row", uid)
        self.command("mark", "unread")
        self.idle("marking unread")
        self.wait("rcmail.message_list.rows[arguments[0]].unread", "the row marked unread", uid)
        self.open_list()
        row = [r for r in self.rows() if r[0] == uid]
        check(row and "flagged" in row[0][2] and "unread" in row[0][2],
              f"{self.name}: after a reload the row is {row}, not flagged and unread")
        found = dict(server_subjects(self.imap_port, "INBOX", 'SUBJECT "Flag me please"') or [])
        flags = found.get("Flag me please", "?")
        check("\\Flagged" in flags and "\\Seen" not in flags,
              f"{self.name}: server flags after flag and mark unread: '{flags}'")

    def move_and_delete(self):
        self.open_list()
        for subject, command, folder in (("Move me to Projects", "move", "Projects"),
                                         ("Delete me to Trash", "delete", "Trash")):
            self.idle("the list")
            uid = self.uid_of(subject)
            self.select(uid, command)
            self.command(command, folder if command == "move" else "")
            self.wait("!rcmail.message_list.rows[arguments[0]]", f"'{subject}' leaving the list", uid)
            self.idle(f"'{subject}' leaving the list")
            check(subject not in [r[1] for r in self.rows()], f"{self.name}: '{subject}' still listed")
            there = [s for s, _ in server_subjects(self.imap_port, folder) or []]
            check(there == [subject], f"{self.name}: server {folder} holds {there}, expected ['{subject}']")
            inbox = server_subjects(self.imap_port, "INBOX", f'SUBJECT "{subject}"')
            check(inbox == [], f"{self.name}: '{subject}' still in the server's INBOX: {inbox}")
        self.open_list("Trash")
        check([r[1] for r in self.rows()] == ["Delete me to Trash"], f"{self.name}: Trash shows {self.rows()}")
        self.js("rcmail.purge_mailbox('Trash');")
        self.confirm("emptying Trash")
        self.wait("rcmail.env.messagecount == 0", "Trash shown empty")
        self.idle("emptying Trash")
        check(self.rows() == [], f"{self.name}: Trash still lists {self.rows()}")
        check(server_subjects(self.imap_port, "Trash") == [], f"{self.name}: server Trash not empty: "
                                                               f"{server_subjects(self.imap_port, 'Trash')}")
        self.open_list("Projects")
        check([r[1] for r in self.rows()] == ["Move me to Projects"], f"{self.name}: Projects shows {self.rows()}")

    def folder_page(self):
        self.driver.get(f"{self.url}?_task=settings&_action=folders")
        self.wait("document.getElementById('subscription-table')", "the folder list")
        self.idle("the folder list")
        return self.js("return Array.from(document.querySelectorAll(\"#subscription-table input[name='_subscribed[]']\"))"
                       ".map(i => i.value);")

    def edit_folder(self, old, new):
        self.driver.get(f"{self.url}?_task=settings&_action=edit-folder&_mbox={old}&_framed=1")
        box = self.driver.find_element("css selector", "input[name='_name']")
        box.clear()
        box.send_keys(new)
        self.command("save")
        # The answer to the form is written for the folder list around the frame; the server and
        # the folder list are what tell whether it worked.
        deadline = time.monotonic() + STEP_SECONDS
        while new not in folders(self.imap_port) and time.monotonic() < deadline:
            time.sleep(0.1)

    def folder_life(self):
        self.edit_folder("", "Errands")
        check("Errands" in folders(self.imap_port), f"{self.name}: server lacks created Errands: {folders(self.imap_port)}")
        check("Errands" in self.folder_page(), f"{self.name}: folder list lacks Errands: {self.folder_page()}")
        self.edit_folder("Errands", "Chores")
        on_server = folders(self.imap_port)
        check("Chores" in on_server and "Errands" not in on_server,
              f"{self.name}: server after rename Errands to Chores: {on_server}")
        shown = self.folder_page()
        check("Chores" in shown and "Errands" not in shown, f"{self.name}: folder list after rename: {shown}")
        self.js("rcmail.delete_folder('Chores');")
        self.confirm("deleting a folder")
        self.wait("!Array.from(document.querySelectorAll(\"#subscription-table input[name='_subscribed[]']\")).some("
                  "i => i.value == 'Chores')", "Chores leaving the folder list")
        self.idle("deleting a folder")
        check("Chores" not in folders(self.imap_port), f"{self.name}: server still has Chores: {folders(self.imap_port)}")
        check("Chores" not in self.folder_page(), f"{self.name}: folder list still shows Chores")

    DRAFT_SUBJECT = "Draft about the offsite"
    DRAFT_TEXT = "Hello team,\nthe offsite moves to Friday.\n\nGrüße, Zoë & co. <not a tag>\nLast line."

    def draft(self):
        self.driver.get(f"{self.url}?_task=mail&_action=compose")
        self.wait("document.getElementById('composebody') && rcmail.env.compose_id", "the compose page")
        self.idle("the compose page")
        self.driver.find_element("id", "compose-subject").send_keys(self.DRAFT_SUBJECT)
        body = self.driver.find_element("id", "composebody")
        body.clear()
        body.send_keys(self.DRAFT_TEXT)
        self.command("savedraft")
        self.wait("rcmail.env.draft_id", "the draft saved")
        self.idle("saving the draft")
        draft_uid = None
        m = imap(self.imap_port)
        try:
            m.select("Drafts", readonly=True)
            typ, data = m.uid("SEARCH", f'SUBJECT "{self.DRAFT_SUBJECT}"')
            uids = data[0].split() if typ == "OK" else []
            if check(len(uids) == 1, f"{self.name}: server Drafts holds {len(uids)} drafts with the subject"):
                typ, data = m.uid("FETCH", uids[0], "(FLAGS BODY.PEEK[])")
                stored = email.message_from_bytes(data[0][1], policy=email.policy.default)
                text = stored.get_body(("plain",)).get_content().replace("\r\n", "\n")
                check(text.rstrip("\n") == self.DRAFT_TEXT,
                      f"{self.name}: the stored draft's text is {text!r}, expected {self.DRAFT_TEXT!r}")
                draft_uid = uids[0].decode()
        finally:
            m.logout()
        self.open_list("Drafts")
        uid = self.uid_of(self.DRAFT_SUBJECT)
        check(draft_uid in (None, uid), f"{self.name}: Drafts lists the draft as {uid}, the server has {draft_uid}")
        self.driver.get(f"{self.url}?_task=mail&_mbox=Drafts&_uid={uid}&_action=show")
        shown = self.wait("document.getElementById('messagebody') && "
                          "document.getElementById('messagebody').innerText", "the draft shown")
        check(shown.strip().replace("\r\n", "\n") == self.DRAFT_TEXT,
              f"{self.name}: the draft shows {shown!r}, expected {self.DRAFT_TEXT!r}")

    def run(self):
        for step in (self.login_and_list, self.threads, self.attachment, self.search, self.flag_and_unread,
                     self.move_and_delete, self.folder_life, self.draft):
            if time.monotonic() > RUN_DEADLINE:
                check(False, f"{self.name}: {step.__name__} not started: the run is out of time")
                continue
            start = time.perf_counter()
            before = len(failures)
            try:
                step()
            except Exception as e:  # a step that cannot go on fails; the next one starts from a fresh page
                check(False, f"{self.name}: {step.__name__}: {type(e).__name__}: {str(e).strip()[:400]}")
                try:
                    with open(f"{self.root}/{step.__name__}.html", "w") as f:
                        f.write(self.driver.page_source)
                except Exception:
                    pass
            print(f"{self.name}: {step.__name__} {'ok' if len(failures) == before else 'FAILED'} "
                  f"({time.perf_counter() - start:.1f} s)", flush=True)


def imap_commands(name, root, port):
    """What Roundcube asked the server to sort and thread with, from its IMAP log: a server that
    offers SORT must have been asked to sort."""
    try:
        with open(f"{root}/logs/imap.log", errors="replace") as f:
            log = f.read()
    except OSError:
        return "no IMAP log"
    sort = len(re.findall(r"\] C: \S+ UID SORT ", log))
    thread = len(re.findall(r"\] C: \S+ UID THREAD ", log))
    fetch_all = len(re.findall(r"\] C: \S+ (?:UID )?FETCH 1:\* \(UID INTERNALDATE BODY.PEEK\[HEADER.FIELDS \(DATE\)\]\)", log))
    m = imap(port)
    try:
        offers_sort = b"SORT" in m.capability()[1][0].upper().split()
    finally:
        m.logout()
    check(not offers_sort or (sort > 0 and fetch_all == 0),
          f"{name}: the server offers SORT but Roundcube sorted {fetch_all}x by fetching every date")
    return f"UID SORT {sort}x, UID THREAD {thread}x, whole-folder date FETCH {fetch_all}x"


# ---------------------------------------------------------------- main

def missing_tools():
    missing = [t for t in ("php", "chromium", "chromedriver") if not shutil.which(t)]
    if not os.path.exists(f"{ROUNDCUBE}/public_html/index.php") or \
            not os.path.exists(f"{ROUNDCUBE_DEFAULTS}/defaults.inc.php"):
        missing.append("roundcube-core")
    try:
        import selenium  # noqa: F401
    except ImportError:
        missing.append("python3-selenium")
    return missing


def drive(name, imap_port, mail, root):
    """Roundcube and a browser of their own for one server; the Day, or a reason to skip."""
    php, web_port = start_roundcube(root, imap_port)
    try:
        driver, why = start_browser(root)
        if driver is None:
            return None, why
        try:
            day = Day(name, driver, web_port, imap_port, mail, root)
            day.run()
            return day, None
        finally:
            driver.quit()
    finally:
        stop(php)


RUN_DEADLINE = time.monotonic() + RUN_SECONDS


def main():
    # A run stopped from outside (CTest's timeout) still stops its servers and its browser.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    binary = sys.argv[1]
    which = sys.argv[2] if len(sys.argv) > 2 else "both"
    missing = missing_tools()
    if missing:
        print(f"SKIP: {', '.join(missing)} not installed (scripts/install-deps.sh installs them)")
        return 77
    servers = ["veve4d", "dovecot"] if which == "both" else [which]
    if "dovecot" in servers and (os.geteuid() != 0 or not shutil.which("dovecot")):
        print("Dovecot not driven: it needs root and dovecot-imapd", flush=True)
        servers.remove("dovecot")
    top = tempfile.mkdtemp(prefix="veve4d-webmail-")
    os.chmod(top, 0o755)  # Dovecot serves its mail as nobody, below this directory
    os.makedirs(f"{top}/probe")
    driver, why = start_browser(f"{top}/probe")
    if driver is None:
        shutil.rmtree(top, ignore_errors=True)
        print(f"SKIP: no browser could start: {why}")
        return 77
    driver.quit()
    mail = Mail()
    days = {}
    started = time.perf_counter()
    for name in servers:
        root = f"{top}/{name}"
        os.makedirs(root)
        if name == "veve4d":
            server = Veve4d(binary, root, domain="test.local")
            server.add_user(USER, PASSWORD, password_file=True)  # Roundcube picks CRAM-MD5 when offered
            server.start()
            process, port = server.process, server.port
        else:
            process, port = start_dovecot(root)
        try:
            mail.upload(port)
            day, why = drive(name, port, mail, root)
            if day is None:
                print(f"SKIP: no browser could start: {why}")
                return 77
            days[name] = day
            print(f"{name}: Roundcube asked for {imap_commands(name, root, port)}", flush=True)
            check(process.poll() is None, f"{name}: the server exited during the day")
        finally:
            stop(process, signal.SIGKILL if name == "veve4d" else signal.SIGTERM)
    print("\nRoundcube list view, seconds (login to list; reload of the list, median of 5; next page, median of 3):")
    for name, day in days.items():
        print(f"  {name:8} " + "  ".join(f"{k} {v:.3f}" for k, v in day.times.items()))
    print(f"whole run {time.perf_counter() - started:.0f} s", flush=True)
    if failures:
        print(f"{len(failures)} failed; Roundcube's logs, the pages of failed steps and the mail are in {top}")
        return 1
    shutil.rmtree(top, ignore_errors=True)
    print("webmail: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

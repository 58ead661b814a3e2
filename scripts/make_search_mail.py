#!/usr/bin/env python3
"""Writes the SEARCH tests' mailbox: messages of real-world shapes made by Python's email package
(encoded words, folded fields, base64 and quoted-printable bodies, a forwarded message inside).
It rewrites tests/unit/search_mail/N.eml; the tests read them as they are.

    python3 scripts/make_search_mail.py
"""
import os
from email import policy
from email.header import Header
from email.message import EmailMessage
from email.mime.text import MIMEText

SMTP = policy.SMTP.clone(max_line_length=60)


def plain():
    m = EmailMessage(policy=SMTP)
    m["From"] = "Alice Example <alice@example.org>"
    m["To"] = "bob@example.net"
    m["Subject"] = "Quarterly report"
    m["Date"] = "Thu, 01 Feb 2024 23:30:00 -0800"
    m.set_content("The numbers are in.\nRevenue grew.\n")
    return m


def encoded():
    m = EmailMessage(policy=SMTP)
    m["From"] = "Jürgen Müller <juergen@example.de>"
    m["To"] = "Bob <bob@example.net>"
    m["Cc"] = "Carol Singer <carol@example.com>"
    m["Bcc"] = "audit@example.com"
    m["Subject"] = "Grüße aus München und eine sehr lange Betreffzeile, die gefaltet wird"
    m["Date"] = "Sat, 16 Mar 2024 00:15:00 +0100"
    m.set_content("Die Straße ist größer als gedacht, und das Wetter in München war "
                  "wunderbar, also haben wir einen langen Spaziergang gemacht.\n",
                  cte="quoted-printable")
    return m


def alternative():
    m = EmailMessage(policy=SMTP)
    m["From"] = "Newsletter <news@example.com>"
    m["To"] = "bob@example.net"
    m["Subject"] = "Weekly digest"
    m["Date"] = "15 Mar 2024 10:00:00 +0000"
    m.set_content("Spotted: a zebracorn in the park.\n", cte="base64")
    m.add_alternative("<p>Spotted: a <b>unicorn</b> in the park.</p>\n", subtype="html",
                      cte="quoted-printable")
    return m


def forwarded():
    inner = EmailMessage(policy=SMTP)
    inner["From"] = "Dave <dave@example.com>"
    inner["To"] = "alice@example.org"
    inner["Subject"] = "lunch plans"
    inner["Date"] = "Mon, 01 Jan 2024 09:00:00 +0000"
    inner.set_content("Meet at noon by the fountain.\n")
    m = EmailMessage(policy=SMTP)
    m["From"] = "Alice Example <alice@example.org>"
    m["To"] = "bob@example.net"
    m["Subject"] = "Fwd: lunch"
    m["Date"] = "Tue, 02 Jan 2024 08:00:00 +0000"
    m.set_content("See below.\n")
    m.add_attachment(inner)
    return m


def latin1():
    m = MIMEText("Un café crème, s'il vous plaît.\n", "plain", "iso-8859-1")
    m["From"] = "=?iso-8859-1?q?Ren=E9e?= <renee@example.fr>"
    m["To"] = "bob@example.net"
    m["Subject"] = Header("café", "iso-8859-1").encode()
    m["Date"] = "Wed, 3 Apr 2024 12:00:00 +0200"
    return m


def folded():
    m = EmailMessage(policy=SMTP)
    m["From"] = "ops@example.com"
    m["To"] = ", ".join(f"user{i} <user{i}@example.net>" for i in range(1, 7))
    m["Subject"] = "Rotation"
    m["X-Tracking"] = "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu"
    m["Date"] = "Fri, 5 Apr 2024 07:00:00 +0000"
    m.set_content("Nothing to see.\n")
    return m


def japanese():
    m = MIMEText("日本語のテキストです。\n", "plain", "iso-2022-jp")
    m["From"] = "tanaka@example.jp"
    m["To"] = "bob@example.net"
    m["Subject"] = Header("会議の予定", "iso-2022-jp").encode()
    m["Date"] = "Mon, 8 Apr 2024 09:00:00 +0900"
    return m


def raw_japanese():
    # Old Japanese mail: ISO-2022-JP in the Subject field without MIME encoding.
    subject = "東京出張".encode("iso-2022-jp")
    return (b"From: suzuki@example.jp\r\nTo: bob@example.net\r\nSubject: " + subject +
            b"\r\nDate: Tue, 9 Apr 2024 18:00:00 +0900\r\n\r\nplain body\r\n")


os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "unit", "search_mail"))
messages = [plain, encoded, alternative, forwarded, latin1, folded, japanese]
for n, make in enumerate(messages, 1):
    with open(f"{n}.eml", "wb") as f:
        f.write(make().as_bytes(policy=SMTP))
with open(f"{len(messages) + 1}.eml", "wb") as f:
    f.write(raw_japanese())

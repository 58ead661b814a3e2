#!/usr/bin/env python3
"""Writes the same mail twice: as a veve4d mailbox (UID-and-flags file names) and as a Maildir
for Dovecot, with the same flags and file times, so that both servers search identical mail.

    bench/gen_dataset.py [--small] COUNT VEVE4D_MAILBOX_DIR MAILDIR [SEED]

The messages have the shapes real mail has: plain text, quoted-printable UTF-8 with encoded-word
subjects, multipart/alternative with an HTML part, and messages with a base64 attachment. Every
message holds a few words from a fixed vocabulary; "zanzibar" appears in about 1 % of bodies and
"Chancellor" in about 1 % of From names, so that a selective search has something to find.
The small profile (--small) writes short plain-text messages only, quick enough for 100,000.
"""
import os, random, sys
from email import policy
from email.message import EmailMessage
from email.utils import format_datetime
from datetime import datetime, timedelta, timezone

SMTP = policy.SMTP
WORDS = ("account report meeting budget review project timeline draft proposal invoice customer "
         "server release update holiday schedule travel lunch weekly notes agenda contract design "
         "security backup network storage migration quarterly numbers feedback survey launch").split()
NAMES = ["Alice Example", "Bob Builder", "Carol Singer", "Dave Jones", "Eve Adams", "Frank Miller",
         "Grace Hopper", "Heidi Klum", "Ivan Petrov", "Judy Garland", "Jürgen Müller", "Zoë Martin"]
FLAG_LETTERS = "RAFDSX"  # veve4d's flag code order: Recent Answered Flagged Deleted Seen Draft


def sentence(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n)).capitalize() + "."


def body_text(rng, rare):
    paragraphs = []
    for _ in range(rng.randint(2, 8)):
        paragraphs.append(" ".join(sentence(rng, rng.randint(6, 14)) for _ in range(rng.randint(2, 5))))
    if rare:
        paragraphs.insert(rng.randrange(len(paragraphs) + 1), "We should meet in Zanzibar next spring.")
    return "\n\n".join(paragraphs) + "\n"


def make_message(rng, i, when):
    name = "Chancellor Palpatine" if rng.random() < 0.01 else rng.choice(NAMES)
    local = name.split()[0].lower().replace("ü", "u").replace("ö", "o").replace("ë", "e")
    m = EmailMessage(policy=SMTP)
    m["From"] = f"{name} <{local}@example.org>"
    m["To"] = f"{rng.choice(NAMES)} <team@example.net>"
    if rng.random() < 0.3:
        m["Cc"] = ", ".join(f"{n} <{n.split()[0].lower()}@example.com>" for n in rng.sample(NAMES[:10], 3))
    subject = sentence(rng, rng.randint(3, 8))[:-1]
    if rng.random() < 0.2:
        subject = "Grüße: " + subject
    m["Subject"] = subject
    m["Date"] = format_datetime(when)
    m["Message-ID"] = f"<{i}.{rng.randrange(10**9)}@example.org>"
    text = body_text(rng, rng.random() < 0.01)
    shape = rng.random()
    if shape < 0.5:
        m.set_content(text)
    elif shape < 0.7:
        m.set_content(text + "Straße, größer, naïve café.\n", cte="quoted-printable")
    elif shape < 0.9:
        m.set_content(text)
        m.add_alternative("<html><body><p>" + text.replace("\n\n", "</p><p>") + "</p></body></html>\n",
                          subtype="html")
    else:
        m.set_content(text)
        m.add_attachment(rng.randbytes(rng.randint(2000, 40000)), maintype="application", subtype="octet-stream",
                         filename=f"data{i}.bin")
    return m.as_bytes(policy=SMTP)


def make_small(rng, i, when):
    name = rng.choice(NAMES)
    return (f"From: {name} <{name.split()[0].lower()}@example.org>\r\nTo: team@example.net\r\n"
            f"Subject: {sentence(rng, 4)[:-1]}\r\nDate: {format_datetime(when)}\r\n"
            f"Message-ID: <{i}@example.org>\r\n\r\n{sentence(rng, 12)}\r\n").encode()


def main():
    args = sys.argv[1:]
    small = bool(args) and args[0] == "--small"
    if small:
        args = args[1:]
    count, veve_dir, maildir = int(args[0]), args[1], args[2]
    rng = random.Random(int(args[3]) if len(args) > 3 else 1)
    os.makedirs(veve_dir, exist_ok=True)
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    start = datetime(2023, 1, 1, 12, tzinfo=timezone.utc)
    for uid in range(1, count + 1):
        when = start + timedelta(minutes=uid * (730 * 24 * 60 // count))
        data = make_small(rng, uid, when) if small else make_message(rng, uid, when)
        flags = {"A": rng.random() < 0.2, "F": rng.random() < 0.05, "S": rng.random() < 0.7,
                 "D": rng.random() < 0.02, "T": rng.random() < 0.01}
        code = "0" + "".join("1" if flags[c] else "0" for c in "AFDS") + ("1" if flags["T"] else "0")
        veve_path = os.path.join(veve_dir, f"{uid:010d}-{code}.MSG")
        maildir_flags = "".join(c for c in "DFRST" if (c == "R" and flags["A"]) or (c == "T" and flags["D"]) or
                                (c == "D" and flags["T"]) or (c in "FS" and flags[c]))
        dove_path = os.path.join(maildir, "cur", f"{1600000000 + uid}.M{uid}P1.bench,S={len(data)}:2,{maildir_flags}")
        stamp = when.timestamp()
        for path in (veve_path, dove_path):
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (stamp, stamp))


if __name__ == "__main__":
    main()

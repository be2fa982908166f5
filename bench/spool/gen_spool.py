#!/usr/bin/python3
"""Writes a synthetic mail spool of N messages, shaped like a mailing-list archive: envelope
lines, a dozen header lines, threads built from Re: subjects and In-Reply-To references,
bodies of 5 to 60 lines. Deterministic for a given seed.

usage: gen_spool.py COUNT OUTPUT [SEED]
"""

import random
import sys

WORDS = ("kernel build patch mips port driver boot cache tlb memory linker gcc binutils "
         "config serial console network interrupt timer module firmware board test").split()
NAMES = ["Ann Lee", "Bob Stone", "Carla Diaz", "Dmitri Volkov", "Eve Park", "Frank Ode",
         "Grace Hu", "Hans Meier", "Ines Roy", "Jun Sato"] + ["User %d" % i for i in range(200)]
DAYS = ("Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun")
MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")


def message(rng, n, subjects):
    name = rng.choice(NAMES)
    address = name.lower().replace(" ", ".") + "@example.org"
    day, month = rng.choice(DAYS), rng.choice(MONTHS)
    date_num, year = rng.randint(1, 28), rng.randint(1996, 2002)
    hh, mm, ss = rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)
    reply_to = None
    if subjects and rng.random() < 0.6:
        reply_to, base = rng.choice(subjects[-500:])
        subject = "Re: " + base
    else:
        base = " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 6)))
        subject = base
        subjects.append((n, base))
    lines = [
        "From %s %s %s %2d %02d:%02d:%02d %d" % (address, day, month, date_num, hh, mm, ss, year),
        "Return-Path: <%s>" % address,
        "Received: from mail.example.org (mail.example.org [192.0.2.%d])" % (n % 250),
        "\tby list.example.org with ESMTP id %08x; %s, %d %s %d" % (n, day, date_num, month, year),
        "From: %s <%s>" % (name, address),
        "To: linux-list@example.org",
        "Subject: %s" % subject,
        "Date: %s, %d %s %d %02d:%02d:%02d +0000" % (day, date_num, month, year, hh, mm, ss),
        "Message-Id: <%d.%08x@example.org>" % (n, n * 2654435761 % (1 << 32)),
    ]
    if reply_to is not None:
        lines.append("In-Reply-To: <%d.%08x@example.org>" % (reply_to, reply_to * 2654435761 % (1 << 32)))
    lines += ["X-Mailer: bench", "Content-Type: text/plain; charset=us-ascii", ""]
    for _ in range(rng.randint(5, 60)):
        lines.append(" ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 12))))
    lines.append("")
    return "\n".join(lines) + "\n"


def main():
    count, output = int(sys.argv[1]), sys.argv[2]
    rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 1)
    subjects = []
    with open(output, "w", encoding="ascii", newline="\n") as out:
        for n in range(count):
            out.write(message(rng, n, subjects))


if __name__ == "__main__":
    main()

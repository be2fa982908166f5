"""mailutil.py - mail fixtures the end-to-end tests share: a two-message spool and the folder
of real mail corpora."""

import os
import pathlib

# The corpora live in shared/ beside the checkout.
CORPUS_DIR = pathlib.Path(os.environ.get("VANTREL_SOURCE", ".")).resolve().parent / "shared/data/mail"

# Two messages: Ann asks, Bob answers through In-Reply-To. The first carries a Received line
# before its From, the second names its sender in a comment.
WORKED_EXAMPLE = (
    "From ???@??? Mon Jan 09 10:11:12 1995\n"
    "Received: from somewhere\n"
    "From: Ann Lee <ann@host>\n"
    "Subject: lunch?\n"
    "Message-Id: <1@host>\n"
    "\n"
    "Shall we?\n"
    "From ???@??? Mon Jan 09 11:00:00 1995\n"
    "From: bob@host (Bob)\n"
    "Subject: Re: lunch?\n"
    "In-Reply-To: <1@host>\n"
    "\n"
    "Yes.\n"
)

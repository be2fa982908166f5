"""mailutil.py - mail fixtures the end-to-end tests share: a two-message spool and the folder
of real mail corpora."""

import os
import pathlib

# The corpora live in shared/ beside the checkout, or beside the folder of worktrees.
_SOURCE = pathlib.Path(os.environ.get("VANTREL_SOURCE", ".")).resolve()
CORPUS_DIR = next((p for p in (_SOURCE.parent / "shared" / "data" / "mail",
                               _SOURCE.parent.parent / "shared" / "data" / "mail") if p.is_dir()),
                  _SOURCE.parent / "shared" / "data" / "mail")

# Two messages: Ann asks, Bob answers through In-Reply-To. The first carries a Received line
# before its From, the second names its sender in a comment. The unit tests read the same file.
DATA_DIR = pathlib.Path(__file__).resolve().parents[1] / "data"
LUNCH_SPOOL = (DATA_DIR / "lunch.mbox").read_bytes().decode("latin-1")

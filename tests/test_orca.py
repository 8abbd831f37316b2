"""What Orca says of the running tester, driven by keys alone: run by tests/test_access.sh orca,
which starts the buses, the display, Orca (speech to its debug log, $ORCA_LOG) and the tester,
twice: against a far end that flips a bit of every reply (test_orca.py WINDOW), then against one
at the wrong speed, whose every row starts with a hex box (test_orca.py WINDOW boxes). pyatspi
reads what the screen shows to compare. Waits for what Orca says with generous deadlines and
asserts no time. Prints one line per check."""
import os
import re
import subprocess
import sys
import time

import pyatspi

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from screenreader import BOX_NAMES, NAME_TOKEN, RAW, check, finish, tester_frame, wait_for

LOG = os.environ["ORCA_LOG"]
# what Orca says; a key's name (its echo, a locking key's state) is logged with a space before {
SAID = re.compile(r"SPEECH OUTPUT: '(.*?)'( \{|\{|\[\{)", re.S)
SAY_ALL = re.compile(r"DEFAULT SAY ALL: \[text \| 受信ログ\] '(.*?)' \((\d+)-(\d+), current", re.S)


def orca_log():
    with open(LOG, encoding="utf-8", errors="replace") as f:
        return f.read()


class Speech:
    """What Orca has said since the last mark."""

    def __init__(self):
        self.mark = 0

    def since_mark(self):
        return [m.group(1) for m in SAID.finditer(orca_log()[self.mark:]) if m.group(2) != " {"]

    def key(self, *keys):
        self.mark = len(orca_log())
        subprocess.run(["xdotool", "key", "--delay", "100"] + list(keys), check=True)

    def held(self, modifier, key, found, what):
        """Presses `key` with `modifier` held until Orca has answered, as a hand holds Ctrl over
        Home: Orca tells Ctrl+Home from Home by the keys held when it takes up the caret's move,
        and xdotool's modifier+key lets Ctrl go 50 ms after Home goes down."""
        self.mark = len(orca_log())
        subprocess.run(["xdotool", "keydown", modifier, "key", key], check=True)
        try:
            return self.wait(found, what)
        finally:
            subprocess.run(["xdotool", "keyup", modifier], check=True)

    def wait(self, found, what, seconds=60, quiet=False):
        """Waits until found(utterances since the mark) is true; returns the utterances."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            said = self.since_mark()
            if found(said):
                return said
            time.sleep(0.2)
        if not quiet:
            check(False, what, self.since_mark()[-8:])
        return None


def words(s):
    return " ".join(s.split())


def label2_value(utterance):
    """A Label2 announcement's value (a space received is one): Orca adds a stop after a name."""
    return utterance[:-1] if len(utterance) > 1 and utterance.endswith(".") else utterance


speech = Speech()
frame = wait_for(tester_frame, "the tester's window on the bus")
log = [a for a in pyatspi.findAllDescendants(frame, lambda a: a.getRole() == pyatspi.ROLE_TEXT)
       if a.name == "受信ログ"][0]
text = log.queryText()
# on a busy machine the window may come up without the input focus, or before Orca listens:
# activating it and moving the focus away and back tells Orca where the focus is
if not speech.wait(lambda s: any("送信開始 push button" in u for u in s), "", 30, quiet=True):
    subprocess.run(["xdotool", "windowactivate", "--sync", sys.argv[1]], timeout=30)
    speech.key("Tab", "shift+Tab")
speech.wait(lambda s: any("送信開始 push button" in u for u in s), "Start is said at start-up", 90)


def choose_period_and_start(typed):
    """Types a period into the period box, then back to Start and starts sending."""
    speech.key("Tab")
    speech.wait(lambda s: any("送信周期 editable combo box" in u for u in s),
                "Tab says the period box")
    speech.key(*typed, "Return", "shift+Tab")
    speech.wait(lambda s: any("送信開始 push button" in u for u in s), "Shift+Tab says Start")
    speech.key("space")


def wait_until_stopped():
    """Once the log stops growing (the last tick's insertion lands late on a busy machine)."""
    last = -1
    for _ in range(60):
        if text.characterCount == last:
            break
        last = text.characterCount
        time.sleep(1)


def line_at(offset):
    return text.getTextAtOffset(offset, pyatspi.TEXT_BOUNDARY_LINE_START)


def second_row_begun():
    """Whether the first row is whole. The count is read first: the log grows between two
    questions to it, and a first row ending before a later count may still be the only one."""
    count = text.characterCount
    return line_at(0)[2] < count


def ctrl_home_reads_a_row_that_starts_with_a_box():
    """At 100 ms against a far end at the wrong speed, stopped: Ctrl+Home in the log says its first
    row whole, from the text interface's line at the caret, as Up says it; the row starts with a
    hex box."""
    choose_period_and_start(["1", "0", "0"])
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and not second_row_begun():
        time.sleep(0.5)
    speech.key("space")
    wait_until_stopped()
    first = line_at(0)
    check(first[2] < text.characterCount and re.match(r"\s*" + NAME_TOKEN.pattern, first[0]),
          "the log's first row is whole and starts with a hex box", first[0][:40])

    speech.key("Tab", "Tab")
    speech.wait(lambda s: any("受信ログ text" in u for u in s), "Tab into the stopped log")
    said = speech.held("ctrl", "Home", lambda s: len(s) >= 1, "Ctrl+Home reads a line")
    row = line_at(text.caretOffset)
    check(said is not None and len(said) == 1 and words(said[0]) == words(row[0]) and row[1] == 0
          and len(said[0].split()) > 1, "Ctrl+Home says the whole first row, not its first box",
          (said, row))
    # what Orca made of the key and which line it asked for, from its debug output
    took = orca_log()[speech.mark:].partition("Presenting result of file boundary nav")[2]
    region = re.search(r"Region of interest: \[text \| 受信ログ\] \((\d+), (\d+)\)", took)
    asked = (int(region.group(1)), int(region.group(2))) if region else None
    check(asked == (row[1], row[1] + len(row[0].rstrip("\n"))),
          "Orca takes the key for Ctrl+Home and says the text interface's line at the caret",
          (asked, row[1:], orca_log()[speech.mark:][-300:] if not took else ""))
    speech.key("Down")
    speech.wait(lambda s: len(s) >= 1, "Down reads a line")
    speech.key("Up")
    up = speech.wait(lambda s: len(s) >= 1, "Up reads a line")
    check(said and up and words(up[0]) == words(said[0]),
          "Up onto the row says what Ctrl+Home said", (up, said))


if sys.argv[2:] == ["boxes"]:
    ctrl_home_reads_a_row_that_starts_with_a_box()
    finish()

# --- the period 1 ms, typed; back to Start and start sending
choose_period_and_start(["1"])

# --- Label2 while Start has the focus: its changes said by name, a few a second at most
said = speech.wait(lambda s: len(s) >= 12 and any(label2_value(u) in BOX_NAMES for u in s),
                   "Label2's changes are said, a box byte by name", 120)
if said:
    values = [label2_value(u) for u in said]
    odd = [v for v in values if len(v) != 1 and v not in BOX_NAMES]
    check(not odd and not any(RAW.search(v) for v in values),
          "each utterance is Label2's value: one character or a byte's name", odd[:5])
    print("info  Label2 said: %s" % " ".join(values[:12]))

# flat review reads Label2 afresh each time. Orca builds the review as it begins and reads a
# label there by its text, afresh at each read, only when that text has a letter or digit then;
# otherwise by the name Orca holds then, kept as it was. At 1 ms that name (told at most once a
# second) is seldom the text of the moment, so a letter in the reading does not tell which: a
# reading from the text is as long as Label2's text, filled out with spaces. Begin again until
# the review reads the text.
def announcement(u):
    return label2_value(u) in BOX_NAMES or len(label2_value(u)) <= 1


def reviewed_line(what):
    said = speech.wait(lambda s: any(not announcement(u) for u in s), what)
    return next((u for u in said if not announcement(u)), "") if said else ""


# Label2 is the label with a child: the status bar its changes are said through
label2 = [a for a in pyatspi.findAllDescendants(frame, lambda a: a.getRole() == pyatspi.ROLE_LABEL)
          if a.childCount == 1][0]
field = label2.queryText().characterCount
reviewed = []
for attempt in range(6):
    speech.key("KP_8")   # review begins on Start's line
    reviewed_line("flat review begins")
    for _ in range(12):
        speech.key("KP_9")
        if reviewed_line("flat review reads the next line").startswith("受信"):
            break
    speech.key("KP_9")   # the received character's line: ASCII文字 and Label2
    line = reviewed_line("flat review reads Label2's line").split(None, 1)
    if line[:1] == ["ASCII文字"] and len(line) > 1 and len(line[1]) == field:
        reviewed.append(line[1].strip())
        break
    speech.key("KP_Subtract")   # leaves flat review
    reviewed_line("flat review ends")
check(reviewed, "flat review reads Label2 by its text", line)
shown = []
for _ in range(30):
    if not reviewed or len(set(reviewed)) >= 3:
        break
    time.sleep(0.5)
    speech.key("KP_8")
    line = reviewed_line("Label2's line again").split(None, 1)
    shown.append(label2.queryText().getText(0, -1).strip())
    if line[:1] == ["ASCII文字"] and len(line) > 1:
        reviewed.append(line[1].strip())
check(len(set(reviewed)) >= 3, "flat review reads Label2's current value each time",
      (reviewed, "Label2 meanwhile", shown))
check(all(v in BOX_NAMES or len(v) == 1 for v in reviewed), "flat review reads Label2's value",
      reviewed)
speech.key("KP_Subtract")
reviewed_line("flat review ends")

# --- Tab into the log: its name and role first, then its line; then arriving bytes by name
speech.key("Tab", "Tab")
speech.wait(lambda s: any("受信ログ text" in u for u in s), "Tab into the log says 受信ログ text")


def after_name(said):
    """What Orca said of the log after its name: the line, then the arrivals."""
    named = [i for i, u in enumerate(said) if "受信ログ text" in u]
    return [u for u in said[named[0] + 1:] if NAME_TOKEN.search(u)] if named else []


arrived = speech.wait(lambda s: len(after_name(s)) >= 4,
                      "bytes arriving in the focused log are said by name")
arrivals = after_name(arrived or [])
check(arrivals and not any(RAW.search(u) for u in arrivals),
      "arrivals are said with names, never raw box characters", [RAW.findall(u) for u in arrivals][:3])
print("info  arriving: %r" % (arrivals[-1][:100] if arrivals else None))

# keeping up: leaving the log is answered before more than a few announcements have come
speech.key("shift+Tab")
said = speech.wait(lambda s: any("送信周期 editable combo box" in u for u in s),
                   "Shift+Tab out of the log is answered while bytes arrive")
if said:
    before = said[:next(i for i, u in enumerate(said) if "送信周期 editable combo box" in u)]
    check(len(before) <= 4, "Orca answers the key before more than four announcements", before)

# --- stop; the log's text is now fixed
speech.key("shift+Tab")
speech.wait(lambda s: any("push button" in u for u in s), "Shift+Tab says Start")
speech.key("space")
wait_until_stopped()
whole = text.getText(0, -1)
for arrival in arrivals:
    a = words(arrival[:-1] if arrival.endswith(".") else arrival)   # Orca may end with a stop
    found = next((n for n in range(len(a), 0, -1) if a[:n] in words(whole)), 0)
    check(found == len(a), "an announcement of arriving bytes is the log's text",
          (a[:found][-30:], a[found:found + 40]))
check("\n" in whole and NAME_TOKEN.search(whole), "the log holds line breaks and box bytes")

# --- a line read is exactly the row: Ctrl+Home reads the first, Down the second
speech.key("Tab", "Tab")
speech.wait(lambda s: any("受信ログ text" in u for u in s), "Tab into the stopped log")
for what in ("Ctrl+Home", "Down"):
    if what == "Ctrl+Home":
        said = speech.held("ctrl", "Home", lambda s: len(s) >= 1, what + " reads a line")
    else:
        speech.key(what)
        said = speech.wait(lambda s: len(s) >= 1, what + " reads a line")
    row = line_at(text.caretOffset)
    check(said is not None and len(said) == 1 and words(said[0]) == words(row[0]),
          what + " says exactly the row the caret is on", (said, row))

# --- say-all from the start: every piece once, in order, to the end
speech.held("ctrl", "Home", lambda s: len(s) >= 1, "Ctrl+Home reads the first line")
count = text.characterCount
speech.key("KP_Add")
deadline = time.monotonic() + 120
pieces = []
while time.monotonic() < deadline:
    pieces = [(m.group(1), int(m.group(2)), int(m.group(3)))
              for m in SAY_ALL.finditer(orca_log()[speech.mark:])]
    if pieces and pieces[-1][2] >= count:
        break
    time.sleep(0.5)
check(pieces and pieces[0][1] == 0 and pieces[-1][2] == count,
      "say-all reads from the start to the end", (pieces[:1], pieces[-1:], count))
check(all(a[2] == b[1] for a, b in zip(pieces, pieces[1:])),
      "say-all reads each piece once: each starts where the one before ended",
      [(a[1:], b[1:]) for a, b in zip(pieces, pieces[1:]) if a[2] != b[1]][:5])
read = words("".join(p for p, _, _ in pieces))
differ = next((i for i, (a, b) in enumerate(zip(read, words(whole))) if a != b), None)
check(read == words(whole), "say-all says the log's text, every break included once",
      (len(read), len(words(whole)), differ, read[differ - 20:differ + 20] if differ else "",
       words(whole)[differ - 20:differ + 20] if differ else ""))
print("info  say-all: %d pieces over %d characters" % (len(pieces), count))

finish()

"""What a screen reader reads from the running tester, through the AT-SPI bus with pyatspi: run
by tests/test_access.sh, which starts the buses, the display and the tester. Prints one line per
check and exits non-zero when any fails."""
import re
import sys
import time

import pyatspi

CONTROLS = ["NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS", "HT", "LF", "VT", "FF",
            "CR", "SO", "SI", "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB", "CAN", "EM",
            "SUB", "ESC", "FS", "GS", "RS", "US"]
# what a byte drawn as a hex box is called: its control name, DEL, or its value
BOX_NAMES = set(CONTROLS[1:]) | {"DEL"} | {"0x%02X" % b for b in
                                           list(range(0x80, 0xA1)) + list(range(0xE0, 0x100))}
NAME_TOKEN = re.compile(r"(?<![0-9A-Za-z])(" + "|".join(sorted(BOX_NAMES, key=len, reverse=True))
                        + r")(?![0-9A-Za-z])")
# what the log keeps a box byte as: control pictures and U+F700 + byte
RAW = re.compile("[\u2401-\u241f\u2421\uf780-\uf7a0\uf7e0-\uf7ff]")

failures = 0


def check(ok, what, detail=""):
    global failures
    print(("ok    " if ok else "FAIL  ") + what + ("" if ok else ": " + repr(detail)[:300]))
    if not ok:
        failures += 1
    return ok


def wait_for(find, what, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = find()
        if found:
            return found
        time.sleep(0.1)
    check(False, what, "not found")
    sys.exit(1)


def descendants(root):
    return pyatspi.findAllDescendants(root, lambda a: True)


def tester_frame():
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is None:
            continue
        for child in app:
            if child is not None and "RS232C" in (child.name or ""):
                return child
    return None


def relation_targets(acc, kind):
    targets = []
    for rel in acc.getRelationSet():
        if rel.getRelationType() == kind:
            targets += [rel.getTarget(i) for i in range(rel.getNTargets())]
    return targets


def extents(acc):
    return acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)


def read_by(text, boundary):
    """The whole text read piece by piece at `boundary`, as a screen reader walks it: the pieces
    and whether their offsets run from 0 to the end without a gap or an overlap."""
    pieces, offset, contiguous, count = [], 0, True, text.characterCount
    while offset < count:
        piece, start, end = text.getTextAtOffset(offset, boundary)
        if end <= offset:   # no progress: step over one character
            end = offset + 1
        if start > offset or (pieces and start < offset and boundary != pyatspi.TEXT_BOUNDARY_CHAR):
            contiguous = contiguous and start <= offset
        pieces.append((piece, start, end))
        offset = end
    return pieces, contiguous


def spoken_right(what, said):
    check(not RAW.search(said), what + " has no raw box characters", RAW.findall(said)[:5])
    names = NAME_TOKEN.findall(said)
    check(len(names) > 0, what + " says byte names", said[:200])
    return names


frame = wait_for(tester_frame, "the tester's window on the bus")
check(frame.getRole() == pyatspi.ROLE_FRAME, "the window is a frame", frame.getRoleName())
everything = descendants(frame)

# --- names and relations
labels = [a for a in everything if a.getRole() == pyatspi.ROLE_LABEL]
by_name = {}
for label in labels:
    by_name.setdefault(label.name, []).append(label)


def labelled_value(caption):
    targets = relation_targets(caption, pyatspi.RELATION_LABEL_FOR)
    if not check(len(targets) == 1, "%s is label for one control" % caption.name, targets):
        sys.exit(1)
    value = targets[0]
    back = relation_targets(value, pyatspi.RELATION_LABELLED_BY)
    check(any(b.name == caption.name for b in back),
          "the control %s labels is labelled by it" % caption.name, [b.name for b in back])
    return value


code_caption = by_name.get("ASCII コード", [None])[0]
if not check(code_caption is not None, "the caption ASCII コード is on the bus"):
    sys.exit(1)
code = labelled_value(code_caption)
check(code.getRole() == pyatspi.ROLE_LABEL, "ASCII コード labels a label (the code sent)")
char_captions = sorted(by_name.get("ASCII文字", []), key=lambda a: extents(a).y)
check(len(char_captions) == 2, "two captions ASCII文字, sent and received", len(char_captions))
sent = labelled_value(char_captions[0])
label2 = labelled_value(char_captions[1])
check(extents(label2).y > extents(sent).y, "the lower ASCII文字 labels the received character")

combo = [a for a in everything if a.getRole() == pyatspi.ROLE_COMBO_BOX]
check(len(combo) == 1, "one combo box", len(combo))
combo = combo[0]
check(combo.name == "送信周期", "the period box is named by its caption", combo.name)
check(any(t.name == "送信周期" for t in relation_targets(combo, pyatspi.RELATION_LABELLED_BY)),
      "the period box is labelled by 送信周期")
entry = [c for c in combo if c is not None and c.getRole() == pyatspi.ROLE_TEXT]
check(len(entry) == 1 and entry[0].queryText().getText(0, -1) == "10",
      "the period box's value is the period chosen, 10",
      [e.queryText().getText(0, -1) for e in entry])
items = [a for a in descendants(combo) if a.getRole() == pyatspi.ROLE_LIST_ITEM]
check([i.name for i in items][:3] == ["1000", "700", "500"] and len(items) == 16,
      "the 16 periods are list items", [i.name for i in items])

log = [a for a in everything if a.getRole() == pyatspi.ROLE_TEXT and a.name == "受信ログ"]
check(len(log) == 1, "the log is a text named 受信ログ", [a.name for a in everything
                                                        if a.getRole() == pyatspi.ROLE_TEXT])
log = log[0]
states = log.getState()
check(states.contains(pyatspi.STATE_EDITABLE) and states.contains(pyatspi.STATE_MULTI_LINE),
      "the log is editable and multi-line")
print("info  the log's interfaces: %s" % ", ".join(log.get_interfaces()))

# --- Start, and Label2 while bytes arrive
buttons = {b.name: b for b in everything if b.getRole() == pyatspi.ROLE_PUSH_BUTTON}
check(set(buttons) >= {"送信開始", "clear"}, "both buttons are named", list(buttons))
start = buttons["送信開始"]
action = start.queryAction()
press = [i for i in range(action.nActions) if action.getName(i) == "Press"]
check(bool(press), "Start can be pressed", [action.getName(i) for i in range(action.nActions)])
action.doAction(press[0])

heard = []
deadline = time.monotonic() + 60
while time.monotonic() < deadline and len(set(heard)) < 9:
    heard.append(label2.name or "")
    time.sleep(0.005)
raw_heard = [h for h in heard if RAW.search(h)]
check(not raw_heard, "Label2 never speaks a raw box character", raw_heard[:5])
box_heard = sorted(set(h for h in heard if h in BOX_NAMES))
check(len(box_heard) > 0, "Label2 speaks byte names while box bytes arrive", sorted(set(heard)))
# a received 0x00 shows nothing, and Label2's name is then empty too
odd_heard = sorted(set(h for h in heard if h not in BOX_NAMES and len(h) > 1 and h != "Label2"))
check(not odd_heard, "Label2's name is a byte's name, one character, or empty", odd_heard)
print("info  Label2 said: %s" % " ".join(repr(h) for h in sorted(set(heard))[:20]))

text = log.queryText()
wait_for(lambda: text.characterCount > 300, "300 received bytes in the log", 60)
stop = wait_for(lambda: [b for b in descendants(frame)
                         if b.getRole() == pyatspi.ROLE_PUSH_BUTTON and b.name == "送信停止"],
                "the button renamed 送信停止")[0]
stop.queryAction().doAction(0)
time.sleep(0.3)   # let the last tick's insertion land before the log is read
count = text.characterCount

# --- the log, read every way a screen reader reads it
whole = text.getText(0, -1)
spoken_right("the whole text", whole)

lines, contiguous = read_by(text, pyatspi.TEXT_BOUNDARY_LINE_START)
check(lines[0][1] == 0 and lines[-1][2] == count and
      all(a[2] == b[1] for a, b in zip(lines, lines[1:])),
      "lines cover the log's offsets end to end, one a byte", [(s, e) for _, s, e in lines][:10])
spoken_right("line by line", "".join(p for p, _, _ in lines))

for boundary, what in ((pyatspi.TEXT_BOUNDARY_WORD_START, "word by word"),
                       (pyatspi.TEXT_BOUNDARY_SENTENCE_START, "sentence by sentence")):
    pieces, _ = read_by(text, boundary)
    spoken_right(what, " ".join(p for p, _, _ in pieces))

chars = [text.getTextAtOffset(i, pyatspi.TEXT_BOUNDARY_CHAR) for i in range(count)]
check(all(e - s == 1 for _, s, e in chars), "each character reading spans one offset")
spoken_right("character by character", " ".join(c for c, _, _ in chars))
names = [c for c, _, _ in chars if c in BOX_NAMES]
# the whole text is the characters with each box byte's name set apart by spaces, as `AB ACK C`
expected = ""
for i, (c, _, _) in enumerate(chars):
    if c not in BOX_NAMES:
        expected += c
        continue
    if expected and not expected[-1].isspace():
        expected += " "
    expected += c
    if i + 1 < len(chars) and not chars[i + 1][0][:1].isspace():
        expected += " "
check(whole == expected, "the whole text is the characters, each box byte's name spaced apart",
      next(((i, whole[i:i + 40], expected[i:i + 40]) for i in range(len(whole))
            if whole[i:i + 1] != expected[i:i + 1]), (len(whole), len(expected))))
print("info  the whole text begins %r" % whole[:60])
odd = [c for c, _, _ in chars if len(c) != 1 and c not in BOX_NAMES]
check(not odd, "a character reading is one character or one byte's name", odd[:5])
check(len(names) > 10, "many box bytes in the log", len(names))

# the caret a screen reader sets is the one on screen, by byte
at = next(i for i, (c, _, _) in enumerate(chars) if c in BOX_NAMES)
text.setCaretOffset(at + 1)
check(text.caretOffset == at + 1, "the caret goes to the byte after a box", text.caretOffset)
print("info  GetCharacterAtOffset at a box byte (%s) gives %r" %
      (chars[at][0], text.getCharacterAtOffset(at)))
# and at a katakana the operator types in: what Qt's bridge makes of a character beyond ASCII
log.queryEditableText().insertText(count, "\uff71", 1)
print("info  GetCharacterAtOffset at a typed katakana (%r) gives %r" %
      (text.getTextAtOffset(count, pyatspi.TEXT_BOUNDARY_CHAR)[0], text.getCharacterAtOffset(count)))

print("%d checks failed" % failures)
sys.exit(1 if failures else 0)

"""What a screen reader reads from the running tester, through the AT-SPI bus with pyatspi: run
by tests/test_access.sh, which starts the buses, the display and the tester. Prints one line per
check and exits non-zero when any fails."""
import os
import sys
import time

import pyatspi

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from screenreader import BOX_NAMES, NAME_TOKEN, RAW, check, finish, tester_frame, wait_for


def descendants(root):
    return pyatspi.findAllDescendants(root, lambda a: True)


def relation_targets(acc, kind):
    targets = []
    for rel in acc.getRelationSet():
        if rel.getRelationType() == kind:
            targets += [rel.getTarget(i) for i in range(rel.getNTargets())]
    return targets


def extents(acc):
    return acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)


def read_by(text, boundary):
    """The whole text read piece by piece at `boundary`, as a screen reader walks it. Each piece
    must hold the offset asked for and be as long as its range: a screen reader works out where
    the next piece starts from the length of the string."""
    pieces, offset, count, bad = [], 0, text.characterCount, []
    while offset < count:
        piece, start, end = text.getTextAtOffset(offset, boundary)
        if not (start <= offset < end) or len(piece) != end - start:
            bad.append((offset, start, end, piece[:20]))
            break
        pieces.append((piece, start, end))
        offset = end
    return pieces, bad


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
# line breaks typed in among the received bytes (the far end at this rate never sends a "Z")
editable = log.queryEditableText()
for fraction in (0.25, 0.5, 0.75):
    editable.insertText(int(text.characterCount * fraction), "Z\n", 2)
count = text.characterCount

# --- the log, read every way a screen reader reads it: one offset a character of the spoken text
whole = text.getText(0, -1)
spoken_right("the whole text", whole)
check(len(whole) == count, "the text is as long as its character count", (len(whole), count))

boundaries = ((pyatspi.TEXT_BOUNDARY_LINE_START, "line"), (pyatspi.TEXT_BOUNDARY_WORD_START, "word"),
              (pyatspi.TEXT_BOUNDARY_SENTENCE_START, "sentence"),
              (pyatspi.TEXT_BOUNDARY_CHAR, "character"))
read = {}
for boundary, what in boundaries:
    pieces, bad = read_by(text, boundary)
    read[what] = pieces
    check(not bad and "".join(p for p, _, _ in pieces) == whole,
          "read %s by %s, the pieces hold their offsets and make up the text" % (what, what), bad)
spoken_right("line by line", "".join(p for p, _, _ in read["line"]))
chars = read["character"]
odd = [c for c, _, _ in chars if len(c) != 1 and c not in BOX_NAMES]
check(not odd, "a character reading is one character or one byte's name", odd[:5])
names = [(s, e) for c, s, e in chars if c in BOX_NAMES]
check(len(names) > 10, "many box bytes in the log", len(names))
check(all(whole[s - 1] == " " and whole[e] == " " for s, e in names if s > 0 and e < count),
      "a box byte's name is set apart by a space on each side", whole[:80])
print("info  the whole text begins %r" % whole[:60])

# a line break's offset is in its line, word and sentence (an empty range made Orca read twice)
breaks = [i for i, c in enumerate(whole) if c == "\n"]
for boundary, what in boundaries[:3]:
    held = [(i, text.getTextAtOffset(i, boundary)[1:]) for i in breaks[:20]]
    check(all(s <= i < e for i, (s, e) in held), "at a line break the %s holds it" % what, held[:5])

# the caret and a selection a screen reader sets are the ones on screen, by byte
s, e = names[0]
text.setCaretOffset(s + 1)   # inside the name: the caret goes before the byte
check(text.caretOffset == s, "a caret set inside a byte's name stands before it", text.caretOffset)
text.setCaretOffset(e + 1)   # its trailing space: after it
check(text.caretOffset == e + 1 + (whole[e + 1] == " "),
      "a caret set on the space after a name stands after the byte", (text.caretOffset, e))
text.setSelection(0, s, e + 1)
start, end = text.getSelection(0)
check(text.getText(start, end).strip() == whole[s:e], "a byte selected is its name",
      text.getText(start, end))
box = text.getCharacterExtents(s, pyatspi.DESKTOP_COORDS)
check(box[2] > 0 and box == text.getCharacterExtents(e - 1, pyatspi.DESKTOP_COORDS),
      "a byte's name has the box's bounds", (box, e - 1))
print("info  GetCharacterAtOffset at a box byte (%s) gives %r" %
      (whole[s:e], chr(text.getCharacterAtOffset(s) % 256)))

finish()

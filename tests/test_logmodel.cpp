// The log's text store, its rows and the operator's edit history, without a display: checked
// against a plain string and against wrapping from scratch after every edit.
#include "logview/edithistory.h"
#include "logview/logtext.h"
#include "logview/logwrap.h"

#include <QtTest>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace logview;

namespace {

QString show(const std::u32string &s)
{
    return QString::fromUcs4(s.data(), qsizetype(s.size()));
}

// Every character 10 px wide, a space 4 px, 'W' and U+3042 20 px.
Advances fixedAdvances()
{
    Advances a;
    for (int c = 0; c < 256; ++c)
        a.cell[c] = c == ' ' ? 4 : c == 'W' ? 20 : 10;
    a.cell[kBreakCell] = 0;
    a.other = [](char32_t c) { return c == 0x3042 ? 20.0 : c == 0x3000 ? 20.0 : 10.0; };
    return a;
}

// The rows of the whole text, wrapped from the start by a wrap model that has seen no edit.
std::vector<Row> allRows(const LogText &text, double width)
{
    LogWrap fresh(text);
    fresh.setAdvances(fixedAdvances());
    fresh.setWidth(width);
    std::vector<Row> rows;
    for (Pos start = 0; start >= 0;) {
        rows.push_back(fresh.rowFrom(start));
        start = rows.back().next;
    }
    return rows;
}

std::u32string randomText(std::mt19937 &rng, int n)
{
    static const char32_t alphabet[] = U"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ     W\n\x3042\x2401\xFF71\xF7FF\xF780";
    std::uniform_int_distribution<int> pick(0, int(std::size(alphabet)) - 2);
    std::u32string s;
    for (int i = 0; i < n; ++i)
        s.push_back(alphabet[pick(rng)]);
    return s;
}

// What a screen reader is given for a character: a box byte's name with a space on each side.
std::size_t spokenOf(char32_t c)
{
    const int byte = byteOf(c);
    return byte > 0 && isHexBoxByte(std::uint8_t(byte)) ? boxName(std::uint8_t(byte)).size() + 2 : 1;
}

// A plain string edited as the log control edits its text, with the history beside it.
struct Document {
    std::u32string text;
    Pos caret = 0;
    EditHistory history;

    void edit(Pos at, Pos length, std::u32string inserted, EditKind kind)
    {
        Edit e;
        e.at = at;
        e.removed = text.substr(std::size_t(at), std::size_t(length));
        e.inserted = inserted;
        e.caretBefore = e.anchorBefore = caret;
        e.kind = kind;
        text.replace(std::size_t(at), std::size_t(length), inserted);
        caret = at + Pos(inserted.size());
        history.record(std::move(e));
    }
    void type(char32_t c) { edit(caret, 0, std::u32string(1, c), EditKind::Typing); }
    void backspace() { edit(caret - 1, 1, {}, EditKind::Backspace); }
    void forwardDelete() { edit(caret, 1, {}, EditKind::Delete); }
    // Undoes one entry; returns how many characters it put back.
    Pos undo()
    {
        Edit e = history.takeUndo();
        text.replace(std::size_t(e.at), e.inserted.size(), e.removed);
        caret = e.caretBefore;
        const Pos n = Pos(e.removed.size());
        history.undone(std::move(e));
        return n;
    }
    void redo()
    {
        Edit e = history.takeRedo();
        text.replace(std::size_t(e.at), e.removed.size(), e.inserted);
        caret = e.at + Pos(e.inserted.size());
        history.redone(std::move(e));
    }
    int undoAll()
    {
        int n = 0;
        for (; history.canUndo(); ++n)
            undo();
        return n;
    }
};

} // namespace

class LogModelTest : public QObject {
    Q_OBJECT
private slots:
    void keepsReceivedDrawingsInOneByteAndOtherCharactersAsTheyAre();
    void randomEditsKeepTextParagraphsAndSpokenOffsetsAsAPlainStringWould();
    void fullLogDiscardsTheOldestTextUpToALineStart();
    void insertionLargerThanTheCapacityKeepsItsEnd();
    void rowsWrapAfterASpaceOrAnywhereInALongWord();
    void rowsAfterEditsMatchRowsWrappedFromScratch();
    void editInTheMiddleOfALongParagraphForgetsOnlyWhatFollows();
    void historyJoinsARunOnlyWhereItContinues();
    void undoingEverythingAndRedoingItGivesEachTextBack();
};

void LogModelTest::keepsReceivedDrawingsInOneByteAndOtherCharactersAsTheyAre()
{
    for (int b = 1; b < 256; ++b) {
        const char32_t drawing = byteChar(static_cast<std::uint8_t>(b));
        QVERIFY(drawing != 0);
        QCOMPARE(byteOf(drawing), b);
        QCOMPARE(cellChar(cellOf(drawing)), drawing);
    }
    QCOMPARE(byteChar(0), char32_t(0));
    for (char32_t other : {U'\n', U'\t', char32_t(0xFFFD), char32_t(0x2400), char32_t(0xF77F),
                           char32_t(0xF7A1), char32_t(0xF7DF), char32_t(0xF800)})
        QCOMPARE(byteOf(other), -1);
    QCOMPARE(cellOf(U'\n'), kBreakCell);

    LogText text;
    const std::u32string typed = U"a\x3042\U0001F600\tb\x2400\n\x7F\x1B";
    text.insert(0, typed);
    for (int b = 1; b < 256; ++b) {
        const char32_t drawing = byteChar(static_cast<std::uint8_t>(b));
        text.insert(text.size(), std::u32string_view(&drawing, 1));
    }
    QCOMPARE(text.size(), Pos(typed.size() + 255));
    QCOMPARE(show(text.text(0, Pos(typed.size()))), show(typed));
    QCOMPARE(text.at(2), char32_t(0x1F600));
    QCOMPARE(text.at(Pos(typed.size())), char32_t(0x2401));
    QCOMPARE(text.paragraphCount(), Pos(2));
    // one byte a received character, everything counted
    LogText big;
    for (int i = 0; i < 1000000; ++i) {
        const char32_t digit = U'0' + char32_t(i % 10);
        big.insert(big.size(), std::u32string_view(&digit, 1));
    }
    QVERIFY2(double(big.bytesUsed()) / big.size() < 1.05,
             qPrintable(QString::number(double(big.bytesUsed()) / big.size())));
    // every byte value, 0xFF among them, one byte each too; typed text between them stays
    LogText bytes;
    std::u32string expected;
    for (int i = 0; i < 1000000; ++i) {
        const char32_t c = byteChar(std::uint8_t(1 + i % 255));
        bytes.insert(bytes.size(), std::u32string_view(&c, 1));
        expected.push_back(c);
    }
    QVERIFY2(double(bytes.bytesUsed()) / bytes.size() < 1.05,
             qPrintable(QString::number(double(bytes.bytesUsed()) / bytes.size())));
    bytes.insert(254, U"\x3042");   // just before a received 0xFF
    expected.insert(254, U"\x3042");
    QCOMPARE(bytes.at(254), char32_t(0x3042));
    QCOMPARE(bytes.at(255), byteChar(0xFF));
    QVERIFY(bytes.text(0, bytes.size()) == expected);
}

void LogModelTest::randomEditsKeepTextParagraphsAndSpokenOffsetsAsAPlainStringWould()
{
    std::mt19937 rng(7);
    LogText text;
    std::u32string plain;
    for (int round = 0; round < 400; ++round) {
        std::uniform_int_distribution<int> kind(0, 9);
        const int k = kind(rng);
        const Pos at = std::uniform_int_distribution<Pos>(0, Pos(plain.size()))(rng);
        if (k < 6) {   // insert: mostly short, sometimes longer than a leaf
            const int n = k == 0 ? 9000 : std::uniform_int_distribution<int>(1, 300)(rng);
            const std::u32string s = randomText(rng, n);
            text.insert(at, s);
            plain.insert(std::size_t(at), s);
        } else {
            const Pos n = std::uniform_int_distribution<Pos>(0, k == 9 ? 12000 : 200)(rng);
            const Pos to = std::min<Pos>(Pos(plain.size()), at + n);
            text.erase(at, to);
            plain.erase(std::size_t(at), std::size_t(to - at));
        }
        QCOMPARE(text.size(), Pos(plain.size()));
        if (round % 20 == 0)
            QCOMPARE(show(text.text(0, text.size())), show(plain));
        const Pos breaks = Pos(std::count(plain.begin(), plain.end(), U'\n'));
        QCOMPARE(text.paragraphCount(), breaks + 1);
        std::vector<Pos> spoken{0};   // where each character starts in the spoken text
        for (char32_t c : plain)
            spoken.push_back(spoken.back() + Pos(spokenOf(c)));
        QCOMPARE(text.spokenSize(), spoken.back());
        for (int probe = 0; probe < 5; ++probe) {
            const Pos offset = std::uniform_int_distribution<Pos>(0, spoken.back())(rng);
            const Pos cell = Pos(std::upper_bound(spoken.begin(), spoken.end(), offset) - spoken.begin()) - 1;
            Pos into = -1;
            QCOMPARE(text.positionAtSpoken(offset, &into), cell);
            QCOMPARE(into, offset - spoken[std::size_t(cell)]);
        }
        for (int probe = 0; probe < 5; ++probe) {
            const Pos p = std::uniform_int_distribution<Pos>(0, Pos(plain.size()))(rng);
            const Pos start = Pos(p == 0 ? 0 : plain.rfind(U'\n', std::size_t(p - 1)) + 1);
            const std::size_t endAt = plain.find(U'\n', std::size_t(p));
            QCOMPARE(text.paragraphStart(p), p == 0 ? 0 : start);
            QCOMPARE(text.paragraphEnd(p), endAt == std::u32string::npos ? Pos(plain.size())
                                                                         : Pos(endAt));
            QCOMPARE(text.paragraphIndex(p), Pos(std::count(plain.begin(), plain.begin() + p, U'\n')));
            QCOMPARE(text.spokenOffset(p), spoken[std::size_t(p)]);
            if (p < Pos(plain.size()))
                QCOMPARE(text.at(p), plain[std::size_t(p)]);
        }
    }
    text.erase(0, text.size());
    QCOMPARE(text.size(), Pos(0));
    text.insert(0, U"again");
    QCOMPARE(show(text.text(0, 5)), QStringLiteral("again"));
}

void LogModelTest::fullLogDiscardsTheOldestTextUpToALineStart()
{
    LogText text(6400);   // discards a 64th, 100 characters, beyond what is missing
    std::u32string line = U"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ\n";
    while (text.size() + Pos(line.size()) <= text.capacity())
        text.insert(text.size(), line);
    const Pos before = text.size();
    QCOMPARE(text.makeRoom(5), Pos(0));   // there is room still
    const Pos gone = text.makeRoom(Pos(line.size()));
    // what was missing plus a 64th, moved on to the next line start
    QVERIFY(gone >= before + Pos(line.size()) - 6400 + 100);
    QCOMPARE(gone % Pos(line.size()), Pos(0));
    QCOMPARE(text.size(), before - gone);
    QCOMPARE(text.at(0), U'0');
    text.insert(text.size(), line);
    QVERIFY(text.size() <= text.capacity());

    // a log that never breaks a line is cut where it must be
    LogText oneLine(1000);
    oneLine.insert(0, std::u32string(1000, U'A'));
    QCOMPARE(oneLine.makeRoom(1), Pos(1 + 1000 / 64));
    QCOMPARE(oneLine.size(), Pos(1000 - 1 - 1000 / 64));
}

void LogModelTest::insertionLargerThanTheCapacityKeepsItsEnd()
{
    LogText text(100);
    text.insert(0, U"old");
    QCOMPARE(text.makeRoom(250), Pos(3));
    QCOMPARE(text.size(), Pos(0));
}

void LogModelTest::rowsWrapAfterASpaceOrAnywhereInALongWord()
{
    LogText text;
    LogWrap wrap(text);
    wrap.setAdvances(fixedAdvances());
    wrap.setWidth(100);   // ten characters
    text.insert(0, U"ABCDE FGHIJKL  MNOPQRSTUVWXYZ0123\nW");
    auto rows = allRows(text, 100);
    QStringList shown;
    for (const Row &r : rows)
        shown << show(text.text(r.start, r.end));
    // the word that does not fit moves down with its spaces left behind; a word longer than
    // a row breaks at the last character that fits; spaces may hang past the edge
    QCOMPARE(shown, QStringList({"ABCDE ", "FGHIJKL  ", "MNOPQRSTUV", "WXYZ0123", "W"}));
    QVERIFY(rows[3].endsParagraph && !rows[2].endsParagraph);
    QCOMPARE(rows.back().next, Pos(-1));

    // a character wider than the row still gets a row of its own
    LogText wide;
    wide.insert(0, U"WWW");
    QCOMPARE(allRows(wide, 15).size(), std::size_t(3));
    // no width yet: a paragraph is one row
    QCOMPARE(allRows(text, 0).size(), std::size_t(2));
}

void LogModelTest::rowsAfterEditsMatchRowsWrappedFromScratch()
{
    std::mt19937 rng(11);
    LogText text;
    LogWrap wrap(text);
    wrap.setAdvances(fixedAdvances());
    wrap.setWidth(95);
    text.insert(0, randomText(rng, 3000));
    wrap.edited(0, 0, 3000);
    for (int round = 0; round < 300; ++round) {
        const Pos at = std::uniform_int_distribution<Pos>(0, text.size())(rng);
        if (round % 3) {
            const std::u32string s = randomText(rng, std::uniform_int_distribution<int>(1, 30)(rng));
            text.insert(at, s);
            wrap.edited(at, 0, Pos(s.size()));
        } else {
            const Pos to = std::min(text.size(), at + std::uniform_int_distribution<Pos>(1, 40)(rng));
            text.erase(at, to);
            wrap.edited(at, to - at, 0);
        }
        const std::vector<Row> rows = allRows(text, 95);
        // ask in an order that uses what the model remembers: near the edit, then anywhere
        for (Pos p : {at, at + 1, at - 1, std::uniform_int_distribution<Pos>(0, text.size())(rng)}) {
            p = std::clamp<Pos>(p, 0, text.size());
            auto expected = std::find_if(rows.begin(), rows.end(), [&](const Row &r) {
                return p >= r.start && (p < r.next || r.next < 0 || (r.endsParagraph && p <= r.end));
            });
            QVERIFY(expected != rows.end());
            const Row got = wrap.rowAt(p);
            QCOMPARE(got.start, expected->start);
            QCOMPARE(got.end, expected->end);
            QCOMPARE(got.next, expected->next);
            const Pos before = wrap.previousRowStart(got.start);
            QCOMPARE(before, expected == rows.begin() ? Pos(-1) : (expected - 1)->start);
        }
    }
}

void LogModelTest::editInTheMiddleOfALongParagraphForgetsOnlyWhatFollows()
{
    LogText text;
    LogWrap wrap(text);
    wrap.setAdvances(fixedAdvances());
    wrap.setWidth(100);
    text.insert(0, std::u32string(200000, U'A'));
    wrap.edited(0, 0, 200000);
    QCOMPARE(wrap.rowAt(199999).start, Pos(199990));
    QCOMPARE(wrap.rememberedRows(), std::size_t(20000));
    // inserting at row 10000 keeps the rows up to two before it
    text.insert(100005, U"B");
    wrap.edited(100005, 0, 1);
    QCOMPARE(wrap.rememberedRows(), std::size_t(9999));
    QCOMPARE(wrap.rowAt(100005).start, Pos(100000));
    QCOMPARE(wrap.rowAt(100005).end, Pos(100010));
    QCOMPARE(wrap.rowAt(200000).start, Pos(200000));
}

void LogModelTest::historyJoinsARunOnlyWhereItContinues()
{
    struct {
        const char *name;
        void (*run)(Document &);
        int entries;
    } cases[] = {
        {"typing on", [](Document &d) { d.type('a'), d.type('b'), d.type('c'); }, 1},
        {"typing elsewhere", [](Document &d) { d.type('a'), d.caret = 0, d.type('b'); }, 2},
        {"backspaces", [](Document &d) { d.caret = 4, d.backspace(), d.backspace(); }, 1},
        {"backspaces apart",
         [](Document &d) { d.caret = 4, d.backspace(), d.caret = 8, d.backspace(); }, 2},
        {"deletes", [](Document &d) { d.caret = 1, d.forwardDelete(), d.forwardDelete(); }, 1},
        {"deletes apart",
         [](Document &d) { d.caret = 1, d.forwardDelete(), d.caret = 5, d.forwardDelete(); }, 2},
        {"typing then backspace", [](Document &d) { d.type('a'), d.backspace(); }, 2},
        {"backspace then delete",
         [](Document &d) { d.caret = 2, d.backspace(), d.forwardDelete(); }, 2},
        {"a run ended", [](Document &d) { d.type('a'), d.history.endRun(), d.type('b'); }, 2},
        {"other edits",
         [](Document &d) {
             d.edit(0, 0, U"x", EditKind::Other);
             d.edit(1, 0, U"y", EditKind::Other);
         },
         2},
        // typing over a selection starts a run that the next key continues
        {"typing over a selection",
         [](Document &d) { d.edit(1, 2, U"a", EditKind::Typing), d.type('b'); }, 1},
        {"a paste between keys",
         [](Document &d) { d.type('a'), d.edit(1, 0, U"zz", EditKind::Other), d.type('b'); }, 3},
    };
    for (const auto &c : cases) {
        Document d;
        d.text = U"0123456789";
        c.run(d);
        const std::u32string after = d.text;
        QVERIFY2(!d.history.canRedo(), c.name);
        QVERIFY2(d.undoAll() == c.entries, c.name);
        QVERIFY2(d.text == U"0123456789", c.name);
        while (d.history.canRedo())
            d.redo();
        QVERIFY2(d.text == after, c.name);
    }

    // a joined backspace run keeps its characters in the order of the text
    Document d;
    d.text = U"abcdef";
    d.caret = 5;
    for (int i = 0; i < 3; ++i)
        d.backspace();
    QCOMPARE(show(d.text), QStringLiteral("abf"));
    QCOMPARE(d.undo(), Pos(3));
    QCOMPARE(show(d.text), QStringLiteral("abcdef"));
    QCOMPARE(d.caret, Pos(5));

    // a new edit after an undo forgets what could be redone
    d.type('x');
    QVERIFY(!d.history.canRedo());
    d.history.clear();
    QVERIFY(!d.history.canUndo());
}

void LogModelTest::undoingEverythingAndRedoingItGivesEachTextBack()
{
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        Document d;
        d.text = randomText(rng, 40);
        const std::u32string before = d.text;
        for (int step = 0; step < 60; ++step) {
            const Pos size = Pos(d.text.size());
            switch (std::uniform_int_distribution<int>(0, 9)(rng)) {
            case 0:
            case 1:
            case 2:
                d.type(U"ab \n"[step % 4]);
                break;
            case 3:
            case 4:
                if (d.caret > 0)
                    d.backspace();
                break;
            case 5:
            case 6:
                if (d.caret < size)
                    d.forwardDelete();
                break;
            case 7:   // the caret moved: the run ends
                d.caret = std::uniform_int_distribution<Pos>(0, size)(rng);
                d.history.endRun();
                break;
            default: {   // a paste over a selection
                const Pos at = std::uniform_int_distribution<Pos>(0, size)(rng);
                const Pos n = std::uniform_int_distribution<Pos>(0, size - at)(rng);
                d.edit(at, n, randomText(rng, 3), EditKind::Other);
            }
            }
        }
        const std::u32string after = d.text;
        d.undoAll();
        QVERIFY(d.text == before);
        QVERIFY(!d.history.canUndo());
        while (d.history.canRedo())
            d.redo();
        QVERIFY(d.text == after);
    }
}

QTEST_GUILESS_MAIN(LogModelTest)
#include "test_logmodel.moc"

// What one insertion into the log costs and what the log costs in memory, for the log control
// and, as the baseline, the plain text edit the window used before. Both sit in a shown window
// that repaints at most 60 times a second, as in the program.
//   usage: log_bench new|old   (one control per run, so that memory figures start clean)
//
// Cases: (a) an empty log; (b) a million characters in lines of 37; (c) one paragraph of
// 200,000 characters that never receives a "Z"; (d) inserting at a caret placed in the middle
// of that paragraph; (e) 100,000 received bytes taking every value 1 to 255 in turn, a far end
// gone wrong: most of them drawn as hex boxes. Insertions follow the test cycle, with a line
// added after each "Z" in (a) and (b), as the tick does; in (e) they go on through the byte
// values. "repaint" is one full paint of the control's text area.
#include "bench/stats.h"
#include "looptest/exchange.h"
#include "looptest/fonts.h"
#include "looptest/layout.h"
#include "testcycle/testcycle.h"
#include "vcl/controls.h"
#include "vcl/form.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QImage>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const QString cycle = QString::fromLatin1(testcycle::kChars);

class Log {
public:
    virtual ~Log() = default;
    virtual QAbstractScrollArea *widget() = 0;
    virtual void insert(const QString &text) = 0;   // the tick's insertion
    virtual void addLine() = 0;                     // the tick's line after a "Z"
    virtual void fill(const QString &text) = 0;     // a log that holds `text`, caret at the end
    virtual void caretTo(long position) = 0;
    virtual long length() const = 0;
};

// The log control.
class NewLog : public Log {
public:
    explicit NewLog(QWidget *parent)
        : edit(new TRichEdit(parent, Layout::richEdit1, QString(), JapaneseFont(12, false)))
    {
    }
    QAbstractScrollArea *widget() override { return edit; }
    void insert(const QString &text) override { edit->SetSelText(text); }
    void addLine() override { edit->Lines->Add(QString()); }
    void fill(const QString &text) override
    {
        edit->setPlainText(text);
        caretTo(long(edit->length()));
    }
    void caretTo(long position) override { edit->setSelection(position, position); }
    long length() const override { return long(edit->length()); }

private:
    TRichEdit *edit;
};

// The plain text edit the log used to be, with the program's edits as the window made them.
class OldLog : public Log {
public:
    explicit OldLog(QWidget *parent) : edit(new QPlainTextEdit(parent))
    {
        edit->setFont(JapaneseFont(12, false));
        edit->setGeometry(Layout::richEdit1);
        edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        edit->setTabChangesFocus(true);
    }
    QAbstractScrollArea *widget() override { return edit; }
    void insert(const QString &text) override
    {
        withoutUndo([&] {
            QTextCursor cursor = edit->textCursor();
            cursor.insertText(text);
        });
        edit->ensureCursorVisible();
    }
    void addLine() override
    {
        withoutUndo([&] {
            QTextCursor cursor(edit->document());
            cursor.movePosition(QTextCursor::End);
            cursor.insertBlock();
            edit->setTextCursor(cursor);
        });
    }
    void fill(const QString &text) override
    {
        withoutUndo([&] { edit->setPlainText(text); });
        caretTo(length());
    }
    void caretTo(long position) override
    {
        QTextCursor cursor = edit->textCursor();
        cursor.setPosition(int(position));
        edit->setTextCursor(cursor);
    }
    long length() const override { return edit->document()->characterCount() - 1; }

private:
    template <class F> void withoutUndo(F f)
    {
        edit->document()->setUndoRedoEnabled(false);
        f();
        edit->document()->setUndoRedoEnabled(true);
    }
    QPlainTextEdit *edit;
};

// `count` insertions of the cycle (without "Z" when `lines` is false), each timed with the
// events it causes.
std::vector<double> insertions(Log &log, int count, bool lines)
{
    std::vector<double> costs;
    const int period = lines ? testcycle::kLength : testcycle::kLength - 1;   // without "Z"
    for (int i = 0; i < count; ++i) {
        const QString c = cycle.mid(i % period, 1);
        const auto start = Clock::now();
        log.insert(c);
        if (lines && c == u"Z")
            log.addLine();
        QCoreApplication::processEvents();
        costs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return costs;
}

// `count` insertions of the byte values 1 to 255 in turn, from `first`, as the tick makes them.
std::vector<double> byteInsertions(Log &log, int count, int first)
{
    std::vector<double> costs;
    for (int i = 0; i < count; ++i) {
        const unsigned char b = static_cast<unsigned char>(1 + (first + i) % 255);
        const auto start = Clock::now();
        log.insert(ReceivedText(b));
        if (b == 'Z')
            log.addLine();
        QCoreApplication::processEvents();
        costs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return costs;
}

QString allBytes(long characters)
{
    QString s;
    for (long i = 0; s.size() < characters; ++i) {
        const unsigned char b = static_cast<unsigned char>(1 + i % 255);
        s.append(ReceivedText(b));
        if (b == 'Z')
            s.append(u'\n');
    }
    return s;
}

// One paint of the text area, into an image: the window itself repaints at most 60 times a
// second and would let most repaint requests wait.
double repaint(Log &log)
{
    QWidget *area = log.widget()->viewport();
    QImage image(area->size(), QImage::Format_ARGB32_Premultiplied);
    std::vector<double> costs;
    for (int i = 0; i < 50; ++i) {
        const auto start = Clock::now();
        area->render(&image);
        costs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return percentile(costs, 50);
}

void row(const char *control, const char *what, Log &log, const std::vector<double> &costs)
{
    std::printf("| %-8s | %-42s | %9ld | %8.1f | %8.1f | %8.1f |\n", control, what, log.length(),
                percentile(costs, 50), percentile(costs, 99), repaint(log));
    std::fflush(stdout);
}

QString text(long characters, bool lines)
{
    QString s;
    s.reserve(characters);
    const int period = lines ? testcycle::kLength : testcycle::kLength - 1;   // without "Z"
    for (long i = 0; s.size() < characters; ++i) {
        s.append(cycle[int(i % period)]);
        if (lines && i % period == period - 1)
            s.append(u'\n');
    }
    s.truncate(characters);
    return s;
}

void settle()
{
    for (int i = 0; i < 30; ++i)
        QCoreApplication::processEvents();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const bool old = argc > 1 && std::strcmp(argv[1], "old") == 0;
    const char *name = old ? "before" : "log";
    // the old control lays out a long paragraph again at every insertion: fewer samples there
    const int samples = 3000, longSamples = old ? 30 : 3000;

    TForm window;
    window.SetBounds(Layout::form.x(), Layout::form.y(), Layout::form.width(),
                     Layout::form.height());
    std::unique_ptr<Log> log;
    if (old)
        log = std::make_unique<OldLog>(&window);
    else
        log = std::make_unique<NewLog>(&window);
    window.show();
    settle();

    insertions(*log, 200, true);   // warm up
    log->fill(QString());
    settle();
    row(name, "(a) empty log", *log, insertions(*log, samples, true));

    log->fill(QString());
    settle();
    const long before = residentBytes();
    log->fill(text(1000000, true));
    settle();
    const long grown = residentBytes() - before;
    const long filled = log->length();
    row(name, "(b) a million characters in lines of 37", *log, insertions(*log, samples, true));

    log->fill(text(200000, false));
    settle();
    row(name, "(c) one paragraph of 200,000, no Z", *log, insertions(*log, longSamples, false));

    log->caretTo(100000);
    settle();
    row(name, "(d) caret in the middle of that paragraph", *log,
        insertions(*log, longSamples, false));

    log->fill(allBytes(100000));
    settle();
    row(name, "(e) 100,000 bytes of every value in turn", *log,
        byteInsertions(*log, samples, int(log->length() % 255)));

    std::printf("\n%s: %.2f bytes per logged character (resident +%.1f MB for %ld characters)\n",
                name, double(grown) / std::max(1L, filled), grown / 1e6, filled);
    return 0;
}

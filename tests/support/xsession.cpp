#include "tests/support/xsession.h"

#include <QElapsedTimer>
#include <QThread>

XSession::XSession()
{
    session.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    session.start(QStringLiteral(XSESSION_SCRIPT), {});
    // the script waits up to 15 s for the server and as long again for the window manager
    display = QString::fromLocal8Bit(lineFromSession(40000)).trimmed();
}

XSession::~XSession()
{
    session.closeWriteChannel();   // the script takes the display down
    if (!session.waitForFinished(10000)) {
        session.terminate();
        if (!session.waitForFinished(5000))
            session.kill();
        session.waitForFinished(5000);
    }
}

QByteArray XSession::lineFromSession(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!session.canReadLine() && clock.elapsed() < timeoutMs &&
           session.state() != QProcess::NotRunning)
        session.waitForReadyRead(500);
    return session.canReadLine() ? session.readLine() : QByteArray();
}

QProcessEnvironment XSession::environment(QProcessEnvironment base) const
{
    base.insert(QStringLiteral("DISPLAY"), display);
    base.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return base;
}

QString XSession::tool(const QString &program, const QStringList &args, int timeoutMs) const
{
    QProcess p;
    p.setProcessEnvironment(environment(QProcessEnvironment::systemEnvironment()));
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(2000);
    }
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

QString XSession::waitForWindow(const QString &title, int timeoutMs) const
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        const QStringList ids = tool(QStringLiteral("xdotool"), {"search", "--onlyvisible",
                                                                 "--name", titlePattern(title)})
                                    .split('\n', Qt::SkipEmptyParts);
        if (!ids.isEmpty())
            return ids.first();
        QThread::msleep(100);
    }
    return QString();
}

QString XSession::titlePattern(const QString &title)
{
    QString pattern;
    for (const QChar c : title) {
        if (QStringView(u".[]()*+?{}|^$\\").contains(c))
            pattern += u'\\';
        pattern += c;
    }
    return pattern;
}

void XSession::killServer()
{
    session.write("kill-server\n");
    session.waitForBytesWritten(5000);
    lineFromSession(5000);   // "killed"
}

MapWatch::MapWatch(const XSession &x)
{
    xev.setProcessEnvironment(x.environment(QProcessEnvironment::systemEnvironment()));
    xev.start(QStringLiteral("xev"), {"-root", "-event", "substructure"});
    xev.waitForStarted(5000);
    QThread::msleep(300);   // xev says nothing until it sees an event: give it time to listen
}

MapWatch::~MapWatch()
{
    if (xev.state() != QProcess::NotRunning) {
        xev.kill();
        xev.waitForFinished(2000);
    }
}

bool MapWatch::sawAMap()
{
    QThread::msleep(200);   // let the server deliver what the program did last
    xev.kill();
    xev.waitForFinished(2000);
    return xev.readAllStandardOutput().contains("MapNotify");
}

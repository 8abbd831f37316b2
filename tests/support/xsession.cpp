#include "tests/support/xsession.h"

#include <QElapsedTimer>
#include <QThread>

XSession::XSession()
{
    server.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1024x768x24",
                                          "-nolisten", "tcp"});
    if (!server.waitForStarted(10000))
        return;
    QElapsedTimer clock;
    clock.start();
    QByteArray number;
    while (!number.contains('\n') && clock.elapsed() < 15000 && server.state() == QProcess::Running) {
        server.waitForReadyRead(500);
        number += server.readAllStandardOutput();
    }
    if (!number.contains('\n'))
        return;
    display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    windowManager.setProcessEnvironment(env);
    windowManager.start(QStringLiteral("openbox"), {});
    windowManager.waitForStarted(10000);
    // openbox is ready once it has claimed the root window for its events
    while (clock.elapsed() < 15000 &&
           !tool(QStringLiteral("xprop"), {"-root", "_NET_SUPPORTING_WM_CHECK"})
                .contains(QStringLiteral("window id")))
        QThread::msleep(100);
}

XSession::~XSession()
{
    for (QProcess *p : {&windowManager, &server}) {
        p->terminate();
        if (!p->waitForFinished(5000))
            p->kill();
        p->waitForFinished(5000);
    }
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
                                                                 "--name", title})
                                    .split('\n', Qt::SkipEmptyParts);
        if (!ids.isEmpty())
            return ids.first();
        QThread::msleep(100);
    }
    return QString();
}

void XSession::killServer()
{
    server.kill();
    server.waitForFinished(5000);
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

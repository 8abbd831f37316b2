// A private X display (Xvfb) with a window manager (openbox), as scripts/xsession.sh makes it
// for the benches and screenshots, and the X tools the end-to-end tests drive it with.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

class XSession {
public:
    XSession();
    ~XSession();
    XSession(const XSession &) = delete;
    XSession &operator=(const XSession &) = delete;
    bool ok() const { return !display.isEmpty(); }
    QProcessEnvironment environment(QProcessEnvironment base) const;
    // Runs an X tool to its end; returns its standard output.
    QString tool(const QString &program, const QStringList &args, int timeoutMs = 10000) const;
    // The window whose title contains `title`, waiting up to `timeoutMs`; empty if none came.
    QString waitForWindow(const QString &title, int timeoutMs) const;
    // What xdotool's search takes (a regular expression) to find a title containing `title`.
    static QString titlePattern(const QString &title);
    // Kills the X server at once, as a crash would: its clients lose the display.
    void killServer();

private:
    // The next line the session script prints, waiting up to `timeoutMs`; empty if none came.
    QByteArray lineFromSession(int timeoutMs);
    QProcess session;
    QString display;
};

// Records the windows mapped on a display while it lives.
class MapWatch {
public:
    explicit MapWatch(const XSession &x);
    ~MapWatch();
    MapWatch(const MapWatch &) = delete;
    MapWatch &operator=(const MapWatch &) = delete;
    // Stops watching; true when any window was mapped meanwhile.
    bool sawAMap();

private:
    QProcess xev;
};

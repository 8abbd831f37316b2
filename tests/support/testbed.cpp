#include "tests/support/testbed.h"

#include <QFile>

#include <poll.h>
#include <unistd.h>

ComTestbed::ComTestbed(Kind kind, Ioctls ioctls)
{
    std::string error;
    if (!create(kind, ioctls, error))
        qFatal("%s", error.c_str());
}

QString ComTestbed::devicePath() const
{
    return QFile::symLinkTarget(QFile::decodeName(root().c_str()) + QStringLiteral("/dev/COM3"));
}

void ComTestbed::send(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(far(), bytes.constData() + done, bytes.size() - done);
        if (n > 0)
            done += n;
        else {
            pollfd p{far(), POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
}

QByteArray ComTestbed::receive(int quietMs)
{
    QByteArray got;
    for (;;) {
        pollfd p{far(), POLLIN, 0};
        if (poll(&p, 1, quietMs) <= 0 || !(p.revents & POLLIN))
            return got;
        char buf[4096];
        ssize_t n = read(far(), buf, sizeof buf);
        if (n <= 0)
            return got;
        got.append(buf, n);
    }
}

QProcessEnvironment ComTestbed::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QByteArray preload = env.value(QStringLiteral("LD_PRELOAD")).toLocal8Bit();
    for (const auto &[name, value] : Com3Testbed::environment(preload.constData()))
        env.insert(QString::fromStdString(name), QFile::decodeName(value.c_str()));
    return env;
}

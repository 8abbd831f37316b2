#include "tests/support/testbed.h"

#include "tests/support/fdio.h"

#include <QFile>

ComTestbed::ComTestbed(Kind kind, Ioctls ioctls)
{
    if (!create(kind, ioctls))
        qFatal("%s", failure().c_str());
}

QString ComTestbed::devicePath() const
{
    return QFile::symLinkTarget(QFile::decodeName(root().c_str()) + QStringLiteral("/dev/COM3"));
}

void ComTestbed::send(const QByteArray &bytes)
{
    writeAll(far(), bytes);
}

QByteArray ComTestbed::receive(int quietMs)
{
    return readUntilQuiet(far(), quietMs);
}

QProcessEnvironment ComTestbed::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QByteArray preload = env.value(QStringLiteral("LD_PRELOAD")).toLocal8Bit();
    for (const auto &[name, value] : Com3Testbed::environment(preload.constData()))
        env.insert(QString::fromStdString(name), QFile::decodeName(value.c_str()));
    return env;
}

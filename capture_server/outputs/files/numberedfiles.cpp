#include "numberedfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <system_error>
#include <unistd.h>

QString imageFileName(const QString &prefix, qint64 number, const QString &format)
{
    return prefix + QString::number(number) + QLatin1Char('.') + format;
}

qint64 firstFreeImageNumber(const QString &prefix, const QString &format)
{
    const QFileInfo info(prefix + QLatin1String("0.") + format);
    const QString stem = QFileInfo(prefix).fileName();
    const QRegularExpression pattern(QLatin1Char('^') + QRegularExpression::escape(stem)
                                     + QLatin1String("(0|[1-9][0-9]*)\\.")
                                     + QRegularExpression::escape(format) + QLatin1Char('$'));
    qint64 next = 0;
    const QStringList names = info.dir().entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch())
            continue;
        bool fits = false;
        const qint64 number = match.capturedView(1).toLongLong(&fits);
        // A number too long for the counter was never written by us: it is neither continued
        // from nor ever overwritten (no counter value spells it).
        if (!fits)
            continue;
        if (number == std::numeric_limits<qint64>::max())
            return NoFreeImageNumber;
        next = std::max(next, number + 1);
    }
    return next;
}

int createNumberedFile(const QString &prefix, const QString &extension, QString &fileName, std::string &error)
{
    QDir().mkpath(QFileInfo(prefix + QLatin1String("0.") + extension).path());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const qint64 number = firstFreeImageNumber(prefix, extension);
        if (number == NoFreeImageNumber) {
            error = "no file number left";
            return -1;
        }
        fileName = imageFileName(prefix, number, extension);
        const int fd = ::open(QFile::encodeName(fileName).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST) { // EEXIST: another program took the number meanwhile
            error = std::generic_category().message(errno);
            return -1;
        }
    }
    error = "every number tried was taken meanwhile";
    return -1;
}

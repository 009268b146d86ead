#include "numberedfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
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

int createUnnamedFile(const QString &prefix, const QString &extension, std::string &error)
{
    const QString folder = QFileInfo(prefix + QLatin1String("0.") + extension).path();
    QDir().mkpath(folder);
    const QByteArray path = QFile::encodeName(folder);
    const int fd = ::open(path.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd >= 0)
        return fd;
    // EISDIR: a kernel that has no unnamed files; EOPNOTSUPP: a file system without them.
    if (errno != EOPNOTSUPP && errno != EISDIR) {
        error = std::generic_category().message(errno);
        return -1;
    }
    // The bytes wait in memory until the file is named; whether the folder takes files at all is
    // known now rather than at the first frame.
    if (::access(path.constData(), W_OK | X_OK) != 0) {
        error = std::generic_category().message(errno);
        return -1;
    }
    const int memory = ::memfd_create("capture", MFD_CLOEXEC);
    if (memory < 0)
        error = std::generic_category().message(errno);
    return memory;
}

namespace {

enum class Naming { Named, Taken, Failed };

// Writes a new file `name` (never over one) with the bytes of `fd`, and makes `fd` that file. A
// program killed between the file's creation and the end of its one write leaves it short: this
// is only for file systems without unnamed files.
Naming copyIntoNewFile(int fd, const QByteArray &name, std::string &error)
{
    const auto failed = [&error](int code) {
        error = std::generic_category().message(code);
        return Naming::Failed;
    };
    struct stat info {};
    const off_t offset = ::lseek(fd, 0, SEEK_CUR);
    if (::fstat(fd, &info) != 0 || offset < 0)
        return failed(errno);
    std::string bytes(size_t(info.st_size), '\0');
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t got = ::pread(fd, bytes.data() + done, bytes.size() - done, off_t(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return failed(got < 0 ? errno : EIO);
        done += size_t(got);
    }
    const int file = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file < 0)
        return errno == EEXIST ? Naming::Taken : failed(errno);
    int problem = 0;
    for (size_t done = 0; done < bytes.size() && problem == 0;) {
        const ssize_t written = ::write(file, bytes.data() + done, bytes.size() - done);
        if (written > 0)
            done += size_t(written);
        else if (written == 0 || errno != EINTR)
            problem = written == 0 ? ENOSPC : errno;
    }
    if (problem == 0 && (::lseek(file, offset, SEEK_SET) != offset || ::dup2(file, fd) != fd))
        problem = errno;
    if (problem != 0)
        ::unlink(name.constData());
    ::close(file);
    return problem == 0 ? Naming::Named : failed(problem);
}

} // namespace

bool nameNumberedFile(int fd, const QString &prefix, const QString &extension, qint64 number, QString &fileName,
                      std::string &error)
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (number == NoFreeImageNumber) {
            error = "no file number left";
            return false;
        }
        fileName = imageFileName(prefix, number, extension);
        const QByteArray name = QFile::encodeName(fileName);
        // Linking never replaces a file: EEXIST when the name is taken.
        Naming naming = Naming::Named;
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) != 0) {
            // EXDEV: the bytes wait in memory (or there is no /proc to link from): copied instead.
            naming = errno == EEXIST ? Naming::Taken : copyIntoNewFile(fd, name, error);
        }
        if (naming != Naming::Taken)
            return naming == Naming::Named;
        number = std::max(number + 1, firstFreeImageNumber(prefix, extension));
    }
    error = "every number tried was taken meanwhile";
    return false;
}

#include "LogFilePruning.h"

#include "FolderWalk.h"
#include "Logging.h"
#include "UserDefaults.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The stamp and the copy number of a log-file name, for ordering.
struct LogFileName {
    QByteArray name;
    QString stamp;
    qint64 copy = 0;
};

QRegularExpression logFilePattern(const QString& productName)
{
    return QRegularExpression(QStringLiteral("^%1-(\\d{4}-\\d{2}-\\d{2}-\\d{6})(?:-(\\d{1,9}))?\\.log$")
                                  .arg(QRegularExpression::escape(productName)));
}

// The folder through the folder walk: no link on the way, no folder of another user.
int openFolder(const QString& folder, QString* error)
{
    return platform::folders::openFolder(QFileInfo(folder).absoluteFilePath(), false, error);
}

// Regular log files of the open folder, oldest first.
QList<LogFileName> listLogFiles(int folderFd, const QString& productName)
{
    QList<LogFileName> found;
    const int listFd = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    if (listFd < 0)
        return found;
    DIR* listing = ::fdopendir(listFd);
    if (!listing) {
        ::close(listFd);
        return found;
    }
    const QRegularExpression pattern = logFilePattern(productName);
    while (const dirent* entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        const auto match = pattern.match(QFile::decodeName(name));
        // Decoding must give the same bytes back: a name that only looks like
        // a log file after a lossy decoding is not one.
        if (!match.hasMatch() || QFile::encodeName(QFile::decodeName(name)) != name)
            continue;
        struct stat status {};
        if (::fstatat(folderFd, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
            continue;
        found.append({name, match.captured(1), match.captured(2).toLongLong()});
    }
    ::closedir(listing);
    std::sort(found.begin(), found.end(), [](const LogFileName& a, const LogFileName& b) {
        return a.stamp != b.stamp ? a.stamp < b.stamp : a.copy < b.copy;
    });
    return found;
}

} // namespace

bool isLogFileName(const QString& name, const QString& productName)
{
    return logFilePattern(productName).match(name).hasMatch();
}

QList<QByteArray> logFileNames(int folderFd, const QString& productName)
{
    QList<QByteArray> names;
    for (const LogFileName& file : listLogFiles(folderFd, productName))
        names.append(file.name);
    return names;
}

QList<QByteArray> pruneLogFiles(const QString& folder, const QString& productName, int keep, const QByteArray& inUse,
                                QString* error)
{
    QList<QByteArray> removed;
    const int fd = openFolder(folder, error);
    if (fd < 0)
        return removed;
    const QList<LogFileName> files = listLogFiles(fd, productName);
    const qsizetype excess = files.size() - std::max(keep, 0);
    for (qsizetype i = 0; i < excess; ++i) {
        const QByteArray& name = files.at(i).name;
        if (name == inUse)
            continue;
        // unlinkat removes the name itself; a link put there meanwhile is
        // removed as a link, its target untouched.
        if (::unlinkat(fd, name.constData(), 0) == 0)
            removed.append(name);
        else
            logError("Could not remove the old log file \"%1/%2\" (%3)", folder, escapedForLog(QFile::decodeName(name)),
                     QString::fromLocal8Bit(std::strerror(errno)));
    }
    ::close(fd);
    return removed;
}

void pruneLogFilesIfAsked(const QString& logFilePath, const QString& productName)
{
    const QString key = QString::fromLatin1(kLogFilesToKeep);
    const QVariant value = platform::UserDefaults::standardUserDefaults().objectForKey(key);
    if (!value.isValid() || logFilePath.isEmpty())
        return;
    bool isNumber = false;
    const qint64 keep = value.toLongLong(&isNumber);
    const bool numeric = value.typeId() == QMetaType::LongLong || value.typeId() == QMetaType::Int
                         || value.typeId() == QMetaType::QString;
    if (!numeric || !isNumber || keep < 1) {
        logError("\"%1\" must be a whole number of at least 1, not \"%2\"; keeping every log file", key,
                 escapedForLog(value.toString()));
        return;
    }
    const QFileInfo current(logFilePath);
    QString error;
    const QList<QByteArray> removed = pruneLogFiles(current.absolutePath(), productName,
                                                    int(std::min<qint64>(keep, INT32_MAX)),
                                                    QFile::encodeName(current.fileName()), &error);
    if (!error.isEmpty()) {
        logError("Could not examine the log folder \"%1\" for old log files (%2)", current.absolutePath(),
                 escapedForLog(error));
        return;
    }
    for (const QByteArray& name : removed)
        logVerbose("Removed the old log file \"%1\"", escapedForLog(QFile::decodeName(name)));
    if (removed.isEmpty())
        logVerbose("Log files: keeping the newest %1, none to remove", keep);
    else
        logNormal("Log files: keeping the newest %1, removed %2", keep, removed.size());
}

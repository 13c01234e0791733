#include "LauncherRun.h"

#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

namespace testing_support {

bool writeCoreOnlyManifest(const QString& resources)
{
    const QVariantMap core{{QStringLiteral("Type"), QStringLiteral("CoreApp")},
                           {QStringLiteral("Name"), QStringLiteral("QuorbelCore")},
                           {QStringLiteral("Resource"), QStringLiteral("QuorbelCore.app")}};
    return writePlist(resources + QStringLiteral("/RequiredItems.plist"),
                      QVariantMap{{QStringLiteral("RequiredItems"), QVariantList{core}}});
}

LauncherRun::LauncherRun(const QString& bundleFolder)
{
    m_home = m_dir.path() + QStringLiteral("/home");
    m_root = m_dir.path() + QStringLiteral("/root");
    const QString folder = bundleFolder.startsWith(u'~') ? m_home + bundleFolder.mid(1) : m_root + bundleFolder;
    QDir().mkpath(m_home);
    QDir().mkpath(folder);
    m_bundle = folder + QStringLiteral("/Quorbel.app");
    QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-pR"), QStringLiteral(QB_BUNDLE_DIR), m_bundle});
    writeCoreOnlyManifest(resources());

    m_environment = QProcessEnvironment::systemEnvironment();
    m_environment.insert(QStringLiteral("HOME"), m_home);
    m_environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home + QStringLiteral("/.config"));
    m_environment.insert(QStringLiteral("XDG_DATA_HOME"), m_home + QStringLiteral("/.local/share"));
    m_environment.insert(QStringLiteral("QUORBEL_SYSTEM_ROOT"), m_root);
    m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_environment.remove(QStringLiteral("QUORBEL_CORE_KEEP_RUNNING"));
    // A runtime folder of its own: runs side by side must not share the one-launcher lock.
    const QString runtime = m_dir.path() + QStringLiteral("/run");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
}

int LauncherRun::run(int timeoutMs)
{
    return run(QStringList(), timeoutMs);
}

int LauncherRun::run(const QStringList& arguments, int timeoutMs)
{
    start(arguments);
    return finish(timeoutMs);
}

LauncherRun::~LauncherRun()
{
    if (m_process)
        finish(0);
}

void LauncherRun::start(const QStringList& arguments)
{
    m_process = std::make_unique<QProcess>();
    m_process->setProcessEnvironment(m_environment);
    m_process->setProgram(executable());
    m_process->setArguments(arguments);
    if (m_childSetup)
        m_process->setChildProcessModifier(m_childSetup);
    m_process->start();
}

qint64 LauncherRun::processId() const
{
    return m_process ? m_process->processId() : 0;
}

int LauncherRun::finish(int timeoutMs)
{
    const std::unique_ptr<QProcess> launcher = std::move(m_process);
    const bool finished = launcher->waitForFinished(timeoutMs);
    if (!finished) {
        launcher->kill();
        launcher->waitForFinished();
    }
    m_stderr = QString::fromUtf8(launcher->readAllStandardError());
    m_stdout = QString::fromUtf8(launcher->readAllStandardOutput());
    if (!finished)
        return -1;
    return launcher->exitStatus() == QProcess::NormalExit ? launcher->exitCode() : -1;
}

void LauncherRun::setUserDefaults(const QVariantMap& values) const
{
    writePlist(m_home + QStringLiteral("/.config/com.quorbel.Quorbel.plist"), values);
}

QString LauncherRun::logFile() const
{
    const QDir logs(m_home + QStringLiteral("/Library/Logs/Quorbel/Quorbel"));
    const QStringList files = logs.entryList({QStringLiteral("Quorbel-*.log")}, QDir::Files, QDir::Time);
    return files.isEmpty() ? QString() : logs.filePath(files.first());
}

QStringList LauncherRun::logLines() const
{
    const QString path = logFile();
    return path.isEmpty() ? QStringList() : QString::fromUtf8(readFile(path)).split(u'\n', Qt::SkipEmptyParts);
}

QStringList LauncherRun::normalMessages() const
{
    static const QRegularExpression normal(QStringLiteral(R"(^\S+ \S+ \S+\[\d+\] \(nrm\) \[[^\]]*\] (.*)$)"));
    QStringList messages;
    for (const QString& line : logLines()) {
        const auto match = normal.match(line);
        if (match.hasMatch())
            messages.append(match.captured(1));
    }
    return messages;
}

QStringList LauncherRun::coreLog(int timeoutMs) const
{
    const QString path = m_home + QStringLiteral("/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log");
    QElapsedTimer timer;
    timer.start();
    // The core makes the file before it writes its line.
    QByteArray text = readFile(path);
    while (!text.endsWith('\n') && timer.elapsed() < timeoutMs) {
        QThread::msleep(20);
        text = readFile(path);
    }
    return QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
}

} // namespace testing_support

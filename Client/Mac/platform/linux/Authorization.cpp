#include "Authorization.h"

#include "Bundle.h"
#include "PathChecks.h"
#include "PkexecOutcome.h"
#include "SystemLocations.h"
#include "helper/PrivilegedRequests.h"

#include <QFile>
#include <QMutex>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {
namespace {

QString pkexecPath()
{
#ifdef QB_TEST_HOOKS
    // Test builds may stand a counting program in for pkexec.
    if (getauxval(AT_SECURE) == 0) {
        const QString chosen = qEnvironmentVariable("QUORBEL_PKEXEC");
        if (!chosen.isEmpty())
            return chosen;
    }
#endif
    return QStringLiteral("/usr/bin/pkexec");
}

// With a desktop session the desktop's agent asks; pkexec's own agent would
// ask on the launcher's terminal, where no one looks.
bool hasDesktopSession()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// pkexec's messages are told apart by their untranslated text.
std::vector<QByteArray> environmentInPlainLocale()
{
    std::vector<QByteArray> variables;
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "LC_ALL=", 7) != 0)
            variables.emplace_back(*entry);
    }
    variables.emplace_back("LC_ALL=C");
    return variables;
}

QByteArray readFromStart(int fd, qsizetype limit)
{
    QByteArray text(limit, Qt::Uninitialized);
    const ssize_t got = fd >= 0 ? ::pread(fd, text.data(), static_cast<size_t>(limit), 0) : -1;
    text.resize(got > 0 ? got : 0);
    return text;
}

// The helper ends on its own once its action is done: a late "stop" finds
// its input closed, which must not end this process with SIGPIPE.
bool writeAll(int fd, const QByteArray& bytes)
{
    sigset_t pipeSignal;
    sigset_t before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    qsizetype written = 0;
    bool whole = true;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (errno == EPIPE) {
                const timespec now{};
                (void)sigtimedwait(&pipeSignal, nullptr, &now);
            }
            whole = false;
            break;
        }
        written += n;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return whole;
}

// Buffered reads of the helper's answers.
class AnswerReader {
public:
    explicit AnswerReader(int fd) : m_fd(fd) {}
    bool readLine(QByteArray* line)
    {
        for (;;) {
            const qsizetype end = m_buffer.indexOf('\n');
            if (end >= 0) {
                *line = m_buffer.left(end);
                m_buffer.remove(0, end + 1);
                return true;
            }
            if (!fill())
                return false;
        }
    }

private:
    bool fill()
    {
        char chunk[4096];
        for (;;) {
            const ssize_t got = ::read(m_fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            m_buffer.append(chunk, got);
            return true;
        }
    }
    int m_fd;
    QByteArray m_buffer;
};

// Not dumpable while any session exists: no other process of the user can
// open this process's descriptors (the helper's input among them) through
// /proc, nor attach to it.
class NotDumpable {
public:
    NotDumpable()
    {
        QMutexLocker lock(&s_lock);
        if (s_sessions++ == 0) {
            s_before = ::prctl(PR_GET_DUMPABLE);
            (void)::prctl(PR_SET_DUMPABLE, 0);
        }
    }
    ~NotDumpable()
    {
        QMutexLocker lock(&s_lock);
        if (--s_sessions == 0 && s_before == 1)
            (void)::prctl(PR_SET_DUMPABLE, 1);
    }
    NotDumpable(const NotDumpable&) = delete;
    NotDumpable& operator=(const NotDumpable&) = delete;

private:
    static inline QMutex s_lock;
    static inline int s_sessions = 0;
    static inline int s_before = 1;
};

std::string bytesOf(const QString& text)
{
    return QFile::encodeName(text).toStdString();
}

privileged::Action rootSideAction(const PrivilegedAction& action)
{
    privileged::Action converted;
    switch (action.kind) {
    case PrivilegedAction::Kind::Move:
    case PrivilegedAction::Kind::None:
        converted.kind = privileged::ActionKind::Move;
        break;
    case PrivilegedAction::Kind::Repair:
        converted.kind = privileged::ActionKind::Repair;
        break;
    case PrivilegedAction::Kind::RepairPermissions:
        converted.kind = privileged::ActionKind::RepairPermissions;
        break;
    }
    converted.folder = bytesOf(action.folder);
    converted.name = bytesOf(action.name);
    converted.sourceDevice = static_cast<dev_t>(action.source.device);
    converted.sourceInode = static_cast<ino_t>(action.source.inode);
    for (const auto& [path, identity] : action.removals)
        converted.removals.push_back({bytesOf(path), static_cast<dev_t>(identity.device), static_cast<ino_t>(identity.inode)});
    return converted;
}

// The root side's counts fit: the parser takes no more than 18 digits.
std::optional<files::CopyProgress> progressOf(const std::optional<privileged::CopyProgress>& progress)
{
    if (!progress)
        return std::nullopt;
    return files::CopyProgress{qint64(progress->files), qint64(progress->bytes), qint64(progress->totalFiles),
                               qint64(progress->totalBytes)};
}

class SystemSession final : public AuthorizationSession {
public:
    ~SystemSession() override { endHelper(); }

    int32_t copyAdminRights() override
    {
        QMutexLocker lock(&m_lock);
        if (m_inProcess || m_helper > 0)
            return errAuthorizationSuccess;
        if (action().kind == PrivilegedAction::Kind::None)
            return errAuthorizationInvalidSet;
        // The action's arguments are checked as the helper checks them, before anyone is asked.
        std::string why;
        const std::optional<privileged::Action> checked = privileged::parseAction(
            privileged::actionArguments(rootSideAction(action())), &why);
        if (!checked)
            return errAuthorizationInvalidSet;
        if (::geteuid() == 0) {
            m_inProcess = std::make_unique<privileged::Session>(*checked, ::getuid(), privileged::Place::InProcess);
            return errAuthorizationSuccess;
        }
        const QString bundle = Bundle::mainBundle().bundlePath();
        if (!isPlainFileInBundle(bundle, QString::fromLatin1(privileged::kHelperExecutable)))
            return errAuthorizationToolExecuteFailure;
        const int32_t started = startHelper(bundle + u'/' + QLatin1String(privileged::kHelperExecutable),
                                            privileged::actionArguments(*checked));
        if (started != errAuthorizationSuccess)
            return started;
        m_asking = m_helper;
        QByteArray line;
        const bool ready = m_answers->readLine(&line) && line == "ready";
        m_asking = -1;
        if (ready && !m_stopAsked)
            return errAuthorizationSuccess;
        // No helper came up: pkexec's status and message say why.
        closeInput();
        m_refusalMessage = readFromStart(m_messages, 4096);
        const int status = reapHelper();
        m_refusalMessage = QByteArray("exit ") + QByteArray::number(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ": "
                           + m_refusalMessage.simplified();
        if (m_stopAsked)
            return errAuthorizationCanceled;
        return pkexec::statusFor(pkexec::outcomeOf(status, m_refusalMessage));
    }

    QString refusalMessage() const override { return QString::fromUtf8(m_refusalMessage); }

    int32_t perform(const QStringList& request, PrivilegedOutcome* outcome) override
    {
        QMutexLocker lock(&m_lock);
        *outcome = PrivilegedOutcome();
        for (const QString& field : request) {
            if (paths::hasControlCharacter(field)) {
                outcome->reason = QStringLiteral("refusing a request holding a control character");
                return errAuthorizationSuccess;
            }
        }
        if (m_inProcess)
            return performInProcess(request, outcome);
        if (m_helper <= 0)
            return errAuthorizationInvalidSet;
        QByteArray line;
        for (const QString& field : request) {
            if (!line.isEmpty())
                line += '\t';
            line += QFile::encodeName(field);
        }
        line += '\n';
        m_stopAsked = false;
        if (!writeAll(m_toHelper, line))
            return errAuthorizationToolExecuteFailure;
        QByteArray answer;
        bool answered = false;
        while ((answered = m_answers->readLine(&answer)) && answer.startsWith("progress\t"))
            reportCopyProgress(progressOf(privileged::parseProgressLine(answer.toStdString())));
        if (!answered)
            return errAuthorizationToolExecuteFailure;
        const QList<QByteArray> fields = answer.split('\t');
        if (fields.first() == "ok" && fields.size() == 3) {
            outcome->done = true;
            outcome->waitStatus = fields.at(1).toInt();
            outcome->timedOut = fields.at(2) == "timeout";
            outcome->stopped = fields.at(2) == "stopped";
            return errAuthorizationSuccess;
        }
        if (fields.first() == "fail") {
            outcome->reason = QString::fromUtf8(answer.mid(5));
            return errAuthorizationSuccess;
        }
        return errAuthorizationInternal;
    }

    void stopRunningTool() override
    {
        m_stopAsked = true;
        // A wait for the prompt ends with pkexec; a helper already up ends
        // with its input.
        if (const pid_t asking = m_asking.load(); asking > 0) {
            closeInput();
            ::kill(asking, SIGTERM);
            return;
        }
        const int fd = m_toHelper;
        if (fd >= 0)
            writeAll(fd, "stop\n");
    }

    QString applicationsFolder() const override
    {
        // Already root, the requests run here: into the local Applications folder, wherever the system puts it.
        if (::geteuid() == 0) {
            const QStringList local = locations::applicationsFolders(Domain::Local);
            return local.isEmpty() ? QString() : local.last();
        }
        return AuthorizationSession::applicationsFolder();
    }

private:
    static bool stopCheck(void* context) { return static_cast<SystemSession*>(context)->m_stopAsked.load(); }
    static void progressReport(const privileged::CopyProgress& progress, void* context)
    {
        static_cast<SystemSession*>(context)->reportCopyProgress(progressOf(progress));
    }

    int32_t performInProcess(const QStringList& request, PrivilegedOutcome* outcome)
    {
        std::vector<std::string> fields;
        for (const QString& field : request)
            fields.push_back(bytesOf(field));
        m_stopAsked = false;
        m_inProcess->setProgressReport(&SystemSession::progressReport, this);
        const privileged::Result result = m_inProcess->perform(fields, &SystemSession::stopCheck, this);
        outcome->done = result.ok;
        outcome->waitStatus = result.waitStatus;
        outcome->timedOut = result.timedOut;
        outcome->stopped = result.stopped;
        outcome->reason = QString::fromStdString(result.reason);
        return errAuthorizationSuccess;
    }

    int32_t startHelper(const QString& helper, const std::vector<std::string>& arguments)
    {
        int input[2] = {-1, -1};
        int output[2] = {-1, -1};
        if (::pipe2(input, O_CLOEXEC) != 0)
            return errAuthorizationInternal;
        if (::pipe2(output, O_CLOEXEC) != 0) {
            ::close(input[0]);
            ::close(input[1]);
            return errAuthorizationInternal;
        }
        const QByteArray program = QFile::encodeName(pkexecPath());
        const QByteArray helperPath = QFile::encodeName(helper);
        std::vector<char*> argv{const_cast<char*>(program.constData())};
        if (hasDesktopSession())
            argv.push_back(const_cast<char*>("--disable-internal-agent"));
        argv.push_back(const_cast<char*>(helperPath.constData()));
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        std::vector<QByteArray> variables = environmentInPlainLocale();
        std::vector<char*> envp;
        for (QByteArray& variable : variables)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        // pkexec's (and then the helper's) standard error, read when no helper comes up.
        m_messages = ::memfd_create("pkexec-messages", MFD_CLOEXEC);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        if (m_messages >= 0)
            posix_spawn_file_actions_adddup2(&actions, m_messages, STDERR_FILENO);
        pid_t pid = -1;
        const int rc = ::posix_spawn(&pid, program.constData(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(input[0]);
        ::close(output[1]);
        if (rc != 0) {
            ::close(input[1]);
            ::close(output[0]);
            m_refusalMessage = "cannot start pkexec: " + QByteArray(std::strerror(rc));
            return errAuthorizationToolExecuteFailure;
        }
        m_helper = pid;
        m_toHelper = input[1];
        m_fromHelper = output[0];
        m_answers = std::make_unique<AnswerReader>(m_fromHelper);
        return errAuthorizationSuccess;
    }

    int reapHelper()
    {
        int status = 0;
        if (m_helper > 0) {
            while (::waitpid(m_helper, &status, 0) < 0 && errno == EINTR) {}
        }
        m_helper = -1;
        if (m_fromHelper >= 0)
            ::close(m_fromHelper);
        m_fromHelper = -1;
        m_answers.reset();
        if (m_messages >= 0)
            ::close(m_messages);
        m_messages = -1;
        return status;
    }

    void closeInput()
    {
        const int fd = m_toHelper.exchange(-1);
        if (fd >= 0)
            ::close(fd);
    }

    // Closing its input ends the helper once the request in hand is done.
    void endHelper()
    {
        QMutexLocker lock(&m_lock);
        closeInput();
        // What the helper said on its way is passed on as it was before pkexec's messages were read.
        const QByteArray said = readFromStart(m_messages, 65536);
        if (!said.isEmpty())
            writeAll(STDERR_FILENO, said);
        reapHelper();
    }

    NotDumpable m_notDumpable; // first made, last gone: outlives the descriptors below
    QMutex m_lock;
    std::unique_ptr<privileged::Session> m_inProcess;
    pid_t m_helper = -1;
    std::atomic<int> m_toHelper{-1};
    int m_fromHelper = -1;
    std::unique_ptr<AnswerReader> m_answers;
    std::atomic<bool> m_stopAsked{false};
    int m_messages = -1;
    std::atomic<pid_t> m_asking{-1};
    QByteArray m_refusalMessage;
};

class SystemService final : public AuthorizationService {
public:
    std::unique_ptr<AuthorizationSession> createSession(int32_t* status) override
    {
        if (status)
            *status = errAuthorizationSuccess;
        return std::make_unique<SystemSession>();
    }
};

std::atomic<AuthorizationService*> gOverride{nullptr};

} // namespace

RightsRefusal refusalForStatus(int32_t status)
{
    switch (status) {
    case errAuthorizationSuccess:
        return RightsRefusal::None;
    case errAuthorizationCanceled:
        return RightsRefusal::Cancelled;
    case errAuthorizationDenied:
        return RightsRefusal::NotAuthorized;
    case errAuthorizationInteractionNotAllowed:
        return RightsRefusal::NoPrompt;
    default:
        return RightsRefusal::Failed;
    }
}

bool PrivilegedOutcome::toolSucceeded() const
{
    return done && !timedOut && !stopped && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
}

bool identifyBundle(const QString& path, BundleIdentity* identity)
{
    privileged::Identity found;
    if (!privileged::identify(QFile::encodeName(path).toStdString(), &found))
        return false;
    identity->identifier = QString::fromStdString(found.identifier);
    identity->device = found.device;
    identity->inode = found.inode;
    return true;
}

bool isSafeToExecuteAsRoot(const QString& path, QString* why)
{
    std::string reason;
    const bool safe = privileged::isRootOnlyExecutable(QFile::encodeName(path).toStdString(), &reason);
    if (why)
        *why = QString::fromStdString(reason);
    return safe;
}

bool isRootOnlyFolder(const QString& folder)
{
    return privileged::isRootOnlyFolderChain(QFile::encodeName(folder).toStdString(), nullptr);
}

BundleIdentity runningBundleIdentity()
{
    static const BundleIdentity recorded = [] {
        BundleIdentity identity;
        privileged::Identity found;
        if (privileged::identifyRunningBundle(bytesOf(Bundle::mainBundle().bundlePath()), &found)) {
            identity.identifier = QString::fromStdString(found.identifier);
            identity.device = found.device;
            identity.inode = found.inode;
        }
        return identity;
    }();
    return recorded;
}

bool removeBundleWithOwnRights(const QString& path, QString* why)
{
    if (paths::hasControlCharacter(path)) {
        *why = QStringLiteral("the path holds a control character");
        return false;
    }
    const privileged::Result result = privileged::removeBundleWithOwnRights(bytesOf(path));
    *why = QString::fromStdString(result.reason);
    return result.ok;
}

bool isPlainFileInBundle(const QString& bundle, const QString& relative, QString* why)
{
    std::string reason;
    const bool plain = privileged::isPlainFileInBundle(bytesOf(bundle), bytesOf(relative), &reason);
    if (why)
        *why = QString::fromStdString(reason);
    return plain;
}

QString AuthorizationSession::applicationsFolder() const
{
    return QString::fromLatin1(privileged::kApplicationsFolder);
}

int32_t AuthorizationSession::removeBundle(const QString& path, const BundleIdentity& recorded, PrivilegedOutcome* outcome)
{
    return perform({QStringLiteral("remove"), path, QString::number(recorded.device), QString::number(recorded.inode)},
                   outcome);
}

int32_t AuthorizationSession::installBundle(const QString& source, const QString& folder, const QString& bundleName,
                                            PrivilegedOutcome* outcome)
{
    return perform({QStringLiteral("install"), source, folder, bundleName}, outcome);
}

int32_t AuthorizationSession::runUpdateTool(const QStringList& arguments, int limitSeconds, PrivilegedOutcome* outcome)
{
    return perform(QStringList{QStringLiteral("updatetool"), QString::number(limitSeconds)} + arguments, outcome);
}

bool AuthorizationService::hasAdministratorRights() const
{
    return ::geteuid() == 0;
}

AuthorizationService& AuthorizationService::shared()
{
    static SystemService system;
    AuthorizationService* service = gOverride.load();
    return service ? *service : system;
}

void AuthorizationService::setShared(AuthorizationService* service)
{
    gOverride = service;
}

} // namespace platform

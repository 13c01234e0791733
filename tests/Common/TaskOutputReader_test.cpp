#include "Authorization.h"
#include "NSTask+OneLineTasksWithOutput.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace OneLineTasksWithOutput;
using testing_support::LogCapture;

namespace {

const QString kShell = QStringLiteral("/bin/sh");

QString runShell(const QString& command, std::optional<Error>* error, const TaskOutputReader::CreatedBlock& block = nullptr)
{
    return stringByLaunchingPath(kShell, {QStringLiteral("-c"), command}, block, error);
}

std::optional<Error> staleError()
{
    return Error{QStringLiteral("stale"), 99, {}};
}

QVariant info(const std::optional<Error>& error, const char* key)
{
    return error ? error->userInfo.value(QString::fromLatin1(key)) : QVariant();
}

} // namespace

TEST(OneLineTasks, SuccessAnswersWholeOutputAndClearsTheError)
{
    std::optional<Error> error = staleError();
    EXPECT_EQ(runShell(QStringLiteral("printf '  one\\ntwo\\n\\n'"), &error), QStringLiteral("  one\ntwo\n\n"));
    EXPECT_FALSE(error.has_value());

    const QString silent = runShell(QStringLiteral("true"), &error);
    EXPECT_FALSE(silent.isNull());
    EXPECT_TRUE(silent.isEmpty());
    EXPECT_FALSE(error.has_value());
}

TEST(OneLineTasks, NonZeroStatusGivesProcessFailedWithOutputAndErrorText)
{
    std::optional<Error> error;
    const QString output = runShell(QStringLiteral("echo out; echo problem >&2; exit 3"), &error);
    EXPECT_EQ(output, QStringLiteral("out\n"));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, QStringLiteral("com.apple.NSTask.OneLineTasksWithOutput"));
    EXPECT_EQ(error->code, -1);
    EXPECT_EQ(info(error, kLocalizedFailureReasonKey).toString(), QStringLiteral("Process Failed"));
    EXPECT_EQ(info(error, kLocalizedDescriptionKey).toString(), QStringLiteral("Task terminationStatus was 3"));
    EXPECT_EQ(info(error, kStandardErrorKey).toString(), QStringLiteral("problem\n"));
    EXPECT_EQ(info(error, kTerminationStatusKey).toInt(), 3);
}

TEST(OneLineTasks, FailureWithoutErrorTextHasNoErrorTextEntry)
{
    std::optional<Error> error;
    runShell(QStringLiteral("exit 1"), &error);
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(error->userInfo.contains(QString::fromLatin1(kStandardErrorKey)));
    EXPECT_EQ(info(error, kTerminationStatusKey).toInt(), 1);
}

TEST(OneLineTasks, KilledChildIsAFailure)
{
    std::optional<Error> error;
    runShell(QStringLiteral("kill -9 $$"), &error);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, -1);
    EXPECT_NE(info(error, kTerminationStatusKey).toInt(), 0);
}

TEST(OneLineTasks, ErrorTextWithStatusZeroGivesCodeMinusTwo)
{
    std::optional<Error> error;
    EXPECT_EQ(runShell(QStringLiteral("echo fine; echo warning >&2"), &error), QStringLiteral("fine\n"));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, -2);
    EXPECT_EQ(info(error, kStandardErrorKey).toString(), QStringLiteral("warning\n"));
    EXPECT_EQ(info(error, kTerminationStatusKey).toInt(), 0);
    EXPECT_FALSE(error->userInfo.contains(QString::fromLatin1(kLocalizedFailureReasonKey)));
}

TEST(OneLineTasks, MissingExecutableGivesNullAndCodeMinusOne)
{
    testing_support::ScratchHome scratch;
    std::optional<Error> error;
    const QString output = stringByLaunchingPath(scratch.path(QStringLiteral("missing-tool")), {}, nullptr, &error);
    EXPECT_TRUE(output.isNull());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, -1);
    EXPECT_EQ(info(error, kTerminationStatusKey).toInt(), 0);
    EXPECT_FALSE(info(error, kLocalizedFailureReasonKey).toString().isEmpty());
    EXPECT_FALSE(error->userInfo.contains(QString::fromLatin1(kStandardErrorKey)));
}

TEST(OneLineTasks, ArgumentsArePassedWithoutShellAndEmptyListRunsBare)
{
    testing_support::ScratchHome scratch;
    const QString script = testing_support::makeScript(scratch.path(QStringLiteral("args.sh")),
                                                       QStringLiteral("echo $#; for a; do echo \"[$a]\"; done"));
    EXPECT_EQ(stringByLaunchingPath(script, {}, nullptr, nullptr), QStringLiteral("0\n"));
    EXPECT_EQ(stringByLaunchingPath(script, {QStringLiteral("a b"), QStringLiteral("$HOME;*")}, nullptr, nullptr),
              QStringLiteral("2\n[a b]\n[$HOME;*]\n"));
}

TEST(OneLineTasks, ABareNameRunsFromTheCurrentFolderNeverFromPath)
{
    testing_support::ScratchHome scratch;
    const QString here = scratch.path(QStringLiteral("here"));
    ASSERT_TRUE(QDir().mkpath(here));
    testing_support::makeScript(here + QStringLiteral("/sh"), QStringLiteral("echo local sh"));
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(here));
    std::optional<Error> error;
    const QString local = stringByLaunchingPath(QStringLiteral("sh"), {}, nullptr, &error);
    const QString elsewhere = stringByLaunchingPath(QStringLiteral("true"), {}, nullptr, &error);
    QDir::setCurrent(previous);
    EXPECT_EQ(local, QStringLiteral("local sh\n")) << "the shell of that name in PATH ran instead";
    EXPECT_TRUE(elsewhere.isNull()) << "a bare name that is not in the current folder does not run";
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, -1);
}

TEST(OneLineTasks, BlockGetsTheChildPidBeforeTheWait)
{
    int32_t seen = 0;
    const QString output = runShell(QStringLiteral("echo $$; sleep 0.2"), nullptr, [&](int32_t pid) {
        EXPECT_EQ(::kill(pid, 0), 0) << "the child must still be running";
        seen = pid;
    });
    EXPECT_EQ(output.trimmed().toInt(), seen);
}

TEST(OneLineTasks, OutputThatIsNotUtf8IsNullAndLogged)
{
    LogCapture log(0);
    std::optional<Error> error;
    EXPECT_TRUE(runShell(QStringLiteral("printf 'ok\\377\\376'"), &error).isNull());
    EXPECT_FALSE(error.has_value());
    EXPECT_TRUE(log.messages().filter(QStringLiteral("is not UTF-8 text")).size() == 1)
        << log.lines().join('\n').toStdString();
}

TEST(TaskOutputReader, ChildClosingOutputEarlyIsStillWaitedFor)
{
    QElapsedTimer timer;
    timer.start();
    std::optional<Error> error;
    runShell(QStringLiteral("exec >&-; sleep 0.5; echo late >&2"), &error);
    EXPECT_GE(timer.elapsed(), 450);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(info(error, kStandardErrorKey).toString(), QStringLiteral("late\n"));
}

TEST(TaskOutputReader, GrandchildHoldingOutputKeepsTheRunGoing)
{
    EXPECT_EQ(runShell(QStringLiteral("(sleep 0.5; echo grandchild) & echo child"), nullptr),
              QStringLiteral("child\ngrandchild\n"));
}

TEST(TaskOutputReader, BothStreamsAreDrainedWhileTheChildRuns)
{
    // Far more than a pipe holds on each stream: a reader that drained only
    // one stream, or only after the end, would deadlock here.
    std::optional<Error> error;
    const QString output = runShell(
        QStringLiteral("i=0; while [ $i -lt 4 ]; do yes o | head -c 300000; yes e | head -c 300000 >&2; i=$((i+1)); done"),
        &error);
    EXPECT_EQ(output.size(), 1200000);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(info(error, kStandardErrorKey).toString().size(), 1200000);
}

TEST(TaskOutputReader, RunsOnAWorkerThreadWithItsOwnEventLoop)
{
    QString output;
    std::unique_ptr<QThread> worker(QThread::create([&] { output = runShell(QStringLiteral("echo worker"), nullptr); }));
    worker->start();
    ASSERT_TRUE(worker->wait(20000));
    EXPECT_EQ(output, QStringLiteral("worker\n"));
}

TEST(TaskOutputReader, RunsOnAPlainThreadToo)
{
    QString output;
    std::thread plain([&] { output = runShell(QStringLiteral("echo plain"), nullptr); });
    plain.join();
    EXPECT_EQ(output, QStringLiteral("plain\n"));
}

TEST(TaskOutputReader, ChildDoesNotInheritTheReadEnds)
{
    // A read end held by the child (or a grandchild) would keep its own
    // stream from ever reaching end of file. The child names what each of its
    // descriptors points at; none but 1 and 2 may be one of its two pipes.
    const QString output = runShell(QStringLiteral("for f in /proc/$$/fd/*; do echo \"${f##*/} $(readlink $f)\"; done"),
                                    nullptr);
    QMap<QString, QString> targets;
    for (const QString& line : output.split(u'\n', Qt::SkipEmptyParts))
        targets.insert(line.section(u' ', 0, 0), line.section(u' ', 1));
    ASSERT_TRUE(targets.value(QStringLiteral("1")).startsWith(QStringLiteral("pipe:"))) << output.toStdString();
    for (auto it = targets.cbegin(); it != targets.cend(); ++it) {
        if (it.key() == QStringLiteral("1") || it.key() == QStringLiteral("2"))
            continue;
        EXPECT_NE(it.value(), targets.value(QStringLiteral("1"))) << output.toStdString();
        EXPECT_NE(it.value(), targets.value(QStringLiteral("2"))) << output.toStdString();
    }
}

// The privileged variant: the root side has no request to run an arbitrary
// executable, so it fails as an execution failure, whichever session it is given.
namespace {

class FakeSession final : public platform::AuthorizationSession {
public:
    int requests = 0;
    int32_t copyAdminRights() override { return platform::errAuthorizationSuccess; }
    int32_t perform(const QStringList&, platform::PrivilegedOutcome* outcome) override
    {
        ++requests;
        outcome->done = true;
        return platform::errAuthorizationSuccess;
    }
};

} // namespace

TEST(PrivilegedOneLineTasks, NothingRunsWithTheRightsAndTheRunFailsAsAnExecutionFailure)
{
    QTemporaryDir scratch;
    const QString marker = scratch.filePath(QStringLiteral("ran"));
    FakeSession fake;
    int32_t status = 0;
    auto system = platform::AuthorizationService::shared().createSession(&status);
    ASSERT_TRUE(system);
    for (platform::AuthorizationSession* session : {static_cast<platform::AuthorizationSession*>(&fake), system.get()}) {
        bool blockCalled = false;
        std::optional<Error> error = staleError();
        EXPECT_TRUE(stringByLaunchingPath(
                        kShell, {QStringLiteral("-c"), QStringLiteral("touch '%1'").arg(marker)}, *session,
                        [&](int32_t) { blockCalled = true; }, &error)
                        .isNull());
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->domain, QStringLiteral("com.apple.NSTask.OneLineTasksWithOutput"));
        EXPECT_EQ(error->code, platform::errAuthorizationToolExecuteFailure);
        EXPECT_FALSE(blockCalled);
    }
    EXPECT_EQ(fake.requests, 0);
    EXPECT_FALSE(QFileInfo::exists(marker));
}

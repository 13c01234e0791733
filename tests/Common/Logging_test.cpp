#include "Logging.h"

#include "ProcessInfo.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace testing_support;

namespace {

const QRegularExpression kLineLayout(QStringLiteral(
    R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{4} \S+\[\d+\] \((ERR|nrm|vrb|dtl)\) \[(0x[0-9a-f]+|[^\]]*)\] .*$)"));

QString captureStdout(const std::function<void()>& body)
{
    ::testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return QString::fromStdString(::testing::internal::GetCapturedStdout());
}

QString captureStderr(const std::function<void()>& body)
{
    ::testing::internal::CaptureStderr();
    body();
    std::fflush(stderr);
    return QString::fromStdString(::testing::internal::GetCapturedStderr());
}

} // namespace

TEST(Logging, LinesHaveTheStampProcessTagAndThreadLayout)
{
    LogCapture log;
    logError("an error");
    logNormal("a normal line");
    logVerbose("a verbose line");
    logDetail("a detailed line");
    const QStringList lines = log.lines();
    ASSERT_EQ(lines.size(), 4);
    const QString identity = platform::process::processName() + u'[' + QString::number(::getpid()) + u']';
    const char* tags[] = {"(ERR) ", "(nrm) ", "(vrb) ", "(dtl) "};
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(kLineLayout.match(lines[i]).hasMatch()) << lines[i].toStdString();
        EXPECT_TRUE(lines[i].contains(u' ' + identity + u' ' + QLatin1String(tags[i]))) << lines[i].toStdString();
    }
    EXPECT_EQ(log.messages(), QStringList({"an error", "a normal line", "a verbose line", "a detailed line"}));
}

TEST(Logging, ATrailingNewlineIsNotDoubledAndEmbeddedNewlinesStay)
{
    LogCapture log;
    logNormal("same");
    logNormal("same\n");
    logNormal("first\nsecond");
    const QStringList lines = log.lines();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("] same")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("] same")));
    EXPECT_EQ(lines[3], QStringLiteral("second")); // continuation lines carry no stamp
}

TEST(Logging, TheFormatNotTheFilledTextDecidesTheFinalNewline)
{
    LogCapture log;
    logNormal("%1", QStringLiteral("tool output\n"));
    logNormal("%1\n", QStringLiteral("plain"));
    flushLogFile();
    const QString text = QString::fromUtf8(readFile(log.path()));
    EXPECT_TRUE(text.contains(QStringLiteral("] tool output\n\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("] plain\n"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("] plain\n\n"))) << text.toStdString();
}

TEST(Logging, ArgumentsHoldingPlaceholdersAreNotExpandedAgain)
{
    LogCapture log;
    logNormal("Copying \"%1\" to \"%2\"", QStringLiteral("/tmp/%2 odd"), QStringLiteral("/Applications"));
    EXPECT_TRUE(log.contains(QStringLiteral("Copying \"/tmp/%2 odd\" to \"/Applications\"")));
}

// The file holds each message as Qt's own UTF-8 conversion gives it, whatever
// the text: other scripts, pairs of surrogates and surrogates without their pair.
TEST(Logging, MessagesReachTheFileAsQtsUtf8)
{
    const QString texts[] = {
        QStringLiteral("plain"),
        QString::fromUtf8("caf\u00e9 \u00fcber \u65e5\u672c \U0001F600 end"),
        QString(QChar(0xD800)) + QStringLiteral("lone high"),
        QStringLiteral("lone low") + QChar(0xDC00),
        QString(QChar(0xDBFF)) + QString(QChar(0xD800)) + QString(QChar(0xDFFF)),
        QStringLiteral("at the end") + QChar(0xD83D),
        QString(QChar(0xFFFF)) + QChar(0x7FF) + QChar(0x800) + QChar(0x80),
    };
    for (const QString& text : texts) {
        LogCapture log;
        logNormal("%1", text);
        const QByteArray file = readFile(log.path());
        const QByteArray expected = "] " + text.toUtf8() + '\n';
        EXPECT_TRUE(file.endsWith(expected)) << file.toStdString();
    }
}

// Lines are formatted straight into UTF-8 where that is sure to give the
// bytes of qbFormat's QString, and through that QString elsewhere: either
// way the file holds exactly what qbFormat makes, for every kind of argument
// and for the formats Qt reads in ways of its own.
TEST(Logging, EveryFormatAndArgumentKindGivesQbFormatsBytes)
{
    struct Case {
        const char* text;
        std::function<void()> log;
        QString expected;
        bool formatEndsInNewline;
    };
#define QB_SAME_AS_QBFORMAT(format, ...)                                                                                   \
    Case                                                                                                                   \
    {                                                                                                                      \
#format " " #__VA_ARGS__,                                                                                          \
            [&] { logNormal(format __VA_OPT__(, ) __VA_ARGS__); }, qbFormat(format __VA_OPT__(, ) __VA_ARGS__),            \
                                                                QByteArray(format).endsWith('\n')                          \
    }
    const char* const nullText = nullptr;
    const QString highEnd = QStringLiteral("ends in half a pair ") + QChar(0xD83D);
    const QString lowStart = QString(QChar(0xDE00)) + QStringLiteral(" starts with the other half");
    const Case cases[] = {
        // Plain formats: numbers, strings, order, repeats, a lone '%'.
        QB_SAME_AS_QBFORMAT("%1 and %2", 42, QStringLiteral("text")),
        QB_SAME_AS_QBFORMAT("%2 before %1", -7, "chars"),
        QB_SAME_AS_QBFORMAT("%1, %1 again", QStringLiteral("twice")),
        QB_SAME_AS_QBFORMAT("100% sure, %%1 and %", 5),
        QB_SAME_AS_QBFORMAT("%9%8%7%6%5%4%3%2%1", 1, 2, 3, 4, 5, 6, 7, 8, 9),
        QB_SAME_AS_QBFORMAT("%1 %2 %3 %4", std::numeric_limits<int64_t>::min(), std::numeric_limits<uint64_t>::max(), 'A',
                            uint16_t(65535)),
        QB_SAME_AS_QBFORMAT("%1 %2 %3 %4", 0, 10, 100, 10005u),
        QB_SAME_AS_QBFORMAT("%1/%2 %3 %4 %5", true, false, 3.25, 1e21, -0.0),
        QB_SAME_AS_QBFORMAT("ends in its own newline %1\n", "x"),
        QB_SAME_AS_QBFORMAT("no argument, so %1 stays"),
        QB_SAME_AS_QBFORMAT(""),
        QB_SAME_AS_QBFORMAT("a%1\0b%2", "cut at the NUL"),
        // Arguments that are not plain ASCII or not there.
        QB_SAME_AS_QBFORMAT("%1", nullText),
        QB_SAME_AS_QBFORMAT("%1 %2", "caf\xc3\xa9", "\xff\xfe not UTF-8"),
        QB_SAME_AS_QBFORMAT("%1|%2", QByteArray("NUL\0inside", 11), QByteArray()),
        QB_SAME_AS_QBFORMAT("%1 %2 %3", QChar(0xD800), QChar(0xE9), QStringView(u"view \u65e5")),
        QB_SAME_AS_QBFORMAT("%1%2", highEnd, lowStart),
        QB_SAME_AS_QBFORMAT("%1 %2", QString(), QStringLiteral("")),
        // Formats that Qt reads in ways of its own.
        QB_SAME_AS_QBFORMAT("%L1 grouped", 1234567),
        QB_SAME_AS_QBFORMAT("%0 and %1", "a", "b"),
        QB_SAME_AS_QBFORMAT("%10 and %1", "x"),
        QB_SAME_AS_QBFORMAT("%1 only", "a", "b"),
        QB_SAME_AS_QBFORMAT("%1 and %3", "a", "b"),
        QB_SAME_AS_QBFORMAT("%2 only", "x"),
        QB_SAME_AS_QBFORMAT("caf\xc3\xa9 %1", 1),
        QB_SAME_AS_QBFORMAT("bad \xff byte %1", 1),
        QB_SAME_AS_QBFORMAT("%1\xd9\xa3 Arabic-Indic three", "x"),
        QB_SAME_AS_QBFORMAT("a%1b%1c%1d%1e%1f%1g%1h%1i%1 seventeen pieces", 0),
    };
#undef QB_SAME_AS_QBFORMAT
    for (const Case& each : cases) {
        LogCapture log;
        each.log();
        flushLogFile();
        const QByteArray file = readFile(log.path());
        if (each.expected.isNull()) {
            EXPECT_TRUE(file.isEmpty()) << each.text << "\n" << file.toStdString();
            continue;
        }
        const QByteArray expected = "] " + each.expected.toUtf8() + (each.formatEndsInNewline ? "" : "\n");
        EXPECT_TRUE(file.endsWith(expected)) << each.text << "\n" << file.toStdString();
    }
}

TEST(Logging, ErrorsGoToStandardErrorAndOtherLevelsToStandardOutput)
{
    initLogging(kLogLevelNormal, kLogLevelDetail, QString());
    const QString out = captureStdout([] {
        logNormal("to stdout");
        logError("not to stdout");
    });
    const QString err = captureStderr([] {
        logError("to stderr");
        logDetail("not to stderr");
    });
    initLogging(kLogLevelNormal, kLogLevelNormal, QString());
    EXPECT_TRUE(out.contains(QStringLiteral("(nrm) ")));
    EXPECT_TRUE(out.contains(QStringLiteral("to stdout")));
    EXPECT_FALSE(out.contains(QStringLiteral("not to stdout")));
    EXPECT_TRUE(err.contains(QStringLiteral("(ERR) ")));
    EXPECT_FALSE(err.contains(QStringLiteral("not to stderr")));
}

TEST(Logging, EachOutputHasItsOwnThreshold)
{
    LogCapture log(kLogLevelDetail, kLogLevelError);
    const QString out = captureStdout([] { logVerbose("verbose goes to the file only"); });
    EXPECT_TRUE(out.isEmpty());
    EXPECT_TRUE(log.contains(QStringLiteral("verbose goes to the file only")));

    initLogging(kLogLevelError, kLogLevelError, log.path());
    logNormal("hidden from both");
    EXPECT_FALSE(log.contains(QStringLiteral("hidden from both")));
}

TEST(Logging, AMessageNoOutputShowsEvaluatesNothing)
{
    initLogging(kLogLevelNormal, kLogLevelNormal, QString());
    int evaluated = 0;
    auto costly = [&] {
        ++evaluated;
        return QStringLiteral("detail");
    };
    logDetail("%1", costly());
    logVerbose("%1", costly());
    EXPECT_EQ(evaluated, 0);
    EXPECT_FALSE(isLogVerboseVisible());
    initLogging(kLogLevelVerbose, kLogLevelError, QString());
    EXPECT_TRUE(isLogVerboseVisible());
    EXPECT_FALSE(isLogDetailVisible());
    initLogging(kLogLevelNormal, kLogLevelNormal, QString());
}

TEST(Logging, LevelNamesAreExactAndBadOnesAreConfigurationFaults)
{
    ScratchHome home;
    for (const char* bad : {"Error", "ERROR", " normal", "verbose ", "loud"}) {
        try {
            initLogging2(QString::fromLatin1(bad), QStringLiteral("normal"), QString());
            ADD_FAILURE() << "accepted " << bad;
        } catch (const QBException& fault) {
            EXPECT_EQ(fault.name(), QLatin1String(kConfigurationFault));
            EXPECT_EQ(fault.reason(), QStringLiteral("Invalid file logging level \"%1\"").arg(QLatin1String(bad)));
        }
    }
    try {
        initLogging2(QStringLiteral("detailed"), QStringLiteral("Verbose"), QString());
        ADD_FAILURE() << "accepted Verbose";
    } catch (const QBException& fault) {
        EXPECT_EQ(fault.reason(), QStringLiteral("Invalid stdout logging level \"Verbose\""));
    }
    EXPECT_EQ(initLogging2(QStringLiteral("detailed"), QStringLiteral("error"), QString()), QString());
    EXPECT_EQ(loggingLevelStrFile(), QStringLiteral("detailed"));
    EXPECT_EQ(loggingLevelStrStdio(), QStringLiteral("error"));
    EXPECT_THROW(_loggingLevelToString(4), QBException);
    initLogging(kLogLevelNormal, kLogLevelNormal, QString());
}

TEST(LoggingDeathTest, AnEmptyLevelNameIsAnAssertionFailure)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(initLogging2(QString(""), QStringLiteral("normal"), QString()),
                 R"(ASSERTION ERROR: \[fileLevelStr length\] \(file "Client/Mac/Common/utils", line [0-9]+\))");
    EXPECT_DEATH(initLogging3(QStringLiteral("normal"), QStringLiteral("normal"), QString(), QString(), QStringLiteral("B")),
                 R"(ASSERTION ERROR: productFamilyName )");
}

TEST(Logging, TheDefaultFolderIsUnderTheHomeLogsFolderAndIsCreated)
{
    ScratchHome home;
    const QString path = initLogging3(QStringLiteral("normal"), QStringLiteral("error"), QString(), QStringLiteral("A"),
                                      QStringLiteral("B"));
    const QRegularExpression expected(QRegularExpression::escape(home.home() + QStringLiteral("/Library/Logs/A/B/B-"))
                                      + QStringLiteral(R"(\d{4}-\d\d-\d\d-\d{6}\.log$)"));
    EXPECT_TRUE(expected.match(path).hasMatch()) << path.toStdString();
    EXPECT_TRUE(QFileInfo::exists(path));
    EXPECT_EQ(getLogFilePath(), path);
    initLogging(kLogLevelNormal, kLogLevelNormal, QString());
}

TEST(Logging, TheLevelLinesNeverReachTheFileOpenedByTheSameCall)
{
    LogCapture log(kLogLevelVerbose, kLogLevelError);
    initLogging(kLogLevelVerbose, kLogLevelError, log.path() + QStringLiteral(".second"));
    const QStringList second
        = QString::fromUtf8(readFile(log.path() + QStringLiteral(".second"))).split(u'\n', Qt::SkipEmptyParts);
    EXPECT_TRUE(second.isEmpty());
    EXPECT_TRUE(log.contains(QStringLiteral("Logging (file) level 2")));
    EXPECT_TRUE(log.contains(QStringLiteral("Logging (stdout) level 0")));
}

TEST(Logging, AnUnopenableFileIsAConfigurationFault)
{
    ScratchHome home;
    try {
        _initLogging(home.path(QStringLiteral("no/such/folder/x.log")));
        ADD_FAILURE() << "opened a file in a missing folder";
    } catch (const QBException& fault) {
        EXPECT_EQ(fault.name(), QLatin1String(kConfigurationFault));
        EXPECT_TRUE(fault.reason().startsWith(QStringLiteral("Failed to open log file \"")));
    }
    EXPECT_TRUE(getLogFilePath().endsWith(QStringLiteral("x.log")));
    _initLogging(QString());
}

TEST(Logging, ThreadPrefixIsTheNameOrTheHexadecimalThreadId)
{
    LogCapture log;
    std::thread named([] {
        platform::process::setCurrentThreadName(QStringLiteral("worker"));
        logNormal("from worker");
    });
    named.join();
    uint64_t id = 0;
    std::thread unnamed([&] {
        id = platform::process::currentThreadId();
        logNormal("from unnamed");
    });
    unnamed.join();
    const QStringList lines = log.lines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("(nrm) [worker] from worker")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("(nrm) [0x%1] from unnamed").arg(id, 0, 16)));
}

class LoggingRollover : public ::testing::Test {
protected:
    void TearDown() override
    {
        _setLogFileRolloverSizeForTesting(kLogFileRolloverSize);
        initLogging(kLogLevelNormal, kLogLevelNormal, QString());
    }

    QStringList logFiles() const { return QDir(m_folder).entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name); }

    QStringList allLines() const
    {
        flushLogFile();
        QStringList lines;
        for (const QString& name : logFiles())
            lines += QString::fromUtf8(readFile(m_folder + u'/' + name)).split(u'\n', Qt::SkipEmptyParts);
        return lines;
    }

    ScratchHome m_home;
    QString m_folder = m_home.path(QStringLiteral("logs"));
};

TEST_F(LoggingRollover, AFileOfExactlyTheLimitStaysInUse)
{
    const QString first = initLogging3(QStringLiteral("normal"), QStringLiteral("error"), m_folder, QStringLiteral("A"),
                                       QStringLiteral("B"));
    logNormal("x"); // measured at once, then every 501st line
    flushLogFile();
    const qint64 lineLength = QFileInfo(first).size();
    _setLogFileRolloverSizeForTesting(uint64_t(lineLength * 502));
    for (int i = 0; i < 501; ++i)
        logNormal("y"); // the last one is measured at exactly the limit
    EXPECT_EQ(getLogFilePath(), first);
    for (int i = 0; i < 501; ++i)
        logNormal("y");
    EXPECT_NE(getLogFilePath(), first);
    EXPECT_EQ(logFiles().size(), 2);
}

TEST_F(LoggingRollover, APastTheLimitFileIsReplacedAtTheNextCheck)
{
    const QString first = initLogging3(QStringLiteral("normal"), QStringLiteral("error"), m_folder, QStringLiteral("A"),
                                       QStringLiteral("B"));
    _setLogFileRolloverSizeForTesting(100);
    logNormal("this line alone is longer than one hundred bytes, so the first check switches files at once");
    EXPECT_NE(getLogFilePath(), first);
    EXPECT_EQ(logFiles().size(), 2);
    // The next check comes 501 lines later.
    const QString second = getLogFilePath();
    for (int i = 0; i < 500; ++i)
        logNormal("z");
    EXPECT_EQ(getLogFilePath(), second);
    logNormal("z");
    EXPECT_NE(getLogFilePath(), second);
}

TEST_F(LoggingRollover, ConcurrentLinesAreNeitherLostNorTornAcrossSwitches)
{
    initLogging3(QStringLiteral("normal"), QStringLiteral("error"), m_folder, QStringLiteral("A"), QStringLiteral("B"));
    _setLogFileRolloverSizeForTesting(64 * 1024);
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 4000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesPerThread; ++i)
                logNormal("thread %1 line %2 end", t, i);
        });
    }
    for (auto& thread : threads)
        thread.join();

    const QStringList lines = allLines();
    EXPECT_GT(logFiles().size(), 2);
    ASSERT_EQ(lines.size(), kThreads * kLinesPerThread);
    static const QRegularExpression message(QStringLiteral(R"(\] thread (\d) line (\d+) end$)"));
    std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kLinesPerThread, false));
    for (const QString& line : lines) {
        ASSERT_TRUE(kLineLayout.match(line).hasMatch()) << line.toStdString();
        const auto match = message.match(line);
        ASSERT_TRUE(match.hasMatch()) << line.toStdString();
        seen[match.captured(1).toInt()][match.captured(2).toInt()] = true;
    }
    for (const auto& thread : seen)
        EXPECT_EQ(std::count(thread.begin(), thread.end(), true), kLinesPerThread);
}

TEST(EnsureFolderPathExists, CreatesMissingParentsAndReportsFailure)
{
    ScratchHome home;
    LogCapture log(kLogLevelVerbose, kLogLevelError);
    const QString folder = home.path(QStringLiteral("a/b/c"));
    ensureFolderPathExists(folder);
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_TRUE(log.contains(QStringLiteral("\"%1\" subfolder missing - created it").arg(folder)));

    writeFile(home.path(QStringLiteral("file")), "x");
    try {
        ensureFolderPathExists(home.path(QStringLiteral("file/sub")));
        ADD_FAILURE() << "created a folder below a file";
    } catch (const QBException& fault) {
        EXPECT_EQ(fault.name(), QLatin1String(NSGenericException));
        EXPECT_TRUE(fault.reason().startsWith(
            QStringLiteral("Failed to create \"%1\" (").arg(home.path(QStringLiteral("file/sub")))));
    }
}

TEST_F(LoggingRollover, AFileGivenByPathRollsOverBesideItself)
{
    QDir().mkpath(m_folder);
    initLogging(kLogLevelNormal, kLogLevelError, m_folder + QStringLiteral("/given.log"));
    _setLogFileRolloverSizeForTesting(10);
    logNormal("longer than ten bytes");
    EXPECT_NE(getLogFilePath(), m_folder + QStringLiteral("/given.log"));
    EXPECT_EQ(QFileInfo(getLogFilePath()).absolutePath(), m_folder);
}

// ---- Durability: what was logged is on disk when the process ends ----

namespace {

QString fileText(const QString& path)
{
    return QString::fromUtf8(readFile(path)); // deliberately without flushLogFile()
}

// A death test's child runs the test again from its start: it must write
// where the parent will look, so the parent's folder is handed down.
QString folderSharedWithDeathTests(std::optional<QTemporaryDir>& owner)
{
    const QString inherited = qEnvironmentVariable("QB_LOGGING_TEST_FOLDER");
    if (!inherited.isEmpty())
        return inherited;
    owner.emplace();
    qputenv("QB_LOGGING_TEST_FOLDER", owner->path().toUtf8());
    return owner->path();
}

} // namespace

TEST(LoggingDurability, LinesLoggedBeforeAnEndingSignalAreInTheFile)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        int signalNumber;
        bool keepsBufferedLevels;
    } cases[] = {{SIGTERM, true}, {SIGINT, true}, {SIGHUP, true}, {SIGKILL, false}};
    std::optional<QTemporaryDir> owner;
    const QString folder = folderSharedWithDeathTests(owner);
    for (const Case& c : cases) {
        SCOPED_TRACE(strsignal(c.signalNumber));
        const QString path = QStringLiteral("%1/signal-%2.log").arg(folder).arg(c.signalNumber);
        EXPECT_EXIT(
            {
                for (const int s : {SIGTERM, SIGINT, SIGHUP})
                    std::signal(s, SIG_DFL);
                initLogging(kLogLevelDetail, kLogLevelError, path);
                logError("an error line");
                logNormal("a normal line");
                logVerbose("a verbose line");
                logDetail("a detailed line");
                std::raise(c.signalNumber);
                std::this_thread::sleep_for(std::chrono::seconds(10));
            },
            ::testing::KilledBySignal(c.signalNumber), "");
        const QString text = fileText(path);
        EXPECT_TRUE(text.contains(QStringLiteral("(ERR) ")) && text.contains(QStringLiteral("] an error line\n")));
        EXPECT_TRUE(text.contains(QStringLiteral("] a normal line\n"))) << text.toStdString();
        if (c.keepsBufferedLevels) {
            EXPECT_TRUE(text.contains(QStringLiteral("] a verbose line\n"))) << text.toStdString();
            EXPECT_TRUE(text.contains(QStringLiteral("] a detailed line\n"))) << text.toStdString();
        }
    }
    qunsetenv("QB_LOGGING_TEST_FOLDER");
}

TEST(LoggingDurability, BufferedLinesReachTheFileWhenTheLoopWaitsOrASecondLater)
{
    LogCapture log;
    logDetail("before the wait");
    QEventLoop loop;
    QTimer::singleShot(100, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_TRUE(fileText(log.path()).contains(QStringLiteral("] before the wait\n")));

    logVerbose("while nothing waits");
    QElapsedTimer waited;
    waited.start();
    while (!fileText(log.path()).contains(QStringLiteral("] while nothing waits\n")) && waited.elapsed() < 5000)
        QThread::msleep(20);
    EXPECT_LT(waited.elapsed(), 2500); // about a second, with room for a loaded machine
}

TEST(LoggingDurability, AForkedChildNeverWritesTheParentsLinesAgain)
{
    LogCapture log;
    logDetail("the first line"); // measured for rollover at once
    logDetail("waiting before the fork");
    const pid_t child = ::fork();
    if (child == 0) {
        // A child that ends through exit() flushes every buffer it inherited.
        std::exit(0);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(log.lines().filter(QStringLiteral("waiting before the fork")).size(), 1);
}

TEST(LoggingDurability, AnEndingSignalToAForkedChildEndsTheChildAlone)
{
    LogCapture log;
    const pid_t child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ::kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    QThread::msleep(200); // this process would be ending by now
    logNormal("still here");
    EXPECT_TRUE(log.contains(QStringLiteral("still here")));
}

TEST(LoggingDurability, ATargetThatCannotSeekKeepsEveryLine)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    initLogging(kLogLevelNormal, kLogLevelError, QStringLiteral("/proc/self/fd/%1").arg(fds[1]));
    for (int i = 0; i < 3; ++i)
        logNormal("line %1 to the pipe", i);
    initLogging(kLogLevelNormal, kLogLevelNormal, QString());
    ::close(fds[1]);
    QByteArray received;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        received.append(buffer, got);
    ::close(fds[0]);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(received.contains(QByteArray("] line ") + QByteArray::number(i) + " to the pipe\n"))
            << received.constData();
}

// ---- The log folder in a home others may have prepared ----

TEST(LogFolder, PlantedLinksAreNeverWrittenThrough)
{
    ScratchHome home;
    const QString target = home.path(QStringLiteral("target"));
    ASSERT_TRUE(writeFile(target, "original\n"));
    const QString folder = home.home() + QStringLiteral("/Library/Logs/Quorbel/Quorbel");
    ASSERT_TRUE(QDir().mkpath(folder));
    // Every name the next seconds could give, each copy number too, links to the target.
    const QDateTime now = QDateTime::currentDateTime();
    for (int second = 0; second < 4; ++second) {
        const QString stamp = now.addSecs(second).toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
        for (int copy = 0; copy < 3; ++copy) {
            const QString name = copy == 0 ? QStringLiteral("Quorbel-%1.log").arg(stamp)
                                           : QStringLiteral("Quorbel-%1-%2.log").arg(stamp).arg(copy);
            ASSERT_TRUE(QFile::link(target, folder + u'/' + name));
        }
    }
    const QString path = initLogging3(QStringLiteral("normal"), QStringLiteral("error"), folder, QStringLiteral("Quorbel"),
                                      QStringLiteral("Quorbel"));
    logNormal("a line for the new file");
    flushLogFile();
    EXPECT_FALSE(QFileInfo(path).isSymLink()) << path.toStdString();
    EXPECT_TRUE(readFile(path).contains("a line for the new file"));
    EXPECT_EQ(readFile(target), "original\n");
    _initLogging(QString());
}

TEST(LogFolder, ALinkedFolderIsRefusedWithItsReason)
{
    ScratchHome home;
    const QString elsewhere = home.path(QStringLiteral("elsewhere"));
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    ASSERT_TRUE(QDir().mkpath(home.home() + QStringLiteral("/Library/Logs")));
    ASSERT_TRUE(QFile::link(elsewhere, home.home() + QStringLiteral("/Library/Logs/Quorbel")));
    try {
        initLogging3(QStringLiteral("normal"), QStringLiteral("error"), QString(), QStringLiteral("Quorbel"),
                     QStringLiteral("Quorbel"));
        ADD_FAILURE() << "logged through a linked folder";
    } catch (const QBException& fault) {
        EXPECT_EQ(fault.name(), QLatin1String(kConfigurationFault));
        EXPECT_TRUE(fault.reason().contains(QStringLiteral("Library/Logs/Quorbel\" is a symbolic link")))
            << fault.reason().toStdString();
    }
    EXPECT_TRUE(getLogFilePath().isEmpty());
    EXPECT_TRUE(QDir(elsewhere).isEmpty());
}

TEST(LogFolder, OutsideTextCannotEndOrForgeALine)
{
    const auto isLineControl = [](QChar c) {
        return c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f) || c.unicode() == 0x2028
               || c.unicode() == 0x2029;
    };
    const QString texts[] = {
        QStringLiteral("1\n2020-01-01 00:00:00.0000 Quorbel[1] (ERR) forged"),
        QStringLiteral("a\rb\tc\x1b[2Jd"),
        QString(QChar(0x2028)) + QChar(0x85) + QChar(0x2029) + QChar(0),
        QStringLiteral("back\\x{a}slash"), // looks escaped already: must stay told apart from the next
        QStringLiteral("back\nslash"),
    };
    QStringList escaped;
    for (const QString& text : texts) {
        const QString result = escapedForLog(text);
        EXPECT_TRUE(std::none_of(result.begin(), result.end(), isLineControl)) << result.toStdString();
        escaped.append(result);
    }
    escaped.removeDuplicates();
    EXPECT_EQ(escaped.size(), 5);
    // Ordinary text, other scripts included, is left as it is.
    EXPECT_EQ(escapedForLog(QStringLiteral("/home/ann/Logs/é ü 3")), QStringLiteral("/home/ann/Logs/é ü 3"));
}

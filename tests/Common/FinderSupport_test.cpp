#include "AppleEventService.h"
#include "FinderSupport.h"
#include "LocalizedString.h"
#include "ScriptService.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

using platform::ScriptDescriptor;
using testing_support::LogCapture;

namespace {

// Records every script made and run; answers from a table keyed by source.
class FakeScriptService final : public platform::ScriptService {
public:
    QStringList created;
    QStringList executed;
    std::map<QString, std::optional<ScriptDescriptor>> results; // absent: no result
    bool compiles = true;

    std::unique_ptr<platform::Script> createScript(const QString& source) override
    {
        created << source;
        return std::make_unique<FakeScript>(*this, source);
    }

private:
    class FakeScript final : public platform::Script {
    public:
        FakeScript(FakeScriptService& service, QString source) : m_service(service), m_source(std::move(source)) {}
        bool compile(QVariantMap* errorInfo) override
        {
            if (!m_service.compiles && errorInfo)
                *errorInfo = {{QStringLiteral("NSAppleScriptErrorNumber"), -2740}};
            return m_service.compiles;
        }
        std::optional<ScriptDescriptor> execute(QVariantMap* errorInfo) override
        {
            m_service.executed << m_source;
            const auto found = m_service.results.find(m_source);
            if (found != m_service.results.end() && found->second)
                return found->second;
            if (errorInfo)
                *errorInfo = {{QStringLiteral("NSAppleScriptErrorMessage"), QStringLiteral("no answer")}};
            return std::nullopt;
        }

    private:
        FakeScriptService& m_service;
        QString m_source;
    };
};

ScriptDescriptor paths(const QStringList& list)
{
    QList<ScriptDescriptor> items;
    for (const QString& path : list)
        items << ScriptDescriptor::text(path);
    return ScriptDescriptor::list(items);
}

struct Fixture {
    FakeScriptService scripts;
    double clock = 1000.0;
    std::unique_ptr<FinderSupport> finder;

    FinderSupport& make()
    {
        FinderSupport::Services services;
        services.scripts = &scripts;
        services.now = [this] { return clock; };
        finder = std::make_unique<FinderSupport>(services);
        return *finder;
    }
    QString selection() const { return FinderSupport::selectionScriptSource(); }
    QString retry() const { return FinderSupport::retryScriptSource(QBLocalizedString(QStringLiteral("ProductName"))); }
    int runsOf(const QString& source) const { return int(scripts.executed.count(source)); }
};

} // namespace

TEST(FinderSupportScripts, TheValueAndTheProductNameReachTheirScripts)
{
    for (const bool show : {false, true})
        EXPECT_TRUE(FinderSupport::setPreferenceScriptSource(show).contains(show ? QStringLiteral("preferences to true")
                                                                                 : QStringLiteral("preferences to false")));
    // The retry brings the product's core forward before asking for the selection.
    const QString retry = FinderSupport::retryScriptSource(QStringLiteral("Acme"));
    const qsizetype core = retry.indexOf(QStringLiteral("tell application \"AcmeCore\""));
    ASSERT_GE(core, 0) << qPrintable(retry);
    EXPECT_LT(core, retry.indexOf(QStringLiteral("selection")));
}

TEST(FinderSupportScripts, RefreshPathCannotBreakOutOfItsString)
{
    // A quote in a file name would otherwise end the string and run the rest
    // of the name as script.
    EXPECT_EQ(FinderSupport::refreshScriptSource(QStringLiteral("/tmp/a\" & do shell script \"x\\")),
              QStringLiteral("tell application \"Finder\"\n"
                             "set fileAlias to POSIX file \"/tmp/a\\\" & do shell script \\\"x\\\\\"\n"
                             "update fileAlias\nend tell"));
}

TEST(FinderSupportSelection, CacheAnswersInsideTheWindowAndRefreshesAfterIt)
{
    Fixture f;
    FinderSupport& finder = f.make();
    f.scripts.results[f.selection()] = paths({QStringLiteral("/a")});
    EXPECT_EQ(finder.getSelectedFinderItemsIsRetry(false), QStringList{QStringLiteral("/a")});
    f.scripts.results[f.selection()] = paths({QStringLiteral("/b")});
    f.clock += 1.0;
    EXPECT_EQ(finder.getSelectedFinderItemsIsRetry(false), QStringList{QStringLiteral("/a")});
    f.clock += 1.5; // exactly 2.5 s after the refresh: still cached
    EXPECT_EQ(finder.getSelectedFinderItemsIsRetry(false), QStringList{QStringLiteral("/a")});
    EXPECT_EQ(f.runsOf(f.selection()), 1);
    f.clock += 0.5; // 3 s after the first request
    EXPECT_EQ(finder.getSelectedFinderItemsIsRetry(false), QStringList{QStringLiteral("/b")});
    EXPECT_EQ(f.runsOf(f.selection()), 2);
}

TEST(FinderSupportSelection, RetryReadsAtOnceAndRestartsTheWindow)
{
    Fixture f;
    FinderSupport& finder = f.make();
    f.scripts.results[f.selection()] = paths({QStringLiteral("/old")});
    f.scripts.results[f.retry()] = paths({QStringLiteral("/new")});
    finder.getSelectedFinderItemsIsRetry(false);
    f.clock += 2.0;
    EXPECT_EQ(finder.getSelectedFinderItemsIsRetry(true), QStringList{QStringLiteral("/new")});
    EXPECT_EQ(f.runsOf(f.retry()), 1);
    f.clock += 2.0; // 4 s after the first read, 2 s after the retry
    EXPECT_EQ(finder.getSelectedFinderItemsIsRetry(false), QStringList{QStringLiteral("/new")});
    EXPECT_EQ(f.runsOf(f.selection()), 1);
}

TEST(FinderSupportSelection, FailedRefreshEmptiesTheCacheAndStillRestartsTheWindow)
{
    Fixture f;
    FinderSupport& finder = f.make();
    f.scripts.results[f.selection()] = paths({QStringLiteral("/a")});
    finder.getSelectedFinderItemsIsRetry(false);
    f.scripts.results.erase(f.selection());
    f.clock += 3.0;
    EXPECT_TRUE(finder.getSelectedFinderItemsIsRetry(false).isEmpty());
    f.scripts.results[f.selection()] = paths({QStringLiteral("/a")});
    f.clock += 1.0;
    EXPECT_TRUE(finder.getSelectedFinderItemsIsRetry(false).isEmpty());
    EXPECT_EQ(f.runsOf(f.selection()), 2);
}

TEST(FinderSupportSelection, DecomposedPathsComeBackComposed)
{
    Fixture f;
    FinderSupport& finder = f.make();
    f.scripts.results[f.selection()] = paths({QStringLiteral(u"/Users/jose\u0301/cafe\u0301.txt"), QStringLiteral("/x")});
    QStringList array{QStringLiteral("/kept")};
    finder.appendSelectedFinderItemsToArray(array, false);
    EXPECT_EQ(array, (QStringList{QStringLiteral("/kept"), QStringLiteral(u"/Users/jos\u00e9/caf\u00e9.txt"),
                                  QStringLiteral("/x")}));
    EXPECT_EQ(finder.getSelectedFinderItemsNoCacheIsRetry(false).size(), 2);
    EXPECT_EQ(f.runsOf(f.selection()), 2);
}

TEST(FinderSupportSelection, UnusableResultsAreLoggedAndAppendNothing)
{
    LogCapture log;
    Fixture f;
    FinderSupport& finder = f.make();
    QStringList array;
    finder.appendSelectedFinderItemsToArray(array, false); // no result
    f.scripts.results[f.selection()] = ScriptDescriptor::null();
    finder.appendSelectedFinderItemsToArray(array, false);
    f.scripts.results[f.selection()] = ScriptDescriptor::text(QStringLiteral("/not/a/list"));
    finder.appendSelectedFinderItemsToArray(array, false);
    f.scripts.results[f.selection()] = paths({});
    finder.appendSelectedFinderItemsToArray(array, false);
    EXPECT_TRUE(array.isEmpty());
    const QStringList messages = log.messages();
    EXPECT_TRUE(messages.contains(QStringLiteral("   FAILED to execute")));
    EXPECT_TRUE(messages.contains(QStringLiteral("   Error = {NSAppleScriptErrorMessage = \"no answer\";}")));
    EXPECT_TRUE(messages.contains(QStringLiteral("  descriptorType == kAENullEvent")));
    EXPECT_TRUE(messages.contains(QStringLiteral("descriptor descriptorType != cAEList")));
    EXPECT_TRUE(messages.contains(QStringLiteral("[descriptor numberOfItems] = 0")));
}

TEST(FinderSupportSelection, ItemWithoutTextIsSkippedNotFatal)
{
    Fixture f;
    FinderSupport& finder = f.make();
    f.scripts.results[f.selection()] = ScriptDescriptor::list({ScriptDescriptor::text(QStringLiteral("/a")),
                                                               ScriptDescriptor::null(),
                                                               ScriptDescriptor::text(QStringLiteral("/b"))});
    EXPECT_EQ(finder.getSelectedFinderItemsNoCacheIsRetry(false), (QStringList{QStringLiteral("/a"), QStringLiteral("/b")}));
}

TEST(FinderSupportSelection, ItemsAreLoggedInDetail)
{
    LogCapture log;
    Fixture f;
    FinderSupport& finder = f.make();
    f.scripts.results[f.selection()] = paths({QStringLiteral("/a"), QStringLiteral("/b")});
    finder.getSelectedFinderItemsNoCacheIsRetry(false);
    const QStringList messages = log.messages();
    EXPECT_TRUE(messages.contains(QStringLiteral("[descriptor numberOfItems] = 2")));
    EXPECT_TRUE(messages.contains(QStringLiteral("[1] stringValue = /a")));
    EXPECT_TRUE(messages.contains(QStringLiteral("[2] stringValue = /b")));
    EXPECT_TRUE(messages.contains(QStringLiteral("   array = (\"/a\", \"/b\")")));
}

TEST(FinderSupportSelection, CompileFailuresAreLoggedAtCreation)
{
    LogCapture log;
    Fixture f;
    f.scripts.compiles = false;
    f.make();
    const QStringList messages = log.messages();
    EXPECT_TRUE(messages.contains(QStringLiteral("+[FinderSupport initialize]   FAILED to compile")));
    EXPECT_TRUE(messages.contains(QStringLiteral("+[FinderSupport initialize]   FAILED to compile retry script")));
    EXPECT_EQ(messages.count(QStringLiteral("Error = {NSAppleScriptErrorNumber = -2740;}")), 2);
}

TEST(FinderSupportPreferences, ReadSetAndRefreshRunTheirScripts)
{
    Fixture f;
    FinderSupport& finder = f.make();
    EXPECT_TRUE(finder.showConnectedServersOnDesktop()) << "no answer reads as YES";
    f.scripts.results[FinderSupport::readPreferenceScriptSource()] = ScriptDescriptor::boolean(false);
    EXPECT_FALSE(finder.showConnectedServersOnDesktop());
    f.scripts.results[FinderSupport::readPreferenceScriptSource()] = ScriptDescriptor::boolean(true);
    EXPECT_TRUE(finder.showConnectedServersOnDesktop());

    finder.setShowConnectedServersOnDesktop(false);
    finder.setShowConnectedServersOnDesktop(true);
    finder.updateFileAtPath(QStringLiteral("/tmp/x"));
    const QStringList tail = f.scripts.executed.mid(f.scripts.executed.size() - 3);
    EXPECT_EQ(tail,
              (QStringList{FinderSupport::setPreferenceScriptSource(false), FinderSupport::setPreferenceScriptSource(true),
                           FinderSupport::refreshScriptSource(QStringLiteral("/tmp/x"))}));
    EXPECT_TRUE(tail.at(0).contains(QStringLiteral("preferences to false\n")));
}

TEST(FinderSupportOnLinux, ScriptHostIsMissingAndSaysSo)
{
    LogCapture log;
    platform::ScriptService::setShared(nullptr);
    FinderSupport finder{FinderSupport::Services{}};
    EXPECT_TRUE(finder.getSelectedFinderItemsIsRetry(false).isEmpty());
    EXPECT_TRUE(finder.showConnectedServersOnDesktop());
    const QStringList messages = log.messages();
    EXPECT_TRUE(messages.contains(QStringLiteral("+[FinderSupport initialize]   FAILED to compile")));
    EXPECT_TRUE(messages.contains(QStringLiteral("   FAILED to execute")));
    EXPECT_FALSE(messages.filter(QStringLiteral("No script host")).isEmpty());
    EXPECT_EQ(finder.sendAppleEventToSystemProcess(platform::fourCharCode("rstr")), platform::procNotFound);
}

namespace {

class RecordingEvents final : public platform::AppleEventService {
public:
    platform::ProcessSerialNumber target;
    uint32_t eventClass = 0;
    uint32_t eventID = 0;
    int32_t result = 0;
    int32_t sendEvent(const platform::ProcessSerialNumber& psn, uint32_t cls, uint32_t id) override
    {
        target = psn;
        eventClass = cls;
        eventID = id;
        return result;
    }
};

} // namespace

TEST(FinderSupportEvents, EventGoesToTheSystemProcessAndItsResultComesBack)
{
    RecordingEvents events;
    events.result = -1712;
    FinderSupport::Services services;
    services.appleEvents = &events;
    services.scripts = &platform::ScriptService::shared();
    FinderSupport finder(services);
    EXPECT_EQ(finder.sendAppleEventToSystemProcess(platform::fourCharCode("rrst")), -1712);
    EXPECT_EQ(events.target.highLongOfPSN, 0u);
    EXPECT_EQ(events.target.lowLongOfPSN, 1u);
    EXPECT_EQ(events.eventClass, platform::fourCharCode("aevt"));
    EXPECT_EQ(events.eventID, platform::fourCharCode("rrst"));
}

TEST(FinderSupportEvents, QuitiTunesSendsTerminationToItsProcess)
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    auto finder = std::make_unique<FinderSupport>(FinderSupport::Services{
        nullptr, nullptr,
        [child] {
            return QVariantMap{{QStringLiteral("NSApplicationBundleIdentifier"), QStringLiteral("com.apple.iTunes")},
                               {QStringLiteral("NSApplicationProcessIdentifier"), qint64(child)}};
        },
        nullptr});
    finder->quitiTunes();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(FinderSupportEvents, QuitiTunesWithoutAUsableProcessDoesNothing)
{
    LogCapture log;
    int calls = 0;
    FinderSupport::Services services;
    services.runningiTunesInfo = [&calls] {
        ++calls;
        return QVariantMap();
    };
    FinderSupport(services).quitiTunes();
    EXPECT_EQ(calls, 1);
    // A dictionary without a process identifier must not signal process
    // group 0, which is this very test.
    services.runningiTunesInfo = [] {
        return QVariantMap{{QStringLiteral("NSApplicationBundleIdentifier"), QStringLiteral("com.apple.iTunes")}};
    };
    FinderSupport(services).quitiTunes();
    EXPECT_FALSE(log.messages().filter(QStringLiteral("Not quitting iTunes")).isEmpty());
}

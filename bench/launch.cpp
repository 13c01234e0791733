// Launch overhead: the real launcher on an installed copy of the sample
// bundle, every required item in order, from exec to the launcher's exit,
// against what any launch must do, measured in the same run: the three
// process-check pipelines one after another, exactly as the launcher runs
// them, followed by starting the core directly. Prints launcher time minus
// baseline time (medians), offscreen and, when Xvfb is installed, on a
// virtual X display; and the same for the CPU time of the processes each
// side started and waited for, which a busy machine disturbs much less.
// Beside them, the floor: a program that loads Qt Core, makes its
// application object and ends, as any launcher built on Qt must.
// Last, the paired figure: launcher and baseline run alternately, and the
// median of the per-pair differences is printed; on a machine whose speed
// drifts between rows it is the steadier one (QUORBEL_BENCH_PAIRS pairs a
// side, 30 unless set; 0 leaves it out).
//
// QUORBEL_BENCH_BUNDLE names another build's bundle to run instead of this
// build's; QUORBEL_BENCH_EARLIER_BUNDLE names an earlier build's bundle to run
// as well, in rows of its own, so that two builds compare against one
// baseline in one run.
//
// Other processes on the machine take part in the pipelines' listing, and a
// running core anywhere makes the launcher refuse to start: run it in a
// private process namespace,
//   unshare --pid --fork --mount-proc build/bench/bench_launch

#include "ProcessUtilities.h"
#include "PropertyList.h"
#include "RecordingReporter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>

namespace {

const QString kCoreName = QStringLiteral("QuorbelCore");

struct Installation {
    QTemporaryDir dir;
    QString home = dir.filePath(QStringLiteral("home"));
    QString root = dir.filePath(QStringLiteral("root"));
    QString bundle = root + QStringLiteral("/Applications/Quorbel.app");
    QString launcher = bundle + QStringLiteral("/Contents/MacOS/Quorbel");
    QString core = bundle + QStringLiteral("/Contents/Resources/QuorbelCore.app/Contents/MacOS/QuorbelCore");
    QString coreLog = home + QStringLiteral("/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log");

    explicit Installation(const QString& source)
    {
        QDir().mkpath(home);
        QDir().mkpath(root + QStringLiteral("/Applications"));
        std::printf("launcher: %s\n", qPrintable(source));
        QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-pR"), source, bundle});
        // The sample's tools and plug-in would install into the real system
        // folders: the measured launch checks the core alone, all in order.
        const QVariantMap coreItem{{QStringLiteral("Type"), QStringLiteral("CoreApp")},
                                   {QStringLiteral("Name"), QStringLiteral("QuorbelCore")},
                                   {QStringLiteral("Resource"), QStringLiteral("QuorbelCore.app")}};
        platform::writePropertyList(bundle + QStringLiteral("/Contents/Resources/RequiredItems.plist"),
                                    QVariantMap{{QStringLiteral("RequiredItems"), QVariantList{coreItem}}}, nullptr);
    }

    QProcessEnvironment environment(const QString& platform, const QString& display) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
        env.insert(QStringLiteral("QUORBEL_SYSTEM_ROOT"), root);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
        env.remove(QStringLiteral("QUORBEL_CORE_KEEP_RUNNING"));
        if (display.isEmpty())
            env.remove(QStringLiteral("DISPLAY"));
        else
            env.insert(QStringLiteral("DISPLAY"), display);
        return env;
    }

    qsizetype coreStarts() const
    {
        QFile log(coreLog);
        return log.open(QIODevice::ReadOnly) ? log.readAll().count('\n') : 0;
    }
};

Installation& installation()
{
    // Another build's bundle may be compared against this one's pipelines.
    static Installation shared(qEnvironmentVariableIsEmpty("QUORBEL_BENCH_BUNDLE")
                                   ? QStringLiteral(QB_BUNDLE_DIR)
                                   : qEnvironmentVariable("QUORBEL_BENCH_BUNDLE"));
    return shared;
}

// An earlier build's launcher, measured in the same run; null without one.
Installation* earlierInstallation()
{
    static std::unique_ptr<Installation> shared = qEnvironmentVariableIsEmpty("QUORBEL_BENCH_EARLIER_BUNDLE")
                                                      ? nullptr
                                                      : std::make_unique<Installation>(
                                                          qEnvironmentVariable("QUORBEL_BENCH_EARLIER_BUNDLE"));
    return shared.get();
}

// A virtual X display for the whole run; empty when Xvfb cannot start.
class VirtualDisplay {
public:
    VirtualDisplay()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            return;
        for (int number = 91; number < 99 && m_display.isEmpty(); ++number) {
            if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
                continue;
            m_server.setStandardOutputFile(QProcess::nullDevice());
            m_server.setStandardErrorFile(QProcess::nullDevice());
            m_server.start(xvfb, {QStringLiteral(":%1").arg(number), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                  QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1280x800x24")});
            m_server.waitForStarted(10000);
            for (int wait = 0; wait < 400 && m_server.state() == QProcess::Running; ++wait) {
                if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number))) {
                    m_display = QStringLiteral(":%1").arg(number);
                    break;
                }
                QThread::msleep(50);
            }
            if (m_display.isEmpty())
                stop();
        }
    }
    ~VirtualDisplay() { stop(); }
    QString display() const { return m_display; }

private:
    void stop()
    {
        if (m_server.state() == QProcess::NotRunning)
            return;
        m_server.terminate();
        m_server.waitForFinished(5000);
    }
    QProcess m_server;
    QString m_display;
};

// CPU time of the finished children and their waited-for descendants, in
// milliseconds: a busy machine stretches wall time far more than this.
double childrenCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Per iteration, as the counter "child_cpu_ms".
class ChildCpu {
public:
    explicit ChildCpu(benchmark::State& state) : m_state(state), m_start(childrenCpuMs()) {}
    ~ChildCpu()
    {
        if (m_state.iterations() > 0)
            m_state.counters["child_cpu_ms"] = (childrenCpuMs() - m_start) / double(m_state.iterations());
    }

private:
    benchmark::State& m_state;
    double m_start;
};

VirtualDisplay& virtualDisplay()
{
    static VirtualDisplay shared;
    return shared;
}

// The baseline loop (detached cores): waits until `pid` has ended. A core
// reparented to this process (pid 1 of a private namespace) ends as a zombie.
void waitUntilEnded(qint64 pid)
{
    if (pid <= 0)
        return;
    for (int i = 0; i < 1000; ++i) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return;
        const QByteArray text = stat.readAll();
        if (text.mid(text.lastIndexOf(')') + 2, 1) == "Z") {
            ::waitpid(pid_t(pid), nullptr, WNOHANG);
            return;
        }
        QThread::msleep(5);
    }
}

// The core as the baseline starts it: directly, from its folder, offscreen.
void prepareCore(QProcess& core, const Installation& inst)
{
    core.setProgram(inst.core);
    core.setWorkingDirectory(QFileInfo(inst.core).absolutePath());
    core.setProcessEnvironment(inst.environment(QStringLiteral("offscreen"), QString()));
    core.setStandardOutputFile(QProcess::nullDevice());
    core.setStandardErrorFile(QProcess::nullDevice());
}

// The baseline's timed work: the pipelines as the launcher runs them, then
// the core started as the launcher starts it, without anything else around
// them. Null when done, else why not.
const char* pipelinesThenCore(QProcess& core, qint64* started)
{
    if (ProcessUtilities::quorbelCoreAlreadyRunning(kCoreName))
        return "a core is running: run in a private process namespace";
    if (!core.startDetached(started))
        return "the core did not start";
    return nullptr;
}

void BM_Baseline_PipelinesThenCore(benchmark::State& state)
{
    const Installation& inst = installation();
    QProcess core;
    prepareCore(core, inst);
    const ChildCpu cpu(state);
    qint64 previous = 0;
    for (auto _ : state) {
        // The launcher's own runs never overlap a core (each checks for one);
        // neither may the baseline's: the wait for the last core is not timed.
        state.PauseTiming();
        waitUntilEnded(previous);
        state.ResumeTiming();
        if (const char* why = pipelinesThenCore(core, &previous)) {
            state.SkipWithError(why);
            break;
        }
    }
    waitUntilEnded(previous);
}

// One run of a program to its end; false when it did not end normally.
bool runToEnd(const QString& program, const QProcessEnvironment& env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProgram(program);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start();
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    process.kill();
    process.waitForFinished();
    return false;
}

bool launchOnce(const Installation& inst, const QProcessEnvironment& env)
{
    return runToEnd(inst.launcher, env);
}

void runLauncher(benchmark::State& state, const Installation& inst, const QString& platform, const QString& display)
{
    const QProcessEnvironment env = inst.environment(platform, display);
    const ChildCpu cpu(state);
    for (auto _ : state) {
        if (!launchOnce(inst, env)) {
            state.SkipWithError("the launcher did not end normally");
            break;
        }
    }
}

void launchOffscreen(benchmark::State& state, const Installation& inst)
{
    runLauncher(state, inst, QStringLiteral("offscreen"), QString());
}

void launchOnXvfb(benchmark::State& state, const Installation& inst)
{
    const QString display = virtualDisplay().display();
    if (display.isEmpty()) {
        state.SkipWithError("no Xvfb");
        return;
    }
    runLauncher(state, inst, QStringLiteral("xcb"), display);
}

void BM_Launcher_Offscreen(benchmark::State& state)
{
    launchOffscreen(state, installation());
}

void BM_Launcher_Xvfb(benchmark::State& state)
{
    launchOnXvfb(state, installation());
}

// Any launcher on Qt pays this: Qt Core loaded, the application object made.
void BM_QtCoreFloor(benchmark::State& state)
{
    const QProcessEnvironment env = installation().environment(QStringLiteral("offscreen"), QString());
    const ChildCpu cpu(state);
    for (auto _ : state) {
        if (!runToEnd(QStringLiteral(QB_QT_CORE_FLOOR), env)) {
            state.SkipWithError("the floor program did not end normally");
            break;
        }
    }
}

// Each row: a few dozen launches, the median of several repetitions, wall time.
void configure(benchmark::internal::Benchmark* row)
{
    row->Unit(benchmark::kMillisecond)->Iterations(10)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();
}

BENCHMARK(BM_Baseline_PipelinesThenCore)->Apply(configure);
BENCHMARK(BM_Launcher_Offscreen)->Apply(configure);
BENCHMARK(BM_Launcher_Xvfb)->Apply(configure);
BENCHMARK(BM_QtCoreFloor)->Apply(configure);

void printOverhead(const RecordingReporter& reporter, const char* row, const char* label)
{
    const double launcher = reporter.figure(row, "_median", "real");
    const double baseline = reporter.figure("BM_Baseline_PipelinesThenCore", "_median", "real");
    if (launcher <= 0 || baseline <= 0)
        return;
    std::printf("launch overhead %-17s launcher %.1f ms - baseline %.1f ms = %.1f ms\n", label, launcher, baseline,
                launcher - baseline);
    const double launcherCpu = reporter.figure(row, "_median", "child_cpu_ms");
    const double baselineCpu = reporter.figure("BM_Baseline_PipelinesThenCore", "_median", "child_cpu_ms");
    if (launcherCpu > 0 && baselineCpu > 0)
        std::printf("    CPU time %-17s launcher %.1f ms - baseline %.1f ms = %.1f ms\n", label, launcherCpu, baselineCpu,
                    launcherCpu - baselineCpu);
}

// Waits until no core runs: each one found is waited for as the baseline
// waits for its own.
void waitForCoresToEnd()
{
    const QByteArray coreField = '(' + kCoreName.toUtf8() + ')';
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isProcess = false;
        const qint64 pid = entry.toLongLong(&isProcess);
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (isProcess && stat.open(QIODevice::ReadOnly) && stat.readAll().contains(coreField))
            waitUntilEnded(pid);
    }
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The launcher and the baseline run alternately, a launch and a baseline
// run to a pair, which of the two goes first alternating too: the two
// halves of a pair meet the same machine, where rows measured seconds apart
// may meet a machine that has changed speed meanwhile. Nothing of an earlier
// run is still running when a timed run starts (the waits are not timed).
void printPairedOverhead(const char* label, const QString& platform, const QString& display, int pairs)
{
    const Installation& inst = installation();
    const QProcessEnvironment env = inst.environment(platform, display);
    QProcess core;
    prepareCore(core, inst);
    std::vector<double> launcherMs, baselineMs, differences;
    for (int pair = 0; pair < pairs; ++pair) {
        double times[2] = {0, 0}; // launcher, baseline
        for (int half = 0; half < 2; ++half) {
            const bool launcher = (half == 0) == (pair % 2 == 0);
            waitForCoresToEnd();
            QElapsedTimer timer;
            timer.start();
            qint64 started = 0;
            const bool done = launcher ? launchOnce(inst, env) : pipelinesThenCore(core, &started) == nullptr;
            times[launcher ? 0 : 1] = double(timer.nsecsElapsed()) / 1e6;
            if (!done) {
                std::printf("paired launch overhead %-9s not measured: the %s did not run\n", label,
                            launcher ? "launcher" : "baseline");
                return;
            }
        }
        launcherMs.push_back(times[0]);
        baselineMs.push_back(times[1]);
        differences.push_back(times[0] - times[1]);
    }
    waitForCoresToEnd();
    std::printf("paired launch overhead %-9s median of %d differences = %.1f ms (medians: launcher %.1f ms, "
                "baseline %.1f ms)\n",
                label, pairs, median(differences), median(launcherMs), median(baselineMs));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (ProcessUtilities::quorbelCoreAlreadyRunning(kCoreName)) {
        std::fprintf(stderr,
                     "A core or client is running on this machine; run this benchmark in a private process "
                     "namespace: unshare --pid --fork --mount-proc %s\n",
                     argv[0]);
        return 1;
    }
    installation();
    Installation* earlier = earlierInstallation();
    if (earlier) {
        benchmark::RegisterBenchmark("BM_EarlierLauncher_Offscreen", [earlier](benchmark::State& state) {
            launchOffscreen(state, *earlier);
        })->Apply(configure);
        benchmark::RegisterBenchmark("BM_EarlierLauncher_Xvfb", [earlier](benchmark::State& state) {
            launchOnXvfb(state, *earlier);
        })->Apply(configure);
    }
    virtualDisplay();
    const auto coreStarts = [earlier] { return installation().coreStarts() + (earlier ? earlier->coreStarts() : 0); };
    const qsizetype startsBefore = coreStarts();
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printOverhead(reporter, "BM_Launcher_Offscreen", "offscreen");
    printOverhead(reporter, "BM_Launcher_Xvfb", "Xvfb");
    printOverhead(reporter, "BM_EarlierLauncher_Offscreen", "earlier offscreen");
    printOverhead(reporter, "BM_EarlierLauncher_Xvfb", "earlier Xvfb");
    const double floor = reporter.figure("BM_QtCoreFloor", "_median", "real");
    if (floor > 0)
        std::printf("of the overhead, any Qt program's start and end: %.1f ms\n", floor);
    const int pairs = qEnvironmentVariableIsSet("QUORBEL_BENCH_PAIRS") ? qEnvironmentVariableIntValue("QUORBEL_BENCH_PAIRS")
                                                                       : 30;
    if (pairs > 0) {
        printPairedOverhead("offscreen", QStringLiteral("offscreen"), QString(), pairs);
        if (!virtualDisplay().display().isEmpty())
            printPairedOverhead("Xvfb", QStringLiteral("xcb"), virtualDisplay().display(), pairs);
    }
    // Every launch of either side must have started the core: the cores log
    // their start a moment after they were started.
    QThread::msleep(500);
    std::printf("core starts logged: %lld\n", static_cast<long long>(coreStarts() - startsBefore));
    benchmark::Shutdown();
    return 0;
}

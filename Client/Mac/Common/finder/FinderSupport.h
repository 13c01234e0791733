#pragma once
// Talking to the desktop's file browser ("Finder") and to the system: the
// paths of the selected items (through a script, with a short-lived cache),
// the preference that shows connected servers on the desktop, refreshing the
// browser's view of one file, bare events to the system process, and quitting
// the music player.

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {
class AppleEventService;
class Script;
class ScriptService;
} // namespace platform

class FinderSupport {
public:
    // What the manager talks to; empty members mean the system's own.
    struct Services {
        platform::ScriptService* scripts = nullptr;
        platform::AppleEventService* appleEvents = nullptr;
        // The running music player's launched-application dictionary, or empty.
        std::function<QVariantMap()> runningiTunesInfo;
        // Seconds since 1 January 2001.
        std::function<double()> now;
    };

    // How long a read selection is answered from the cache, in seconds.
    static constexpr double kSelectionCacheSeconds = 2.5;

    static FinderSupport& sharedManager();
    FinderSupport();
    explicit FinderSupport(Services services);
    ~FinderSupport();
    FinderSupport(const FinderSupport&) = delete;
    FinderSupport& operator=(const FinderSupport&) = delete;

    // The selection, read afresh when the cache is older than the window or
    // for a retry. The answer is a snapshot of the cache.
    QStringList getSelectedFinderItemsIsRetry(bool isRetry);
    // Appends the current selection's paths (composed form, NFC).
    void appendSelectedFinderItemsToArray(QStringList& array, bool isRetry);
    QStringList createSelectedFinderItemsArrayNoCacheIsRetry(bool isRetry);
    QStringList getSelectedFinderItemsNoCacheIsRetry(bool isRetry);

    // YES when the script gives no answer.
    bool showConnectedServersOnDesktop();
    void setShowConnectedServersOnDesktop(bool show);
    void updateFileAtPath(const QString& path);
    int32_t sendAppleEventToSystemProcess(uint32_t eventID);
    void quitiTunes();

    // The script texts.
    static QString selectionScriptSource();
    static QString retryScriptSource(const QString& productName);
    static QString readPreferenceScriptSource();
    static QString setPreferenceScriptSource(bool show);
    static QString refreshScriptSource(const QString& path);

private:
    void initialize();
    platform::ScriptService& scripts() const;
    double now() const;
    void runScriptIgnoringErrors(const QString& source);

    Services m_services;
    std::unique_ptr<platform::Script> m_selectionScript;
    std::unique_ptr<platform::Script> m_retryScript;
    QMutex m_scriptLock; // one execution of a compiled script at a time

    std::atomic<double> _lastRequestTimeInterval{0};
    QStringList _fileList;
    QMutex m_fileListLock; // guards _fileList for the length of a copy
    QMutex m_refreshLock;  // held for a whole refresh
};

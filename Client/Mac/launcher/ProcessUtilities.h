#pragma once
// Process queries of the launcher.

#include <QString>
#include <QVariantMap>

#include <optional>

class ProcessUtilities {
public:
    // Whether a copy of the core, or of an earlier-named client, is running:
    // some process's command path contains `processName` (other than the
    // relauncher), "Quorbel Mac" or "QuorbelCore".
    static bool quorbelCoreAlreadyRunning(const QString& processName);
    // The launched-application dictionaries of iTunes and of Finder.
    static std::optional<QVariantMap> getRunningiTunesInfo();
    static std::optional<QVariantMap> getRunningFinder();
    static QString currentLanguage();

    // `text` as one single-quoted shell word.
    static QString shellQuoted(const QString& text);
};

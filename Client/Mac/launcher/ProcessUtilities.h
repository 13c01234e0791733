#pragma once
// Process queries of the launcher.

#include <QString>

class ProcessUtilities {
public:
    // Whether a copy of the core, or of an earlier-named client, is running.
    static bool quorbelCoreAlreadyRunning(const QString& processName);
};

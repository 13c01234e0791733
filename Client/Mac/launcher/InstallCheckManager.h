#pragma once
// The installation check: evaluates the required-items manifest.

#include <QVariantList>
#include <QVariantMap>

#include <chrono>
#include <cstdint>

class InstallCheckManager {
public:
    static InstallCheckManager& sharedManager();

    // YES when every required item is present and sound.
    bool checkForRequiredItems();

    // ---- Version rules (InstallCheckManager+Version.cpp) ----
    // Outs are left alone when an answer is NO.

    // The three-part "CFBundleShortVersionString" of the item's installed
    // bundle ("InstallPath"/Contents/Info.plist) or framework
    // ("InstallPath"/Versions/Current/Resources/Info.plist).
    static bool getBundleVersion(const QVariantMap& item, int32_t* major, int32_t* minor, int32_t* bugfix);
    static bool getFrameworkVersion(const QVariantMap& item, int32_t* major, int32_t* minor, int32_t* bugfix);
    // Exactly three "."-separated parts, each read as an integer.
    static bool parseVersionString(const QString& version, int32_t* major, int32_t* minor, int32_t* bugfix);
    // Whether the installed version is at least the item's "Version".
    static bool checkFrameworkVersion(const QVariantMap& item, int32_t major, int32_t minor, int32_t bugfix);
    // Whether this system needs the item under its "MaxMacOSX" / "MinMacOSX"
    // word; an item without the word, or an unknown system version, needs it.
    static bool checkMaxMacOSXVersion(const QVariantMap& item);
    static bool checkMinMacOSXVersion(const QVariantMap& item);
    static bool getMacOSXVersion(int32_t* major, int32_t* minor, int32_t* bugfix);
    // This launcher's version with its build, "1.19.0 (5)".
    static QString getMacClientVersionAsString();
    static void getVersionFromString(const QString& version, int32_t* major, int32_t* minor, int32_t* build,
                                     int32_t* revision);
    static void getMacClientVersion(int32_t* major, int32_t* minor, int32_t* build, int32_t* revision);
    // Runs the item's installed tool, which prints its version, and answers
    // whether its major or minor version is behind this launcher's. A tool
    // that cannot be run, does not finish within the tool time-out or prints
    // without end needs an update.
    static bool doesToolNeedUpdate(const QVariantMap& item);
    static bool doesToolNeedUpdate(const QVariantMap& item, const QString& clientVersion);
    // The same for an installed bundle's short version; an unreadable one needs an update.
    static bool doesBundleNeedUpdate(const QVariantMap& item);
    static bool doesBundleNeedUpdate(const QVariantMap& item, const QString& clientVersion);
    // How long a tool may take to print its version (10 s).
    static void setToolVersionTimeout(std::chrono::milliseconds timeout);

    // ---- end of version rules ----

private:
    InstallCheckManager();

    QVariantMap requiredItems;
    QVariantList requiredItemsList;
};

#pragma once
// An application bundle on disk: X.app/Contents/{Info.plist,MacOS/,Resources/}.

#include "StringsTable.h"

#include <QString>
#include <QVariantMap>

#include <memory>
#include <mutex>
#include <optional>

namespace platform {

class Bundle {
public:
    explicit Bundle(const QString& bundlePath);

    // The bundle the running executable lives in, by the path it was started
    // from (folder links kept, as the user sees it) when that path names the
    // running executable, else by the executable's resolved path; tests may
    // point it elsewhere.
    static Bundle& mainBundle();
    static void setMainBundlePath(const QString& bundlePath);
    // False when the main bundle's path is not UTF-8: its text then names
    // some other place, and nothing may be read or done through it.
    static bool mainBundlePathIsExact();
    // The bundle path of this process had it been started as `argv0`.
    static QString bundlePathStartedAs(const QByteArray& argv0, bool* exact);

    // The bundle with this identifier among the bundles this process knows:
    // the main bundle and the application bundles in its resources.
    static std::optional<Bundle> bundleWithIdentifier(const QString& identifier);

    QString bundlePath() const { return m_path; }
    QString resourcePath() const;
    QString infoPlistPath() const;
    QString executablePath() const;

    // Empty when the bundle has no readable Info.plist; infoDictionaryError() says why.
    QVariantMap infoDictionary() const;
    QString infoDictionaryError() const;
    QString bundleIdentifier() const;

    // Path of resource "name.type" in the resources folder, or "" when absent.
    QString pathForResource(const QString& name, const QString& type) const;

    // Localised string of `key` from the default table of the preferred
    // localisation; a key that the table lacks yields `value` when it is not
    // empty, else the key itself.
    QString localizedString(const QString& key, const QString& value = {}) const;
    QString localization() const;
    // Why the strings table could not be used ("" when it was read fine).
    QString stringsTableError() const;

private:
    struct Loaded;
    struct State;
    const Loaded& loaded() const;

    QString m_path;
    // Read on first use and shared by copies of this bundle.
    std::shared_ptr<State> m_state;
};

} // namespace platform

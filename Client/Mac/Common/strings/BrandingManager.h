#pragma once
// Localised, branded texts: every user-visible text is looked up by key in
// the application's strings table, and the brand's product names are put in
// place of their tokens ("{#ProductName#}" and the like). Finished strings are
// cached for the life of the process.
//
// Branding: the current user's brand number, the brand's logo and the
// reseller test. These keep no state: the brand is read anew on every call.

#include <QHash>
#include <QMutex>
#include <QString>

#include <cstdint>
#include <functional>

class QImage;
class QLabel;
class QuorbelHeaderView;

class BrandingManager {
public:
    static BrandingManager& sharedManager();

    // The brand the configuration names, asked each time a header view is
    // made (0 without a source).
    static void setConfiguredBrandSource(std::function<int32_t()> source);
    static int32_t configuredBrand();

    // The finished string for `key`; a null key yields a null string. The
    // same key always yields the same shared string data.
    QString localisedString(const QString& key);
    QString localisedStringStrippingBrandingSection(const QString& section, const QString& key);

    const QString& productName() const { return m_productName; }
    // Why the product name is not the table's ("" when it is).
    const QString& productNameProblem() const { return m_productNameProblem; }
    const QString& satchelProduct() const { return m_satchelProduct; }
    const QString& backupProduct() const { return m_backupProduct; }
    const QString& teamFolderProduct() const { return m_teamFolderProduct; }
    const QString& teamFoldersProduct() const { return m_teamFoldersProduct; }

    // ---- Branding (BrandingManager+Branding.cpp) ----

    // The last used user's "BrandID"; -1 without such a user or value.
    int32_t getBrandingID() const;
    QImage getBrandedLogoImage() const;
    // "logo-<brand>.bmp" from the user's support folder when it loads; else
    // the bundle's own logo for brand 15 only; else the default "logo-1.bmp"
    // of the bundle (null when even that is missing).
    QImage getBrandedLogoImageForBrandID(int32_t brandID) const;
    // Give the views the current user's logo; nothing happens without one.
    void setBrandedLogoImage(QLabel* imageView) const;
    void setHeaderViewBrandedLogoImage(QuorbelHeaderView* headerView) const;
    // Brands above 10000 belong to resellers.
    bool isReseller() const;
    // The folder that holds the users' downloaded logos.
    static QString brandedLogoFolder();

    // Drops the shared instance so that a test can start from a new table.
    static void resetSharedManagerForTesting();

private:
    BrandingManager();
    QString rawLookup(const QString& key) const;
    QString replaceTokens(QString text) const;

    QString m_productName;
    QString m_productNameProblem;
    QString m_satchelProduct;
    QString m_backupProduct;
    QString m_teamFolderProduct;
    QString m_teamFoldersProduct;
    QMutex m_cacheLock; // the repair thread and the main thread look texts up at once
    QHash<QString, QString> m_localisedStrings;
};

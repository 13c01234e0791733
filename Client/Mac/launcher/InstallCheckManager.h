#pragma once
// The installation check: evaluates the required-items manifest.

#include <QVariantList>
#include <QVariantMap>

class InstallCheckManager {
public:
    static InstallCheckManager& sharedManager();

    // YES when every required item is present and sound.
    bool checkForRequiredItems();

private:
    InstallCheckManager();

    QVariantMap requiredItems;
    QVariantList requiredItemsList;
};

#pragma once
// Helpers for the tests that use the keyring: whether a real Secret Service
// is ready, unique account names (test processes share one keyring) and a
// product name, which names the keyring service.

#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace testing_support {

// Empty when an unlocked Secret Service answers; otherwise why not.
QString keyringUnavailableReason();

#define QB_REQUIRE_KEYRING()                                                                                               \
    do {                                                                                                                   \
        const QString why = ::testing_support::keyringUnavailableReason();                                                 \
        if (!why.isEmpty())                                                                                                \
            GTEST_SKIP() << why.toStdString();                                                                             \
    } while (0)

// A name no other test process uses.
QString uniqueAccountName(const QString& prefix);

// Points the main bundle at a scratch bundle whose strings table gives this
// product name; restores the previous main bundle afterwards.
class ScopedProductName {
public:
    explicit ScopedProductName(const QString& productName);
    ~ScopedProductName();

private:
    QTemporaryDir m_dir;
    QString m_previousBundlePath;
};

} // namespace testing_support

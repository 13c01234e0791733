#include "Substring.h"
#include "UUIDString.h"

#include "QtPrinters.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

TEST(CaseInsensitiveSubstring, FindsAnyCaseAndNeverTheEmptyString)
{
    EXPECT_TRUE(hasCaseInsensitiveSubstring(QStringLiteral("/Packages/macfuse-2.pkg"), QStringLiteral("MacFUSE")));
    EXPECT_TRUE(hasCaseInsensitiveSubstring(QStringLiteral("MACFUSE"), QStringLiteral("macfuse")));
    EXPECT_FALSE(hasCaseInsensitiveSubstring(QStringLiteral("Mac FUSE"), QStringLiteral("MacFUSE")));
    EXPECT_FALSE(hasCaseInsensitiveSubstring(QStringLiteral("anything"), QString()));
    EXPECT_FALSE(hasCaseInsensitiveSubstring(QString(), QStringLiteral("x")));
}

TEST(UUIDString, FreshUpperCaseStandardForm)
{
    static const QRegularExpression form(
        QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"));
    const QString first = UUIDString();
    EXPECT_TRUE(form.match(first).hasMatch()) << first.toStdString();
    EXPECT_NE(first, UUIDString());
}

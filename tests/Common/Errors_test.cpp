#include "Errors.h"

#include "QtPrinters.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

using namespace testing_support;

TEST(ExceptionText, WithoutChainIsNameAndReasonWithoutCarriageReturns)
{
    const QBException fault(QStringLiteral("Configuration Fault"), QStringLiteral("bad\r\nlevel\r"));
    EXPECT_EQ(errorExceptionToString(fault), QStringLiteral("Configuration Fault (bad\nlevel)"));
}

TEST(ExceptionText, ChainListsNewestCauseFirstWithGrowingIndent)
{
    LogCapture log;
    const QBException a(QStringLiteral("A"), QStringLiteral("first"));
    const QBException b = prepareException(a, QStringLiteral("second %1"), 2);
    const QBException c = prepareException(b, QStringLiteral("third"));

    EXPECT_EQ(c.name(), QStringLiteral("A"));
    EXPECT_EQ(c.userInfo().value(QStringLiteral("stack")).toStringList(),
              (QStringList{QStringLiteral("A (first)"), QStringLiteral("A (second 2)")}));
    EXPECT_EQ(errorExceptionToString(c), QStringLiteral("A (third)\n"
                                                        "  Because:\n"
                                                        "  A (second 2)\n"
                                                        "    Because:\n"
                                                        "    A (first)"));
    EXPECT_TRUE(log.contains(QStringLiteral("Preparing exception A (second 2)")));
    // The original exceptions are not changed by chaining.
    EXPECT_TRUE(a.userInfo().isEmpty());
    EXPECT_EQ(b.userInfo().value(QStringLiteral("stack")).toStringList().size(), 1);
}

TEST(RaiseException, ThrowsTheNamedExceptionWithFormattedReason)
{
    try {
        __raiseException1(QStringLiteral("Configuration Fault"), QStringLiteral("Invalid level \"%1\""),
                          QStringLiteral("loud"));
        FAIL() << "no exception";
    } catch (const QBException& fault) {
        EXPECT_EQ(fault.name(), QStringLiteral("Configuration Fault"));
        EXPECT_EQ(fault.reason(), QStringLiteral("Invalid level \"loud\""));
    }
}

TEST(ErrorText, ReasonAndDescriptionAndTheLogLine)
{
    LogCapture log(0, 0);
    const QBError error = QBError::clientError(-3, QStringLiteral("quitApplication failed"), QStringLiteral("Timed out"));
    EXPECT_EQ(nserrorToString(error), QStringLiteral("\"quitApplication failed\" because \"Timed out\""));
    logNSError(error);
    EXPECT_TRUE(log.lines().join(u'\n').endsWith(QStringLiteral("Error:\n\"quitApplication failed\" because \"Timed out\"")));
}

TEST(PosixErrorText, KnownAndUnknownNumbers)
{
    EXPECT_EQ(posixErrorToString(ENOENT), QStringLiteral("Posix error 2 (No such file or directory)"));
    EXPECT_EQ(posixErrorToString(-1), QStringLiteral("Unknown Posix error"));
    EXPECT_EQ(posixErrorToString(100000), QStringLiteral("Unknown Posix error"));
}

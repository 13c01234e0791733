#include "HostNames.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

TEST(HostName, LocalNamesReadFullyQualifiedAndShortNameIsTheFirstPiece)
{
    EXPECT_EQ(_hostnameFromSystemName(QStringLiteral("mac.local")), QStringLiteral("mac.local."));
    EXPECT_EQ(_hostnameFromSystemName(QStringLiteral("mac.example.com")), QStringLiteral("mac.example.com"));
    EXPECT_EQ(_shortNameOfHostname(QStringLiteral("mac.local.")), QStringLiteral("mac"));
    EXPECT_EQ(_shortNameOfHostname(QStringLiteral("plain")), QStringLiteral("plain"));
    EXPECT_EQ(_shortNameOfHostname(QString()), QString());
}

TEST(HostAddresses, DottedDecimalTextsInNetworkOrder)
{
    EXPECT_EQ(_stringFromIPAddress(htonl(0x7f000001)), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(_stringFromIPAddress(htonl(0xc0a80a01)), QStringLiteral("192.168.10.1"));
    EXPECT_TRUE(ipAddressesFromHostname(QStringLiteral("localhost")).contains(QStringLiteral("127.0.0.1")));
    EXPECT_EQ(ipAddressesFromHostname(QStringLiteral("127.0.0.2")), QStringList{QStringLiteral("127.0.0.2")});
}

TEST(HostAddresses, NamesThatDoNotResolveGiveNothing)
{
    EXPECT_TRUE(ipAddressesFromHostname(QStringLiteral("no-such-host.invalid")).isEmpty());
    EXPECT_TRUE(ipAddressesFromHostname(QString()).isEmpty());
    EXPECT_TRUE(ipAddressesFromHostname(QStringLiteral("bad name\x01;rm")).isEmpty());
}

TEST(SameMachine, EqualNamesWithoutLookupSharedAddressesAndUnresolvableNames)
{
    // Equal names need no lookup, even when they do not resolve.
    EXPECT_TRUE(areHostnamesSameMachine(QStringLiteral("no-such-host.invalid"), QStringLiteral("no-such-host.invalid")));
    EXPECT_FALSE(areHostnamesSameMachine(QStringLiteral("a.invalid"), QStringLiteral("b.invalid")));
    EXPECT_TRUE(areHostnamesSameMachine(QStringLiteral("localhost"), QStringLiteral("127.0.0.1")));
    EXPECT_FALSE(areHostnamesSameMachine(QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.2")));
    EXPECT_FALSE(areHostnamesSameMachine(QStringLiteral("localhost"), QStringLiteral("no-such-host.invalid")));
}

#pragma once
// This machine's host name, IPv4 addresses of host names, and whether two
// host names denote the same machine. The lookups block on the resolver.

#include <QString>
#include <QStringList>

#include <cstdint>

// The host name; "mac.local" reads "mac.local." (a fully qualified name).
QString getThisMachinesHostname();
// The host name up to its first ".".
QString getThisMachinesName();

// Dotted-decimal text of an IPv4 address in network byte order.
QString _stringFromIPAddress(uint32_t address);
// IPv4 addresses in resolver order; empty when the name does not resolve.
QStringList ipAddressesFromHostname(const QString& hostname);
// Equal names, or names that share an IPv4 address.
bool areHostnamesSameMachine(const QString& hostnameA, const QString& hostnameB);

// The pieces of the two host-name functions, apart from the system call.
QString _hostnameFromSystemName(const QString& systemName);
QString _shortNameOfHostname(const QString& hostname);

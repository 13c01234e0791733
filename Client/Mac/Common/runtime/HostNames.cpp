#include "HostNames.h"

#include "Logging.h"

#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QList<uint32_t> resolveIPv4(const QString& hostname)
{
    QList<uint32_t> addresses;
    if (hostname.isEmpty())
        return addresses;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM; // one entry per address, not one per socket type
    addrinfo* found = nullptr;
    if (::getaddrinfo(hostname.toUtf8().constData(), nullptr, &hints, &found) != 0)
        return addresses;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr)
            addresses.append(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
    }
    ::freeaddrinfo(found);
    return addresses;
}

} // namespace

QString _hostnameFromSystemName(const QString& systemName)
{
    return systemName.endsWith(QStringLiteral(".local")) ? systemName + u'.' : systemName;
}

QString _shortNameOfHostname(const QString& hostname)
{
    const QStringList hostnameComponents = hostname.split(u'.');
    QB_ASSERT(hostnameComponents.size() >= 1);
    return hostnameComponents.first();
}

QString getThisMachinesHostname()
{
    char buffer[256];
    std::memset(buffer, 0, sizeof buffer);
    // One byte more than we offer keeps the name terminated even when cut.
    if (::gethostname(buffer, 255) != 0)
        logError("gethostname() failed");
    return _hostnameFromSystemName(QString::fromUtf8(buffer));
}

QString getThisMachinesName()
{
    return _shortNameOfHostname(getThisMachinesHostname());
}

QString _stringFromIPAddress(uint32_t address)
{
    in_addr inAddress{};
    inAddress.s_addr = address;
    char text[64] = {};
    if (!::inet_ntop(AF_INET, &inAddress, text, sizeof text))
        return {};
    return QString::fromLatin1(text);
}

QStringList ipAddressesFromHostname(const QString& hostname)
{
    QStringList texts;
    for (uint32_t address : resolveIPv4(hostname))
        texts.append(_stringFromIPAddress(address));
    return texts;
}

bool areHostnamesSameMachine(const QString& hostnameA, const QString& hostnameB)
{
    if (hostnameA == hostnameB)
        return true;
    const QList<uint32_t> addressesA = resolveIPv4(hostnameA);
    if (addressesA.isEmpty())
        return false;
    const QList<uint32_t> addressesB = resolveIPv4(hostnameB);
    for (uint32_t address : addressesA) {
        if (addressesB.contains(address))
            return true;
    }
    return false;
}

#include "ScriptService.h"

#include <QStringList>

#include <atomic>

namespace platform {

ScriptDescriptor ScriptDescriptor::null()
{
    return {};
}

ScriptDescriptor ScriptDescriptor::text(const QString& value)
{
    ScriptDescriptor descriptor;
    descriptor.descriptorType = typeUnicodeText;
    descriptor.stringValue = value;
    return descriptor;
}

ScriptDescriptor ScriptDescriptor::boolean(bool value)
{
    ScriptDescriptor descriptor;
    descriptor.descriptorType = value ? typeTrue : typeFalse;
    descriptor.booleanValue = value;
    descriptor.stringValue = value ? QStringLiteral("true") : QStringLiteral("false");
    return descriptor;
}

ScriptDescriptor ScriptDescriptor::list(const QList<ScriptDescriptor>& elements)
{
    ScriptDescriptor descriptor;
    descriptor.descriptorType = typeAEList;
    descriptor.items = elements;
    return descriptor;
}

namespace {

QString codeText(uint32_t code)
{
    const char chars[] = {char(code >> 24), char(code >> 16), char(code >> 8), char(code), 0};
    return QString::fromLatin1(chars);
}

} // namespace

QString ScriptDescriptor::description() const
{
    if (descriptorType == typeAEList) {
        QStringList parts;
        for (const ScriptDescriptor& item : items)
            parts << item.description();
        return QStringLiteral("[ ") + parts.join(QStringLiteral(", ")) + QStringLiteral(" ]");
    }
    const QString value = stringValue.isNull() ? QString() : QStringLiteral(" \"") + stringValue + u'"';
    return QStringLiteral("'") + codeText(descriptorType) + u'\'' + value;
}

namespace {

// errOSASystemError: the script host itself is unavailable.
constexpr int kNoScriptHostError = -1750;

QVariantMap noScriptHostError()
{
    return {{QString::fromLatin1(kScriptErrorMessageKey),
             QStringLiteral("No script host for the file browser is available on this system")},
            {QString::fromLatin1(kScriptErrorNumberKey), kNoScriptHostError}};
}

class UnavailableScript final : public Script {
public:
    bool compile(QVariantMap* errorInfo) override
    {
        if (errorInfo)
            *errorInfo = noScriptHostError();
        return false;
    }
    std::optional<ScriptDescriptor> execute(QVariantMap* errorInfo) override
    {
        if (errorInfo)
            *errorInfo = noScriptHostError();
        return std::nullopt;
    }
};

class SystemScriptService final : public ScriptService {
public:
    std::unique_ptr<Script> createScript(const QString&) override { return std::make_unique<UnavailableScript>(); }
};

std::atomic<ScriptService*> gOverride{nullptr};

} // namespace

ScriptService& ScriptService::shared()
{
    static SystemScriptService system;
    ScriptService* service = gOverride.load();
    return service ? *service : system;
}

void ScriptService::setShared(ScriptService* service)
{
    gOverride = service;
}

} // namespace platform

#pragma once
// Scripts sent to the desktop's file browser. A script is made from its
// source text, compiled, then executed; its result is a descriptor (a list of
// texts, a boolean, nothing...). Linux has no script host: the system service
// fails to compile and to execute, saying so in the error information. Tests
// install a fake with setShared().

#include <QList>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <memory>
#include <optional>

namespace platform {

constexpr uint32_t fourCharCode(const char (&code)[5])
{
    return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) | (uint32_t(uint8_t(code[2])) << 8)
           | uint32_t(uint8_t(code[3]));
}

constexpr uint32_t typeAEList = fourCharCode("list");
constexpr uint32_t typeNull = fourCharCode("null");
constexpr uint32_t typeUnicodeText = fourCharCode("utxt");
constexpr uint32_t typeBoolean = fourCharCode("bool");
constexpr uint32_t typeTrue = fourCharCode("true");
constexpr uint32_t typeFalse = fourCharCode("fals");

// Keys of a script's error information.
inline constexpr char kScriptErrorMessageKey[] = "NSAppleScriptErrorMessage";
inline constexpr char kScriptErrorNumberKey[] = "NSAppleScriptErrorNumber";

// One value produced by a script.
struct ScriptDescriptor {
    uint32_t descriptorType = typeNull;
    QString stringValue; // null when the value has no text form
    bool booleanValue = false;
    QList<ScriptDescriptor> items; // the elements of a list

    static ScriptDescriptor null();
    static ScriptDescriptor text(const QString& value);
    static ScriptDescriptor boolean(bool value);
    static ScriptDescriptor list(const QList<ScriptDescriptor>& items);

    // A one-line text for the log.
    QString description() const;
};

class Script {
public:
    virtual ~Script() = default;
    virtual bool compile(QVariantMap* errorInfo) = 0;
    // Compiles first when needed. No value: the script failed (see errorInfo).
    virtual std::optional<ScriptDescriptor> execute(QVariantMap* errorInfo) = 0;
};

class ScriptService {
public:
    virtual ~ScriptService() = default;
    virtual std::unique_ptr<Script> createScript(const QString& source) = 0;

    // The service in use: the system's, unless a test installed another.
    static ScriptService& shared();
    static void setShared(ScriptService* service); // nullptr restores the system's
};

} // namespace platform

// Feeds arbitrary bytes to the property-list reader. Whatever the input, the
// reader answers without crashing, hanging or exhausting memory; what it
// accepts nests no deeper than its bound, and can be written and read again.

#include "PropertyList.h"

#include <QVariant>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "Broken: %s\n", what);
        std::abort();
    }
}

// Nesting of arrays and dictionaries, measured without recursion.
int depthOf(const QVariant& root)
{
    int deepest = 0;
    std::vector<std::pair<QVariant, int>> pending{{root, 0}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        if (value.typeId() == QMetaType::QVariantList) {
            deepest = std::max(deepest, depth + 1);
            for (const QVariant& item : value.toList())
                pending.emplace_back(item, depth + 1);
        } else if (value.typeId() == QMetaType::QVariantMap) {
            deepest = std::max(deepest, depth + 1);
            const QVariantMap map = value.toMap();
            for (const QVariant& item : map)
                pending.emplace_back(item, depth + 1);
        }
    }
    return deepest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QString error;
    const QVariant value = platform::propertyListFromData(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)),
                                                          &error);
    require(value.isValid() || !error.isEmpty(), "a refusal without a reason");
    if (!value.isValid())
        return 0;
    require(depthOf(value) <= platform::kMaxPropertyListDepth, "nesting past the bound was accepted");
    QString again;
    const QVariant back = platform::propertyListFromData(platform::propertyListToXml(value), &again);
    require(back.isValid() || !again.isEmpty(), "a refusal of written XML without a reason");
    return 0;
}

// Well-formed archives with fuzzed entries: names (separators, "..", drive
// letters, lengths around the name buffer), symbolic links, stored or
// deflated data. Extraction must keep everything inside its folder.

#include "ExtractionSandbox.h"
#include "UnzipManager.h"
#include "ZipBuilder.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static ExtractionSandbox sandbox;
    FuzzedDataProvider input(data, size);
    QList<testing_support::ZipEntry> entries;
    const int count = input.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < count && input.remaining_bytes() > 0; ++i) {
        testing_support::ZipEntry entry;
        const std::string name = input.ConsumeRandomLengthString(300);
        entry.name = QByteArray(name.c_str()); // stored names end at a NUL
        entry.symbolicLink = input.ConsumeBool();
        entry.deflated = input.ConsumeBool();
        const std::string body = input.ConsumeRandomLengthString(4096);
        entry.data = QByteArray(body.data(), static_cast<qsizetype>(body.size()));
        entries.append(entry);
    }
    if (!testing_support::writeZip(sandbox.archivePath(), entries))
        return 0;
    UnzipManager(sandbox.archivePath()).extractAll();
    sandbox.checkNothingEscaped();
    sandbox.reset();
    return 0;
}

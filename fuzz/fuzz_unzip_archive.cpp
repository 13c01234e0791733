// Arbitrary bytes as an archive: extraction must not crash, overrun or write
// outside its folder.

#include "ExtractionSandbox.h"
#include "Logging.h"
#include "UnzipManager.h"

#include <QFile>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static ExtractionSandbox sandbox;
    {
        QFile archive(sandbox.archivePath());
        if (!archive.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        archive.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    UnzipManager(sandbox.archivePath()).extractAll();
    sandbox.checkNothingEscaped();
    sandbox.reset();
    return 0;
}

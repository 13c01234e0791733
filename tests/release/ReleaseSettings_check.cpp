// Built only in the release configuration (no test hooks): the QUORBEL_*
// settings that aim the launcher at other folders or other programs must be
// ignored there. Exit status 0 when they are.

#include "SystemLocations.h"
#include "SystemVersion.h"
#include "UpdateToolManager.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace {

int failures = 0;

void expect(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QUORBEL_SYSTEM_ROOT", "/tmp/elsewhere", 1);
    ::setenv("QUORBEL_SYSTEM_VERSION", "10.5.8", 1);
    QCoreApplication application(argc, argv);

    expect(platform::locations::systemRoot().isEmpty(), "QUORBEL_SYSTEM_ROOT is ignored");
    expect(platform::locations::applicationsFolders(platform::Domain::Local) == QStringList{QStringLiteral("/Applications")},
           "the local Applications folder is /Applications");
    expect(UpdateToolManager::installedUpdateToolPath() == QStringLiteral("/Library/Application Support/Quorbel/updateqb"),
           "the update tool is looked for in its real folder");
    int32_t major = 0;
    expect(platform::gestalt::Gestalt(platform::gestalt::gestaltSystemVersionMajor, &major) != platform::gestalt::noErr,
           "QUORBEL_SYSTEM_VERSION is ignored");
    if (failures == 0)
        std::printf("release build: test settings ignored\n");
    return failures == 0 ? 0 : 1;
}

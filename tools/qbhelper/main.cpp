// qbhelper: the sample helper tool the launcher installs into the tool
// folder. Started without arguments it prints its version as the launcher
// reads installed tools; it does nothing else.

#include "BuildVersion.h"

#include <cstdio>

int main(int argc, char*[])
{
    if (argc > 1) {
        std::fprintf(stderr, "qbhelper: takes no arguments\n");
        return 2;
    }
    std::printf("Limited %s\n", QB_VERSION_TEXT);
    return 0;
}

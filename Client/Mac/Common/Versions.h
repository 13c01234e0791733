#pragma once
// Version texts of bundles and of this application.

#include "Bundle.h"

#include <QString>

#include <cstdint>

// "1.19.0", or with the build "1.19.0 (5)". A bundle without a short version
// reads "1.19.0"; one without a build number takes `defaultBuild`.
QString versionOfBundleAsString(const platform::Bundle& bundle, int32_t defaultBuild, bool withBuild);
// The main bundle's version text, cached on first use.
QString versionOfThisAppAsString(bool withBuild);

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

// Reads "major.minor.build (revision)" texts such as "1.19.0 (5)" or
// "version 2.1.3 (140)". Only the first line counts. A text that does not
// come out as one or four numbers logs an error and gives zeros.
void microsoftStyleVersionFromString(const QString& text, int32_t* major, int32_t* minor, int32_t* build, int32_t* revision);
// The build number of "1.19.0 (5)". The text must have exactly one blank.
int64_t buildNumberFromVersionStr(const QString& text);

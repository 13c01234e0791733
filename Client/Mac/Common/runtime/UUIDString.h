#pragma once
// Fresh identifiers.

#include <QString>

// A new random UUID, 36 characters of upper-case hexadecimal and hyphens.
QString UUIDString();

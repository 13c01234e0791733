#pragma once
// Substring tests on strings.

#include <QString>

// Whether `text` contains `substring`, ignoring case; an empty substring is never found.
bool hasCaseInsensitiveSubstring(const QString& text, const QString& substring);

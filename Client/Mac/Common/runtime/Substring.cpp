#include "Substring.h"

bool hasCaseInsensitiveSubstring(const QString& text, const QString& substring)
{
    return !substring.isEmpty() && text.contains(substring, Qt::CaseInsensitive);
}

#pragma once
// Images carried among the main bundle's resources, looked up by file name.

#include <QImage>
#include <QString>

// The image "name" (with its extension) in the main bundle's resources
// folder; a null image when it is absent or unreadable.
QImage bundleImageNamed(const QString& name);

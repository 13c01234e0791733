#include "BundleImage.h"

#include "Bundle.h"

QImage bundleImageNamed(const QString& name)
{
    const QString path = platform::Bundle::mainBundle().pathForResource(name, QString());
    return path.isEmpty() ? QImage() : QImage(path);
}

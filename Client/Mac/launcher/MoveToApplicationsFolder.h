#pragma once
// Offers to move the launcher into the Applications folder when it was
// started from anywhere else, removing earlier copies of the client.

#include <QString>
#include <QStringList>

void PFAltDstBundleName(const QString& name);
void PFAlsoRemoveBundles(const QStringList& paths);
// Returns when nothing is to be done, the user declined or cancelled, or the
// move failed; after a successful move the application is terminating.
void PFMoveToApplicationsFolderIfNecessary();

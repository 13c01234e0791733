#pragma once
// The window of the move's copy: what is copied where, a bar and the counts.

#include "MoveToApplicationsFolder.h"

// Null when this process shows no widgets.
std::unique_ptr<PFCopyProgressWindow> makeMoveProgressWindow(const QString& message, const QString& widestCounts);

#pragma once
// Fixed names of this product that are configuration rather than vocabulary.

#include <QString>

// CFBundleIdentifier of the installed client application; finds earlier
// copies whatever their folder names.
inline constexpr char kClientBundleIdentifier[] = "com.quorbel.Quorbel";
// Error domain of the client application's own errors.
inline constexpr char kClientErrorDomain[] = "com.quorbel.client.ErrorDomain";
// Label of the logging facility's serial queue.
inline constexpr char kLoggingQueueLabel[] = "com.quorbel.logging";
// Key of each thread's own file manager.
inline constexpr char kThreadFileManagerKey[] = "com.quorbel.FileManager";
// The build's generic version number, used when a bundle has no build number.
inline constexpr double Quorbel_ClientVersionNumber = 5.0;

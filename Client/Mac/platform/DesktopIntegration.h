#pragma once
// The copy's place in this user's desktop: one menu entry and its icons in
// the user's data folder, written for the copy that runs and removed with
// it. Only what this product wrote is ever replaced or removed: an entry is
// ours when it carries the bundle key, an icon when it bears the bundle
// identifier's name where we write icons. Everything is written with the
// process's own rights, atomically, never through a link.

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace platform::desktop {

// The entry's key naming the bundle it was written for.
inline constexpr char kBundleKey[] = "X-Quorbel-Bundle";
// Square sizes of the icons the bundle carries and the launch installs.
inline constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256, 512};

// The window class (X11) and desktop file name (Wayland app id) of the
// application: both are the bundle identifier, so that the entry, its file
// name and the windows name one another.
inline QString windowClass(const QString& bundleIdentifier)
{
    return bundleIdentifier;
}

// The bundle's icon of `size` pixels inside `resourcePath`.
QString bundleIconPath(const QString& resourcePath, int size);

// What a copy's entry is made from.
struct Copy {
    QString identifier;
    QString name;          // localised product name
    QByteArray bundlePath; // native bytes, as the copy was started
    QByteArray executablePath;
    QString resourcePath; // where the icons come from
};

// The text of the entry for `copy`, or nullopt (and why) when one of its
// paths cannot be written into an entry: a control character, a newline or
// bytes that are not UTF-8 would name another file once read back.
std::optional<QByteArray> entryText(const Copy& copy, QString* why = nullptr);

// $XDG_DATA_HOME/applications/<identifier>.desktop ($XDG_DATA_HOME only when
// absolute, else ~/.local/share).
QString entryPath(const QString& identifier);

enum class State {
    Current,   // the entry and every icon are exactly this copy's
    Missing,   // no entry
    Outdated,  // our entry for this copy, but it or an icon differs
    OtherCopy, // our entry for another copy that exists
    Stale,     // our entry for a copy that no longer exists
    NotOurs,   // something else is at the entry's path: never touched
};

struct Status {
    State state = State::Missing;
    QString entryBundle; // the bundle our entry names
    QString problem;     // for NotOurs: what is there
};
Status status(const Copy& copy);

enum class Outcome { Unchanged, Written, Removed, Refused };

// Writes or repairs the entry and icons for `copy`, replacing an entry of
// ours for any other copy; refused (and why) for anything not ours.
Outcome integrate(const Copy& copy, QString* why = nullptr);

// The launch's rule: a copy in an Applications folder makes its entry
// current, taking it over from any other copy; any copy removes our entry
// when the bundle it names is gone. A current entry costs reads only.
Outcome refresh(const Copy& copy, bool inApplicationsFolder, QString* why = nullptr);

// Removes our entry for `identifier` and its icons; with `onlyBundle`, only
// when the entry names that bundle.
Outcome removeIntegration(const QString& identifier, const QString& onlyBundle = {}, QString* why = nullptr);

} // namespace platform::desktop

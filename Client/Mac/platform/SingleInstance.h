#pragma once
// One launcher at a time per user and display: a lock held for the process's
// life (a crashed launcher leaves nothing stuck), and a way for a second
// launcher to ask the holder to bring its windows forward.

#include <QString>

#include <functional>

namespace platform::instance {

struct Claim {
    enum class Outcome { Held, HeldByAnother, NoLock };
    Outcome outcome = Outcome::NoLock;
    QString path; // of the lock file
    QString why;  // for NoLock: why the launcher runs without the lock
};

// Takes the lock named after `name` and the display, for this process's life.
// Never inherited by a child. `raise` runs on the main thread each time another
// claimant asks the holder to come forward.
Claim claim(const QString& name, std::function<void()> raise);

// Asks the holder of the lock that claim() found held to bring its windows
// forward; false with the reason when it cannot be reached.
bool askHolderToRaise(const Claim& claim, QString* why);

} // namespace platform::instance

#pragma once
// The temporary files a program is writing, as the signal handlers of
// installOutputSignalHandlers() (core/file_io.hpp) see them: a handler that
// stops the program removes every one still registered. Registering takes
// memory outside the handler; the handler touches nothing but lock-free
// atomics and unlink(), which are async-signal-safe. Any number of files may
// be pending at once (qm5 decode --all keeps one per image until the last
// is complete).

#include <string>

namespace qm5 {

struct PendingSlot;

// Registers name; nullptr when there is no memory for it, and the file is
// then removed on every path but a signal.
PendingSlot* registerPending(const std::string& name);
// The file is gone or renamed: the handler forgets it. nullptr is ignored.
void unregisterPending(PendingSlot* slot);

}  // namespace qm5

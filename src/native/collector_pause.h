// The cyclic garbage collector's automatic runs paused while an event
// function builds its result.
#pragma once

#include "../module/runtime.h"

namespace movra::native {

// The kernels' layers create a few objects per result row (tuples, lists,
// arrays) and none of them cyclic garbage; left running, the collector would
// walk the growing result again and again, which costs more than building
// it.  So for the life of the object the collector's first threshold is 0,
// which stops automatic collection as gc.disable() does.  The on/off switch
// itself stays the user's: a gc.disable() or gc.enable() that any thread
// makes during a call is kept as it was made.
//
// One pause is shared by every call in progress, counted process-wide under
// the interpreter lock: the first call saves the threshold and sets 0, the
// last restores it, and only if it is still 0; a threshold that someone set
// meanwhile is kept (and a call starting then saves it as the one to
// restore).  The limit: gc.set_threshold(0) made during a call looks like
// the pause's own 0, so the last call undoes it.
class CollectorPause {
public:
    CollectorPause();   // raises when the gc module does
    ~CollectorPause();  // a failed restore is reported as unraisable
    CollectorPause(const CollectorPause &) = delete;
    CollectorPause &operator=(const CollectorPause &) = delete;
};

}  // namespace movra::native

// Work cut into parts that may be done side by side but whose bytes must reach one stream in
// order: the strips of a JPEG picture, the bands of a deflate stream. The calling thread is
// one of the workers and always does the first part; the others are started and joined inside
// RunOrderedParts.
#pragma once

#include <cstdint>
#include <functional>

#include "Classes.h"

// The cores this process may run on (its affinity), at least 1.
int UsableCores();

// What a part hears from the run while it works.
class TPartContext {
public:
    virtual ~TPartContext() = default;
    // Units of work (rows) finished since the last call; on the calling thread this is also
    // where progress is reported.
    virtual void Done(int64_t units) = 0;
    // Another part has failed: the result is not wanted any more, so a part may stop early.
    virtual bool Abandoned() const = 0;
};

struct TOrderedPartsJob {
    int Parts = 0;
    int Threads = 1;  // at most this many, the calling thread included
    int Ahead = 0;    // parts that may be finished ahead of the one the stream waits for; 0: any
    // Writes the bytes of part `index` to out: the destination itself when every part before
    // it has been delivered and this is the calling thread, otherwise a buffer delivered later.
    // Runs on any of the threads, side by side with other parts.
    std::function<void(int index, TStream& out, TPartContext& context)> Produce;
    // Units done so far, over all parts; heard on the calling thread only, now and then.
    std::function<void(int64_t units)> Progress;
};

// Delivers the parts' bytes to destination in the order of their indices. The first failure
// (of a part or of the destination) is raised once every thread has stopped. When the system
// refuses a thread, the parts are done by the threads that did start, at worst by the
// calling thread alone.
void RunOrderedParts(const TOrderedPartsJob& job, TStream& destination);

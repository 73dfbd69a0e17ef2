#include "gen_init.h"

#include <cstring>
#include <deque>

#include "introspection_gen.h"
#include "log.h"

namespace {
// Defined before the event poll in this one unit, so that they are constructed first. The table is constant
// data, ready before any constructor runs.
std::deque<SharedMemory> blocks = [] {
    std::deque<SharedMemory> made;
    for (MemoryInfo const& block : MEMORY_ARRAY)
        made.emplace_back(block.name, block.size);
    return made;
}();
EventPoll eventPoll;
} // namespace

void gen::mapBlocks(bool create) {
    for (SharedMemory& block : blocks) {
        if (create)
            block.create();
        else
            block.open();
        block.address();
    }
    // Only once every block is there, so that a process whose start fails has no block half set up.
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        void* data = blocks[i].address();
        // g<Block> points to its block's struct: the data address is its value.
        memcpy(MEMORY_ARRAY[i].pointer, &data, sizeof data);
    }
}

void gen::init() {
    mapBlocks(false);
    gServerConnection = new ServerConnection(eventPoll);
    gServerConnection->subscribeAll();
    gComponentLogLevel = &gMemApp->AppServiceLogLevel;
}

EventPoll& gen::getEventPoll() {
    return eventPoll;
}

ServerConnection* gen::getServerConnection() {
    return gServerConnection;
}

void gen::subscribeNotifications() {
    gServerConnection->subscribeAll();
}

void gen::closeServerConnection() {
    delete gServerConnection;
    gServerConnection = nullptr;
}

SharedMemory& gen::getSharedMemory(unsigned index) {
    return blocks.at(index);
}

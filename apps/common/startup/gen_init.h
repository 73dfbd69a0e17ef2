#pragma once

// Start-up of a process of the device: one SharedMemory object per block of the dictionary's table and the
// event poll, constructed in that order before main (and so destroyed the other way round, the blocks
// unmapped last), then the blocks mapped and the broker connection made by init.

#include "eventpoll.h"
#include "serverconnection.h"
#include "sharedmemory.h"

namespace gen {
// Maps every block in index order and points its g<Block> at its data; blocks are opened, or created by a
// process that fills them.
void mapBlocks(bool create);
// Maps the blocks, connects to the broker and subscribes to everything, binds the log level to MemApp's
// AppServiceLogLevel.
void init();
EventPoll& getEventPoll();
ServerConnection* getServerConnection();
void subscribeNotifications();
void closeServerConnection(); // deletes the connection; nothing when there is none
SharedMemory& getSharedMemory(unsigned index);
} // namespace gen

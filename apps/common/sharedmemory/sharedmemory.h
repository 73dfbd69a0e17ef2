#pragma once

// One named block of device state in POSIX shared memory: a 32-bit size word followed by the data. Other
// processes of the device create and fill the blocks; this program opens them and checks that each block has
// the size it was built for, so that a block of another layout can never be read.

#include <cstdint>
#include <string>

class SharedMemory {
public:
    // Records name ("/" + block name) and data size; no system call.
    SharedMemory(char const* blockName, unsigned int size);
    ~SharedMemory(); // close()
    SharedMemory(SharedMemory const&) = delete;
    SharedMemory& operator=(SharedMemory const&) = delete;

    void create(); // opens or creates the object (0666) and sizes it; this instance unlinks it again at close
    void open();   // opens an existing object read-write; never creates one
    // The data, mapped on the first call; later calls return the same pointer.
    void* address();
    void close(); // unmaps, closes, and unlinks what this instance created

    std::string const& getName() const { return name; }
    unsigned int getSize() const { return size; }

private:
    std::string name;        // the shared-object name
    uint32_t size;           // data size without the size word
    int descriptor = -1;     // open shared object
    void* mapping = nullptr; // start of the mapping: the size word
    void* data = nullptr;    // mapping + 4
    bool created = false;    // created by this instance, which unlinks it
};

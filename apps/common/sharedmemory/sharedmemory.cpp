#include "sharedmemory.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"

namespace {
constexpr size_t SIZE_WORD = sizeof(uint32_t);
}

SharedMemory::SharedMemory(char const* blockName, unsigned int size)
    : name(std::string("/") + blockName), size(size) {}

SharedMemory::~SharedMemory() {
    close();
}

void SharedMemory::create() {
    descriptor = shm_open(name.c_str(), O_RDWR | O_CREAT, 0666);
    if (descriptor < 0)
        THROW_ERROR_NUMBER(name.c_str());
    created = true;
    if (ftruncate(descriptor, off_t(size) + off_t(SIZE_WORD)) != 0)
        THROW_ERROR_NUMBER(name.c_str());
}

void SharedMemory::open() {
    descriptor = shm_open(name.c_str(), O_RDWR, 0666);
    if (descriptor == -1)
        THROW_ERROR_NUMBER(name.c_str());
}

void* SharedMemory::address() {
    if (descriptor < 0)
        THROW_ERROR("Call open or create before asking for the address");
    if (data)
        return data;
    // A shorter object would fault on first touch of the missing pages (SIGBUS); it is a block of another
    // size.
    struct stat status {};
    if (!created && fstat(descriptor, &status) == 0 && uint64_t(status.st_size) < uint64_t(size) + SIZE_WORD)
        THROW_ERROR("Memory size missmatch for %s, requested %u, is %u.", name.c_str(), size,
                    unsigned(status.st_size < off_t(SIZE_WORD) ? 0 : status.st_size - off_t(SIZE_WORD)));
    void* mapped = mmap(nullptr, size + SIZE_WORD, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    if (mapped == MAP_FAILED)
        THROW_ERROR_NUMBER(name.c_str());
    mapping = mapped;
    uint32_t* sizeWord = static_cast<uint32_t*>(mapping);
    if (created) {
        *sizeWord = size;
    } else if (*sizeWord != size) {
        uint32_t stored = *sizeWord;
        // Unmapped at once: a block of another layout must not be reachable through this object.
        munmap(mapping, size + SIZE_WORD);
        mapping = nullptr;
        THROW_ERROR("Memory size missmatch for %s, requested %u, is %u.", name.c_str(), size, stored);
    }
    data = static_cast<char*>(mapping) + SIZE_WORD;
    return data;
}

void SharedMemory::close() {
    if (mapping) {
        munmap(mapping, size + SIZE_WORD);
        mapping = nullptr;
        data = nullptr;
    }
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
    if (created) {
        created = false;
        if (shm_unlink(name.c_str()) != 0)
            LOG(Error, "%s: %s", name.c_str(), strerror(errno));
    }
}

#include "persistentinfo.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"

namespace {
unsigned loadWord(unsigned char const* at) {
    uint32_t word;
    memcpy(&word, at, sizeof word); // entries sit at any byte; the device's core faults on unaligned words
    return word;
}
void storeWord(unsigned char* at, unsigned word) {
    uint32_t value = word;
    memcpy(at, &value, sizeof value);
}
unsigned byteOf(unsigned bitPos) {
    return (bitPos + 7) / 8;
}

struct CrcTable {
    uint32_t entries[256];
    CrcTable() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t crc = i << 24;
            for (int bit = 0; bit < 8; ++bit)
                crc = crc & 0x80000000u ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
            entries[i] = crc;
        }
    }
};
CrcTable const CRC_TABLE;

// The text form of the two numeric kinds, through their numeric form.
template <typename Entry>
void numberAsText(Entry const& entry, unsigned char* base, unsigned bitPos, std::string& text) {
    unsigned number;
    entry.value(base, bitPos, number);
    text = std::to_string(number);
}
} // namespace

unsigned toUnsigned32(char const* text) {
    char const* c = text;
    while (isspace(static_cast<unsigned char>(*c)))
        ++c;
    bool negative = *c == '-';
    if (*c == '-' || *c == '+')
        ++c;
    if (!isdigit(static_cast<unsigned char>(*c)))
        throw std::invalid_argument("stoul");
    uint64_t magnitude = 0;
    for (; isdigit(static_cast<unsigned char>(*c)); ++c) {
        magnitude = magnitude * 10 + unsigned(*c - '0');
        if (magnitude > std::numeric_limits<uint32_t>::max())
            throw std::out_of_range("stoul");
    }
    uint32_t value = uint32_t(magnitude);
    return negative ? uint32_t(0u - value) : value;
}

void PersistentInfo::Int::value(unsigned char* base, unsigned bitPos, unsigned& number) const {
    number = loadWord(base + byteOf(bitPos));
}
void PersistentInfo::Int::setValue(unsigned char* base, unsigned bitPos, unsigned number) const {
    storeWord(base + byteOf(bitPos), number);
}
void PersistentInfo::Int::value(unsigned char* base, unsigned bitPos, std::string& text) const {
    numberAsText(*this, base, bitPos, text);
}
bool PersistentInfo::Int::setValue(unsigned char* base, unsigned bitPos, char const* text) const {
    setValue(base, bitPos, toUnsigned32(text));
    return true;
}

void PersistentInfo::String::value(unsigned char* base, unsigned bitPos, std::string& text) const {
    // Bounded by the field: a damaged block without a NUL must not run on into the next fields or past the
    // mapping.
    char const* field = reinterpret_cast<char const*>(base + byteOf(bitPos));
    text.assign(field, strnlen(field, size));
}
bool PersistentInfo::String::setValue(unsigned char* base, unsigned bitPos, char const* text) const {
    if (strlen(text) + 2 > size)
        THROW_ERROR("String too long");
    char* field = reinterpret_cast<char*>(base + byteOf(bitPos));
    field[0] = 0;
    strncat(field, text, size - 1);
    return true;
}

unsigned PersistentInfo::Bits::getParams(unsigned bitPos, unsigned& mask, unsigned& shift) const {
    shift = 32 - bitPos % 32 - width;
    mask = width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1;
    return bitPos / 32 * 4;
}
void PersistentInfo::Bits::value(unsigned char* base, unsigned bitPos, unsigned& number) const {
    unsigned mask, shift;
    unsigned at = getParams(bitPos, mask, shift);
    number = (loadWord(base + at) >> shift) & mask;
}
void PersistentInfo::Bits::setValue(unsigned char* base, unsigned bitPos, unsigned number) const {
    unsigned mask, shift;
    unsigned at = getParams(bitPos, mask, shift);
    unsigned word = loadWord(base + at);
    word = (word & ~(mask << shift)) | ((number & mask) << shift);
    storeWord(base + at, word);
}
void PersistentInfo::Bits::value(unsigned char* base, unsigned bitPos, std::string& text) const {
    numberAsText(*this, base, bitPos, text);
}
bool PersistentInfo::Bits::setValue(unsigned char* base, unsigned bitPos, char const* text) const {
    setValue(base, bitPos, toUnsigned32(text));
    return true;
}

PersistentInfo::PersistentInfo(char const* device, unsigned offset, unsigned size)
    : device(device), offset(offset), areaSize(size) {
    open();
}

PersistentInfo::~PersistentInfo() {
    if (mapping)
        munmap(mapping, mappedLength);
    if (fd >= 0)
        ::close(fd);
}

void PersistentInfo::open() {
    fd = ::open(device, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        THROW_ERROR_NUMBER("open");
    dataOffset = offset & unsigned(sysconf(_SC_PAGESIZE) - 1);
    mappedLength = areaSize + dataOffset;
    // A regular file that ends before the area (a stand-in of the device) maps without complaint but kills
    // the process with SIGBUS at the first access. Devices report no size here and are taken as they are.
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        uint64_t(status.st_size) < uint64_t(offset) + areaSize) {
        errno = EINVAL;
        THROW_ERROR_NUMBER("mmap");
    }
    void* mapped =
        mmap(nullptr, mappedLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(offset - dataOffset));
    if (mapped == MAP_FAILED)
        THROW_ERROR_NUMBER("mmap");
    mapping = static_cast<unsigned char*>(mapped);
}

void PersistentInfo::addInfo(std::unique_ptr<Base>&& entry) {
    // Checked once here, so that clearing and printing the whole layout stay inside the mapping.
    uint64_t end = 8 * uint64_t(dataOffset) + entry->bitSize();
    for (auto const& present : entries)
        end += present->bitSize();
    if (end > 8 * uint64_t(mappedLength))
        THROW_ERROR("%s does not fit the area of %s", entry->name.c_str(), device);
    entries.emplace_back(std::move(entry));
}

PersistentInfo::Base const* PersistentInfo::find(char const* name, unsigned& bitPos) const {
    unsigned position = 8 * dataOffset;
    for (auto const& entry : entries) {
        if (entry->name == name) {
            // Whole bytes from where the entry's access starts: the next byte for Int and String, the
            // containing word for Bits.
            unsigned first = entry->kind() == 3 ? position / 32 * 4 : byteOf(position);
            unsigned bytes = entry->kind() == 3 ? 4 : (entry->bitSize() + 7) / 8;
            if (first + bytes > mappedLength)
                THROW_ERROR("%s lies outside the area of %s", name, device);
            bitPos = position;
            return entry.get();
        }
        position += entry->bitSize();
    }
    return nullptr;
}

template <> bool PersistentInfo::get<PersistentInfo::Int, unsigned>(char const* name, unsigned& value) {
    unsigned bitPos;
    Base const* entry = find(name, bitPos);
    if (!entry)
        return false;
    auto const* number = dynamic_cast<Int const*>(entry);
    if (!number)
        THROW_ERROR("%s is not an Int.", name);
    number->value(mapping, bitPos, value);
    return true;
}

template <>
bool PersistentInfo::set<PersistentInfo::Int, unsigned>(char const* name, unsigned const& value, bool force) {
    unsigned bitPos;
    Base const* entry = find(name, bitPos);
    if (!entry)
        return false;
    if ((entry->flags & FlagPrivate) && !force)
        THROW_ERROR("%s is private.", name);
    auto const* number = dynamic_cast<Int const*>(entry);
    if (!number)
        THROW_ERROR("%s is not an Int.", name);
    number->setValue(mapping, bitPos, value);
    return true;
}

template <> bool PersistentInfo::get<PersistentInfo::Base, std::string>(char const* name, std::string& text) {
    unsigned bitPos;
    Base const* entry = find(name, bitPos);
    if (!entry)
        return false;
    entry->value(mapping, bitPos, text);
    return true;
}

template <>
bool PersistentInfo::set<PersistentInfo::Base, char const*>(char const* name, char const* const& text,
                                                            bool force) {
    unsigned bitPos;
    Base const* entry = find(name, bitPos);
    if (!entry)
        return false;
    if ((entry->flags & FlagPrivate) && !force)
        THROW_ERROR("%s is private.", name);
    return entry->setValue(mapping, bitPos, text);
}

int PersistentInfo::kindOf(char const* name) const {
    for (auto const& entry : entries)
        if (entry->name == name)
            return entry->kind();
    return -1;
}

unsigned PersistentInfo::size() const {
    unsigned bits = 0;
    for (auto const& entry : entries)
        bits += entry->bitSize();
    return (bits + 7) / 8;
}

unsigned PersistentInfo::checksum(unsigned length) const {
    if (length < 13)
        return 0xFFFFFFFFu;
    if (length > areaSize)
        THROW_ERROR("Checksum over %u bytes of an area of %u", length, areaSize);
    uint32_t crc = 0xFFFFFFFFu;
    unsigned char const* bytes = area();
    for (unsigned i = 12; i < length; ++i)
        crc = CRC_TABLE.entries[(crc >> 24) ^ bytes[i]] ^ (crc << 8);
    return crc;
}

void PersistentInfo::clearAll() {
    unsigned position = 8 * dataOffset;
    for (auto const& entry : entries) {
        if (auto const* number = dynamic_cast<Int const*>(entry.get()))
            number->setValue(mapping, position, 0u);
        else if (auto const* bits = dynamic_cast<Bits const*>(entry.get()))
            bits->setValue(mapping, position, 0u);
        else
            entry->setValue(mapping, position, "");
        position += entry->bitSize();
    }
}

void PersistentInfo::setNewMemToDefault(unsigned from, unsigned to) const {
    if (from < to && to <= areaSize)
        memset(area() + from, 0, to - from);
}

void PersistentInfo::printAll() {
    unsigned position = 8 * dataOffset;
    for (auto const& entry : entries) {
        unsigned at = position;
        position += entry->bitSize();
        if ((entry->flags & FlagHidden) || entry->kind() > 3)
            continue;
        std::string text;
        entry->value(mapping, at, text);
        if (entry->kind() == 1 || entry->kind() == 3) {
            unsigned number = toUnsigned32(text.c_str());
            printf("%25s: %9u (0x%08x)\n", entry->name.c_str(), number, number);
        } else {
            printf("%25s: %s\n", entry->name.c_str(), text.c_str());
        }
    }
}

void PersistentInfo::printParameters(FILE* stream) const {
    bool first = true;
    for (auto const& entry : entries) {
        if (entry->flags != 0)
            continue;
        fprintf(stream, first ? "%s" : " %s", entry->name.c_str());
        first = false;
    }
}

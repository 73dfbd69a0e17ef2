#pragma once

// Named, typed access to a small raw area that outlives the process (a stretch of a block device, a hardware
// register through /dev/mem): the area is mapped shared, described as an ordered list of entries packed one
// after the other, and read and written by name as numbers or as text.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

class PersistentInfo {
public:
    enum Flags : unsigned {
        FlagPrivate = 1, // an unforced set refuses the entry
        FlagHidden = 2,  // printAll leaves the entry out
    };

    class Base {
    public:
        Base(std::string name, unsigned flags) : name(std::move(name)), flags(flags) {}
        virtual ~Base() = default;
        virtual unsigned bitSize() const = 0;
        virtual void value(unsigned char* base, unsigned bitPos, std::string& text) const = 0;
        virtual bool setValue(unsigned char* base, unsigned bitPos, char const* text) const = 0;
        virtual int kind() const { return 0; }

        std::string name;
        unsigned flags;
    };

    // An unsigned 32-bit integer in the machine's byte order, at the next whole byte.
    class Int : public Base {
    public:
        using Base::Base;
        unsigned bitSize() const override { return 32; }
        void value(unsigned char* base, unsigned bitPos, std::string& text) const override;
        bool setValue(unsigned char* base, unsigned bitPos, char const* text) const override;
        int kind() const override { return 1; }
        void value(unsigned char* base, unsigned bitPos, unsigned& number) const;
        void setValue(unsigned char* base, unsigned bitPos, unsigned number) const;
    };

    // A NUL-terminated text in a field of size bytes (the NUL included), at the next whole byte.
    class String : public Base {
    public:
        String(std::string name, unsigned flags, unsigned size) : Base(std::move(name), flags), size(size) {}
        unsigned bitSize() const override { return 8 * size; }
        void value(unsigned char* base, unsigned bitPos, std::string& text) const override;
        bool setValue(unsigned char* base, unsigned bitPos, char const* text) const override;

        unsigned size;
    };

    // An unsigned field of width bits in the 32-bit word that holds bitPos, filled from the word's most
    // significant bit downward. It must not cross a word boundary.
    class Bits : public Base {
    public:
        Bits(std::string name, unsigned flags, unsigned width) : Base(std::move(name), flags), width(width) {}
        unsigned bitSize() const override { return width; }
        void value(unsigned char* base, unsigned bitPos, std::string& text) const override;
        bool setValue(unsigned char* base, unsigned bitPos, char const* text) const override;
        int kind() const override { return 3; }
        void value(unsigned char* base, unsigned bitPos, unsigned& number) const;
        void setValue(unsigned char* base, unsigned bitPos, unsigned number) const;
        // The byte offset of the entry's word; mask is the unshifted value mask (width ones).
        unsigned getParams(unsigned bitPos, unsigned& mask, unsigned& shift) const;

        unsigned width;
    };

    // Opens and maps at once; the error of the failing step leaves the constructor.
    PersistentInfo(char const* device, unsigned offset, unsigned size);
    ~PersistentInfo();
    PersistentInfo(PersistentInfo const&) = delete;
    PersistentInfo& operator=(PersistentInfo const&) = delete;

    void open();
    void addInfo(std::unique_ptr<Base>&& entry);

    // False when no entry has the name. The numeric forms are for Int entries: another kind is refused with
    // "%s is not an Int." (raised). set refuses a private entry unless forced: "%s is private.".
    template <typename Entry, typename Value> bool get(char const* name, Value& value);
    template <typename Entry, typename Value> bool set(char const* name, Value const& value, bool force);

    int kindOf(char const* name) const; // the entry's kind code, -1 when no entry has the name
    unsigned size() const;              // of the layout, in whole bytes
    // CRC-32/MPEG-2 over bytes 12..length-1 of the area; 0xFFFFFFFF below 13 bytes. A length beyond the
    // area is refused (raised): it would read past the mapping.
    unsigned checksum(unsigned length) const;
    void clearAll();
    void setNewMemToDefault(unsigned from, unsigned to) const;
    void printAll();
    void printParameters(FILE* stream) const;

private:
    // The entry of that name and its bit position, or null. Raises when the entry lies beyond the area.
    Base const* find(char const* name, unsigned& bitPos) const;
    unsigned char* area() const { return mapping + dataOffset; }

    char const* device;
    unsigned offset;
    unsigned areaSize;
    int fd = -1;
    unsigned char* mapping = nullptr;
    unsigned dataOffset = 0;
    unsigned mappedLength = 0;
    std::vector<std::unique_ptr<Base const>> entries;
};

template <> bool PersistentInfo::get<PersistentInfo::Int, unsigned>(char const* name, unsigned& value);
template <>
bool PersistentInfo::set<PersistentInfo::Int, unsigned>(char const* name, unsigned const& value, bool force);
template <> bool PersistentInfo::get<PersistentInfo::Base, std::string>(char const* name, std::string& text);
template <>
bool PersistentInfo::set<PersistentInfo::Base, char const*>(char const* name, char const* const& text,
                                                            bool force);

// Unsigned decimal text as the 32-bit device's std::stoul reads it, on every machine: leading white space and
// a sign accepted (a minus wraps modulo 2^32), trailing characters ignored; std::invalid_argument without a
// digit, std::out_of_range beyond 32 bits (both "stoul").
unsigned toUnsigned32(char const* text);

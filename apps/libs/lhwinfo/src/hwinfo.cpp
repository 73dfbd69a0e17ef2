#include "hwinfo.h"

#include <memory>

#include "log.h"

#define HWLOG(level, ...) ::logMessage(logLevel, ::gen::LogLevel::level, __FILE__, __LINE__, __VA_ARGS__)

namespace {
using Entry = PersistentInfo;
constexpr unsigned STRING_SIZE = 30;
constexpr unsigned LINEARIZATION_SIZE = 180;
} // namespace

HwInfo::HwInfo()
    : registerStore(REGISTER_DEVICE, REGISTER_ADDRESS, 4), mmcStore(MMC_DEVICE, MMC_OFFSET, MMC_SIZE) {}

void HwInfo::initialize() {
    auto add = [](PersistentInfo& store, Entry::Base* entry) {
        store.addInfo(std::unique_ptr<Entry::Base>(entry));
    };
    add(mmcStore, new Entry::Int("version", Entry::FlagPrivate));
    add(mmcStore, new Entry::Int("length", Entry::FlagPrivate));
    add(mmcStore, new Entry::Int("checksum", Entry::FlagPrivate));
    for (char const* key :
         {Constants::HWINFO_SERIAL, Constants::HWINFO_BOARD, Constants::HWINFO_REVISION, Constants::HWINFO_K})
        add(mmcStore, new Entry::String(key, 0, STRING_SIZE));
    for (char const* key :
         {Constants::KNOB_POS_MIN, Constants::KNOB_POS_MAX, Constants::SLIDER_POS_MIN,
          Constants::SLIDER_POS_MAX, Constants::JOYSTICK_ZERO_POS_X, Constants::JOYSTICK_ZERO_POS_Y,
          Constants::VIBRATION_BEMF_GAIN, Constants::VIBRATION_CAL_COMP, Constants::VIBRATION_CAL_BEMF})
        add(mmcStore, new Entry::Int(key, 0));
    add(registerStore, new Entry::Bits(Constants::HWINFO_UPDATE_REQ, 0, 1));
    add(registerStore, new Entry::Bits(Constants::HWINFO_UNUSED, Entry::FlagHidden, 26));
    add(registerStore, new Entry::Bits(Constants::HWINFO_BOOT_FAILED, 0, 1));
    add(registerStore, new Entry::Bits(Constants::HWINFO_BOOT_FAILED_COUNTER, 0, 4));
    add(mmcStore, new Entry::String(Constants::HWINFO_KNOB_LINEARIZATION, 0, LINEARIZATION_SIZE));

    unsigned length = 0;
    mmcStore.get<Entry::Int>("length", length);
    if (length > MMC_SIZE) {
        // No checksum can cover more than the block: a blank block (all 0xFF) or garbage. Damaged, like a
        // checksum that does not match.
        HWLOG(Error, "Stored length %u is beyond the block, setting defaults.", length);
        clear();
        return;
    }
    if (length < layoutSize()) {
        HWLOG(Error, "Differents length, setting new values to default.");
        initNewMemory(length);
        length = layoutSize();
    }
    unsigned stored = 0;
    mmcStore.get<Entry::Int>("checksum", stored);
    if (stored != mmcStore.checksum(length)) {
        HWLOG(Error, "Wrong checksum, setting defaults.");
        clear();
    }
}

bool HwInfo::read(char const* key, unsigned& value) {
    return mmcStore.get<Entry::Int>(key, value) || registerStore.get<Entry::Int>(key, value);
}

bool HwInfo::read(char const* key, std::string& text) {
    return mmcStore.get<Entry::Base>(key, text) || registerStore.get<Entry::Base>(key, text);
}

bool HwInfo::write(char const* key, unsigned value) {
    if (!mmcStore.set<Entry::Int>(key, value, false) && !registerStore.set<Entry::Int>(key, value, false))
        return false;
    updateChecksum();
    return true;
}

bool HwInfo::write(char const* key, char const* text) {
    int kind = mmcStore.kindOf(key);
    if (kind < 0)
        return false;
    // Numbers and register bits have their own forms (numeric write, key=value); this one is for texts.
    if (kind != 0)
        THROW_ERROR("%s is not a String.", key);
    mmcStore.set<Entry::Base>(key, text, false);
    updateChecksum();
    return true;
}

bool HwInfo::write(std::string assignment) {
    std::size_t equals = assignment.find('=');
    if (equals == std::string::npos)
        return false;
    std::string key = assignment.substr(0, equals);
    char const* value = assignment.c_str() + equals + 1;
    if (!mmcStore.set<Entry::Base>(key.c_str(), value, false) &&
        !registerStore.set<Entry::Base>(key.c_str(), value, false))
        return false;
    updateChecksum();
    return true;
}

void HwInfo::clear() {
    mmcStore.clearAll();
    mmcStore.set<Entry::Int>("version", MMC_BLOCK_VERSION, true);
    mmcStore.set<Entry::Int>("length", layoutSize(), true);
    mmcStore.set<Entry::Base, char const*>(Constants::HWINFO_SERIAL, "0000", false);
    mmcStore.set<Entry::Base, char const*>(Constants::HWINFO_BOARD, "prototype", false);
    mmcStore.set<Entry::Base, char const*>(Constants::HWINFO_REVISION, "1.0", false);
    updateChecksum();
}

void HwInfo::initNewMemory(unsigned oldLength) {
    mmcStore.setNewMemToDefault(oldLength, layoutSize());
    mmcStore.set<Entry::Int>("length", layoutSize(), true);
    mmcStore.set<Entry::Int>("checksum", mmcStore.checksum(layoutSize()), true);
    unsigned version = 0;
    mmcStore.get<Entry::Int>("version", version);
    if (version != MMC_BLOCK_VERSION)
        mmcStore.set<Entry::Int>("version", MMC_BLOCK_VERSION, true);
}

void HwInfo::updateChecksum() {
    unsigned length = 0;
    mmcStore.get<Entry::Int>("length", length);
    mmcStore.set<Entry::Int>("checksum", mmcStore.checksum(length), true);
}

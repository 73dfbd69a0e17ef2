#pragma once

// The hardware unit's own data: serial number, board, revision and calibration values in a checksummed block
// on the MMC outside any file system, and the boot flags in one register of physical memory. The block is
// validated at start and reset to defaults when damaged.

#include <string>

#include "loglevel.h"
#include "persistentinfo.h"

namespace Constants {
constexpr char const* HWINFO_SERIAL = "serial";
constexpr char const* HWINFO_BOARD = "board";
constexpr char const* HWINFO_REVISION = "revision";
constexpr char const* HWINFO_K = "k";
constexpr char const* KNOB_POS_MIN = "knob_position_min";
constexpr char const* KNOB_POS_MAX = "knob_position_max";
constexpr char const* SLIDER_POS_MIN = "slider_position_min";
constexpr char const* SLIDER_POS_MAX = "slider_position_max";
constexpr char const* JOYSTICK_ZERO_POS_X = "zoom_zero_pos_x";
constexpr char const* JOYSTICK_ZERO_POS_Y = "zoom_zero_pos_y";
constexpr char const* VIBRATION_BEMF_GAIN = "bemf_gain";
constexpr char const* VIBRATION_CAL_COMP = "cal_comp";
constexpr char const* VIBRATION_CAL_BEMF = "cal_bemf";
constexpr char const* HWINFO_KNOB_LINEARIZATION = "knob_linearization";
constexpr char const* HWINFO_UPDATE_REQ = "update_requested";
constexpr char const* HWINFO_UNUSED = "unused";
constexpr char const* HWINFO_BOOT_FAILED = "boot_failed";
constexpr char const* HWINFO_BOOT_FAILED_COUNTER = "boot_failed_counter";
} // namespace Constants

class HwInfo {
public:
    static constexpr unsigned MMC_BLOCK_VERSION = 5;
    static constexpr char const* MMC_DEVICE = "/dev/mmcblk1";
    static constexpr unsigned MMC_OFFSET = 0x100000;
    static constexpr unsigned MMC_SIZE = 0x10000;
    static constexpr char const* REGISTER_DEVICE = "/dev/mem";
    static constexpr unsigned REGISTER_ADDRESS = 0x020CC068;

    HwInfo();

    // Builds both layouts and validates the block; once, right after construction.
    void initialize();
    // MMC block first, then the register; false when neither has the key.
    bool read(char const* key, unsigned& value);
    bool read(char const* key, std::string& text);
    // Unforced writes; each renews the checksum when it succeeds. The numeric form is for Int keys, the text
    // form for String keys of the block; key=value works for every key of either store.
    bool write(char const* key, unsigned value);
    bool write(char const* key, char const* text);
    bool write(std::string assignment);
    void clear();
    void initNewMemory(unsigned oldLength);
    void updateChecksum();

private:
    unsigned layoutSize() const { return mmcStore.size(); }

    PersistentInfo registerStore;
    PersistentInfo mmcStore;
    gen::LogLevel* logLevel = nullptr; // never bound: the store's messages are always written
};

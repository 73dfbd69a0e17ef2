#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <type_traits>

#include "introspection_gen.h"
#include "log.h"

namespace {

TEST(DeviceDefinition, EventNamesKeepTheirIdentifiers) {
    EXPECT_STREQ(EVENT_NAME[0], "Invalid");
    EXPECT_STREQ(EVENT_NAME[3], "SubscribeAll");
    EXPECT_STREQ(EVENT_NAME[gen::Event::VarFocusTargetValueChanged], "VarFocusTargetValueChanged");
    EXPECT_EQ(gen::Event::VarAppServiceLogLevelChanged, 915u);
    EXPECT_STREQ(EVENT_NAME[EVENT_NAME_SIZE - 1], "VarAppDofCalculationLogLevelChanged");
    EXPECT_EQ(gen::Event::VarFocusMotorChanged, 146u);
}

TEST(DeviceDefinition, EnumerationsListTheirEntriesInValueOrder) {
    ASSERT_EQ(ENUM_ARRAY_SIZE, 70u);
    EXPECT_STREQ(ENUM_ARRAY[0].name, "LogLevel");
    EXPECT_STREQ(ENUM_ARRAY[0].entries[7], "Error");
    EXPECT_EQ(MODEMTYPE_NAME_ARRAY_SIZE, 4u);
    EXPECT_STREQ(MODEMTYPE_NAME_ARRAY[uint32_t(gen::ModemType::P2400)], "P2400");
    EXPECT_STREQ(UPDATESTATE_NAME_ARRAY[13], "InProgress");
    EXPECT_STREQ(SYMBOLPOPUP_NAME_ARRAY[10], "ExportHwInfo");
    EXPECT_STREQ(LENSBRAND_NAME_ARRAY[0], "Custom");
    for (uint32_t e = 0; e < ENUM_ARRAY_SIZE; ++e)
        for (uint32_t k = 0; k < ENUM_ARRAY[e].count; ++k)
            EXPECT_GT(strlen(ENUM_ARRAY[e].entries[k]), 0u) << ENUM_ARRAY[e].name << " " << k;
}

TEST(DeviceDefinition, BlocksAreReachedByName) {
    // A block image as another process lays it out: the names reach the very bytes the offsets say.
    alignas(4) static unsigned char image[sizeof(gen::MemServiceModeData)];
    gMemServiceMode = reinterpret_cast<gen::MemServiceModeData*>(image);
    strcpy(gMemServiceMode->ServiceMode1WireModemLabel.data(), "ok");
    EXPECT_EQ(reinterpret_cast<unsigned char*>(gMemServiceMode->ServiceMode1WireModemLabel.data()) - image,
              offsetof(gen::MemServiceModeData, ServiceMode1WireModemLabel));
    gMemServiceMode = nullptr;

    static_assert(std::is_same_v<decltype(gen::MemAppData::AppServiceLogLevel), gen::LogLevel>);
    alignas(4) static unsigned char app[sizeof(gen::MemAppData)];
    gMemApp = reinterpret_cast<gen::MemAppData*>(app);
    EXPECT_EQ(static_cast<void*>(&gMemApp->AppServiceLogLevel), static_cast<void*>(app)) << "the first field";
    gMemApp = nullptr;

    EXPECT_EQ(sizeof(gen::Motor), 88u);
    EXPECT_EQ(offsetof(gen::MemMotorsData, IrisMotor), 88u);
    EXPECT_EQ(sizeof(gen::MemCameraData::CamClipList0), 500u * 128u);
}

} // namespace

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "failure.h"
#include "introspection.h"
#include "introspection_enum.h"
#include "kmsg.h"
#include "process.h"
#include "setters.h"

namespace {

using namespace std::chrono_literals;

// The blocks the cases use as zeroed images in this process, and a broker with a listener that sees what the
// setters post.
class Dictionary : public ::testing::Test, public ServerConnection::EventHandler {
protected:
    void SetUp() override {
        broker = spawnProcess({BROKER_PATH});
        ASSERT_TRUE(waitUntil(brokerReady));
        connection = std::make_unique<ServerConnection>(poll);
        listener = std::make_unique<ServerConnection>(poll);
        listener->setHandler(this);
        listener->subscribeAll();
        gServerConnection = connection.get();
        // The broker reads its clients in any order: probe until the listener's subscription holds.
        ASSERT_TRUE(waitUntil([&] {
            connection->postEvent(Notify{gen::Event::Invalid, 0, 0});
            return poll.wait(10, false), !events.empty();
        })) << "the broker never delivered";
        posted();
        gMemPersistent = block<gen::MemPersistentData>();
        gMemDynamic = block<gen::MemDynamicData>();
        gMemCamera = nullptr; // left unmapped on purpose
        gMemLens = block<gen::MemLensData>();
        gMemMotors = block<gen::MemMotorsData>();
        gMemGuiLocal = block<gen::MemGuiLocalData>();
        gMemServiceMode = block<gen::MemServiceModeData>();
    }
    void TearDown() override {
        gServerConnection = nullptr;
        listener.reset();
        connection.reset();
        stopProcess(broker);
    }
    template <typename T> T* block() {
        images.emplace_back(new T{});
        return static_cast<T*>(images.back().get());
    }
    void handleEvent(Notify const& event) override { events.push_back(event); }
    // What was posted since the last call: waits for the expected number, then briefly for any more.
    std::vector<Notify> posted(size_t expected = 0) {
        auto deadline = std::chrono::steady_clock::now() + 3s;
        while (events.size() < expected && std::chrono::steady_clock::now() < deadline)
            poll.wait(10, false);
        for (int i = 0; i < 3; ++i)
            poll.wait(10, false);
        return std::exchange(events, {});
    }
    std::string set(char const* blockName, char const* name, char const* text) {
        uint32_t mem = Introspection::getMemIndex(blockName);
        return Introspection::setVarValue(mem, Introspection::getVarIndex(mem, name), text);
    }
    std::string get(char const* blockName, char const* name, int index = 0) {
        uint32_t mem = Introspection::getMemIndex(blockName);
        return Introspection::getVarValue(mem, Introspection::getVarIndex(mem, name), index);
    }

    pid_t broker = 0;
    EventPoll poll;
    std::unique_ptr<ServerConnection> connection, listener;
    std::vector<Notify> events;
    std::vector<std::shared_ptr<void>> images;
};

TEST_F(Dictionary, IndexesNamesAndEvents) {
    auto fails = [](std::function<void()> const& action, std::string const& text) {
        return failure(action).find(text) != std::string::npos;
    };
    EXPECT_TRUE(
        fails([] { Introspection::getMemIndex("memPersistent"); }, "Unknown memory \"memPersistent\""));
    EXPECT_TRUE(fails([] { Introspection::getVarName(17, 17); }, "Index exceeds limit"));
    EXPECT_TRUE(fails([] { Introspection::getVarCount(18); }, "Index exceeds limit"));
    EXPECT_TRUE(fails([] { Introspection::getVarIndex(17, "appDofCalculationLogLevel"); },
                      "Unknown variable \"MemApp.appDofCalculationLogLevel\""));
    EXPECT_TRUE(fails([] { IntrospectionEnum::getEnumIndex("axis"); }, "Unknown enum \"axis\""));

    auto location = [](Notify const& event) {
        uint32_t mem = 99, var = 99;
        Introspection::getVarLocation(event, mem, var);
        return std::make_pair(mem, var);
    };
    EXPECT_EQ(location(Notify{gen::Event::VarFocusMotorChanged, 0, 0}), std::make_pair(8u, 0u));
    EXPECT_EQ(location(Notify{0, 0, 0}), std::make_pair(0u, 0u));
    auto [mem, var] = location(gen::notify::MemServiceMode::ServiceMode1WireModemLabel);
    EXPECT_STREQ(Introspection::getVarName(mem, var), "ServiceMode1WireModemLabel");

    // An unmapped block reads and writes nothing.
    EXPECT_EQ(get("MemCamera", "CamFWVersion"), "n/a");
    EXPECT_EQ(set("MemCamera", "CamFWVersion", "x"), "n/a");
    EXPECT_TRUE(posted().empty());
}

TEST_F(Dictionary, SettersParseStoreAndPostOnlyChanges) {
    gMemGuiLocal->UserButtonsFlags = {1, 2, 3};
    KmsgReader kmsg;
    struct Case {
        char const *block, *name, *text, *error, *printed;
        size_t posts;
    } const cases[] = {
        {"MemPersistent", "FocusTorque", "0x10", "", "16", 1},
        {"MemPersistent", "FocusTorque", "010", "", "8", 1},
        {"MemPersistent", "FocusTorque", "  -5xyz", "", "-5", 1},
        {"MemPersistent", "FocusTorque", "9", "", "9", 1},
        {"MemPersistent", "FocusTorque", "9", "", "9", 0},
        {"MemPersistent", "FocusTorque", "abc", "Can't convert abc to int", "9", 0},
        {"MemPersistent", "FocusTorque", "4294967296", "Can't convert 4294967296 to int", "9", 0},
        {"MemDynamic", "FocusTargetValue", "-0", "", "-0.000000", 1}, // differs from 0 bitwise
        {"MemDynamic", "FocusTargetValue", "1e-50", "Can't convert 1e-50 to float", "-0.000000", 0},
        {"MemDynamic", "FocusTargetValue", "0.1", "", "0.100000", 1},
        {"MemPersistent", "RadioPower", "True", "Value has to be 'true' or 'false'", "false", 0},
        {"MemPersistent", "RadioPower", "1", "Value has to be 'true' or 'false'", "false", 0},
        {"MemPersistent", "RadioPower", "", "Value has to be 'true' or 'false'", "false", 0},
        {"MemPersistent", "RadioPower", "true", "", "true", 1},
        {"MemPersistent", "RadioPower", "true", "", "true", 0},
        {"MemPersistent", "ProductName", "abcdefghijklmnopqrstuvwxy", "", "abcdefghijklmnopqrs", 1},
        {"MemPersistent", "ProductName", "abcdefghijklmnopqrs", "", "abcdefghijklmnopqrs", 1}, // always
        {"MemGuiLocal", "UserButtonsFlags", "0aff", "", "0aff03", 1},
        {"MemGuiLocal", "UserButtonsFlags", "0g12", "Can't convert 0g12 to buffer", "0aff03", 0},
        {"MemGuiLocal", "UserButtonsFlags", "12zz", "Can't convert zz to buffer", "12ff03", 0},
        {"MemGuiLocal", "UserButtonsFlags", "abc", "", "abc003", 1},
        {"MemMotors", "FocusSideSet", "Right", "", "Right", 1},
        {"MemMotors", "FocusSideSet", "Right", "", "Right", 0},
        {"MemMotors", "FocusSideSet", "right", "right is not part of enum MotorSide", "Right", 0}};
    for (auto const& c : cases) {
        EXPECT_EQ(set(c.block, c.name, c.text), c.error) << c.name << " " << c.text;
        EXPECT_EQ(get(c.block, c.name), c.printed) << c.name << " " << c.text;
        auto events = posted(c.posts);
        EXPECT_EQ(events.size(), c.posts) << c.name << " " << c.text;
        for (Notify const& event : events)
            EXPECT_EQ(eventName(event), "Var" + std::string(c.name) + "Changed");
    }
    EXPECT_TRUE(kmsg.waitFor("Not a valid hex digit: g", 0));

    // The program's own writes: a 70-character text into 64 bytes is cut, and posts each time.
    auto& label = gMemServiceMode->ServiceMode1WireModemLabel;
    for (size_t length : {70, 70, 63})
        setVariable(label, gen::notify::MemServiceMode::ServiceMode1WireModemLabel,
                    std::string(length, 'x').c_str());
    EXPECT_EQ(std::string(label.data()), std::string(63, 'x'));
    EXPECT_EQ(posted(2).size(), 2u) << "a cut text posts each time, the same text does not";
}

TEST_F(Dictionary, LimitsAndPrintedValuesAndEnumerationsOutOfRange) {
    uint32_t persistent = 0, gui = Introspection::getMemIndex("MemGuiLocal");
    auto index = Introspection::getVarIndex;
    EXPECT_EQ(Introspection::getVarMax(persistent, index(persistent, "RadioPower")), "1");
    EXPECT_EQ(Introspection::getVarMax(persistent, index(persistent, "KnobColor")), "6");
    EXPECT_EQ(Introspection::getVarMax(gui, index(gui, "UserButtonsFlags")), "3");
    EXPECT_EQ(Introspection::printBool(true),
              R"({ "value": "true", "type": "bool", "textid": [ "false", "true" ]})");
    std::string error;
    EXPECT_FALSE(Introspection::checkMinMax(persistent, index(persistent, "FocusTorque"), "9", error));
    EXPECT_TRUE(Introspection::checkMinMax(persistent, index(persistent, "FocusTorque"), "4", error));
    EXPECT_FALSE(Introspection::checkMinMax(persistent, index(persistent, "FocusTorque"), "x", error));
    EXPECT_EQ(error, "Can't convert \"x\"\n");
    // Limits are inclusive for floats too.
    uint32_t dynamic = Introspection::getMemIndex("MemDynamic"), target = index(dynamic, "FocusTargetValue");
    for (auto [text, within] : {std::pair{"0", true}, {"1", true}, {"-0.01", false}, {"1.01", false}})
        EXPECT_EQ(Introspection::checkMinMax(dynamic, target, text, error), within) << text;

    EXPECT_EQ(Introspection::escape("a\"b"), "a\"b") << "no pattern yet";

    KmsgReader kmsg;
    gMemPersistent->KnobColor = gen::KnobColor(9);
    EXPECT_EQ(get("MemPersistent", "KnobColor"), "INVALID_VALUE: 9");
    EXPECT_TRUE(kmsg.waitFor("Value 9 of enum KnobColor is above number of entries (7)", 0));
    EXPECT_EQ(IntrospectionEnum::printEnum("Lock", "SymbolTypes"),
              R"({ "value": "Lock", "type": "SymbolTypes", "textid": [ "Lock"]})");
}

TEST_F(Dictionary, RecordsPrintAsJsonObjects) {
    gMemServiceMode->ButtonList[1].ButtonOk = true;
    EXPECT_EQ(get("MemServiceMode", "ButtonList", 1),
              R"({"ButtonPressed": { "value": "false", "type": "bool", "textid": [ "false", "true" ]},)"
              R"("ButtonOk": { "value": "true", "type": "bool", "textid": [ "false", "true" ]}})");
    gMemPersistent->RadioModuleList[2].Channel = 5;
    gMemPersistent->RadioModuleList[2].Region = gen::RadioRegion::Europe;
    std::string radio = get("MemPersistent", "RadioModuleList", 2);
    std::string const head =
        R"({"Channel": {"max":"99","min":"0","type":"int","value":"5"},"Region":  { "value": "Europe")";
    EXPECT_EQ(radio.substr(0, head.size()), head);
    Introspection::setEscapeCharacters("[\\\\\"]");
    strcpy(gMemLens->LensFileList[3].LensFileName.data(), "Wide\"1");
    EXPECT_EQ(get("MemLens", "LensFileList", 3),
              R"({"LensFileName": {"value":"Wide\"1", "type": "string" }})");

    // The raw image of one record: written and posted only when it differs.
    gen::RadioStruct image{7, gen::RadioRegion::Japan};
    uint32_t mem = 0, var = 0;
    Introspection::getVarLocation(Notify{gen::Event::VarRadioModuleListChanged, 0, 0}, mem, var);
    Notify element{gen::Event::VarRadioModuleListChanged, 1, 1};
    auto const& info = Introspection::getVarInfo(mem, var);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(info.set(reinterpret_cast<char*>(gMemPersistent), mem, var, element,
                           reinterpret_cast<char*>(&image)),
                  "");
    EXPECT_EQ(gMemPersistent->RadioModuleList[1].Channel, 7);
    auto events = posted(1);
    ASSERT_EQ(events.size(), 1u) << "first event " << (events.empty() ? 0 : events[0].event);
    EXPECT_EQ(events[0].param1, 1u);
    EXPECT_EQ(events[0].param2, 1u);
}

TEST_F(Dictionary, RecordFieldsFromSetRequests) {
    auto setField = [&](char const* block, char const* variable, int element, char const* field,
                        char const* text) {
        uint32_t mem = Introspection::getMemIndex(block);
        JsonPairs pairs{{block, {"{...}", true}},
                        {variable, {"{...}", true}},
                        {"Index", {"0", false}},
                        {field, {text, false}}};
        return Introspection::setVarValueJson(mem, Introspection::getVarIndex(mem, variable), pairs, element);
    };
    gMemMotors->FocusMotor.CalRequest = true;
    EXPECT_EQ(setField("MemMotors", "FocusMotor", 0, "CalRequest", "true"), "");
    EXPECT_TRUE(posted().empty()) << "unchanged";
    EXPECT_EQ(setField("MemMotors", "FocusMotor", 0, "CalRequest", "yes"), "");
    EXPECT_FALSE(gMemMotors->FocusMotor.CalRequest);
    EXPECT_EQ(setField("MemMotors", "IrisMotor", 0, "Side", "Right"), "");
    EXPECT_EQ(uint32_t(gMemMotors->IrisMotor.Side), 1u);
    EXPECT_EQ(setField("MemMotors", "IrisMotor", 0, "Side", "Middle"), "");
    EXPECT_EQ(setField("MemMotors", "IrisMotor", 0, "Foo", "1"), "");
    EXPECT_EQ(uint32_t(gMemMotors->IrisMotor.Side), 1u);
    EXPECT_EQ(posted(2).size(), 2u);

    EXPECT_THROW(setField("MemMotors", "ZoomMotor", 0, "ActPosition", "abc"), std::invalid_argument);
    EXPECT_EQ(setField("MemMotors", "ZoomMotor", 0, "ActPosition", "70000"), "");
    EXPECT_EQ(gMemMotors->ZoomMotor.ActPosition, 70000) << "printed limits are not enforced";
    EXPECT_EQ(setField("MemMotors", "ZoomMotor", 0, "RealLowerLimit", "0.5"), "");
    EXPECT_EQ(gMemMotors->ZoomMotor.RealLowerLimit, 0.5f);
    posted(2);

    // An element of an array: its index goes with the event, also when nothing changed.
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(setField("MemLens", "LensFileList", 3, "LensFileName", "Wide.lens"), "");
    EXPECT_STREQ(gMemLens->LensFileList[3].LensFileName.data(), "Wide.lens");
    auto events = posted(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].event, gen::Event::VarLensFileListChanged);
    EXPECT_EQ(events[1].param1, 1u);
    EXPECT_EQ(events[1].param2, 3u);
    uint32_t lens = Introspection::getMemIndex("MemLens");
    EXPECT_EQ(Introspection::getVarEvent(lens, Introspection::getVarIndex(lens, "LensFileList")).param2, 3u);

    // Too long a name is cut to the field's room; indices outside the variable are refused unwritten.
    EXPECT_EQ(setField("MemLens", "LensFileList", 99, "LensFileName", std::string(50, 'n').c_str()), "");
    EXPECT_EQ(std::string(gMemLens->LensFileList[99].LensFileName.data()), std::string(39, 'n'));
    auto before = *gMemLens;
    EXPECT_EQ(setField("MemLens", "LensFileList", 100, "LensFileName", "x"),
              "Index 100 is outside LensFileList");
    EXPECT_EQ(setField("MemLens", "LensFileList", -1, "LensFileName", "x"),
              "Index 4294967295 is outside LensFileList");
    EXPECT_EQ(setField("MemMotors", "FocusMotor", 1, "CalRequest", "true"), "Index 1 is outside FocusMotor");
    EXPECT_EQ(memcmp(&before, gMemLens, sizeof before), 0);
    posted(1);
}

} // namespace

#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "failure.h"
#include "introspection.h"
#include "introspection_enum.h"
#include "kmsg.h"
#include "setters.h"

namespace {

// The blocks the cases use, as zeroed images in this process.
class Dictionary : public ::testing::Test {
protected:
    void SetUp() override {
        gMemPersistent = block<gen::MemPersistentData>();
        gMemDynamic = block<gen::MemDynamicData>();
        gMemCamera = nullptr; // left unmapped on purpose
        gMemLens = block<gen::MemLensData>();
        gMemMotors = block<gen::MemMotorsData>();
        gMemGuiLocal = block<gen::MemGuiLocalData>();
        gMemServiceMode = block<gen::MemServiceModeData>();
    }
    template <typename T> T* block() {
        images.emplace_back(new T{});
        return static_cast<T*>(images.back().get());
    }
    static Change set(char const* blockName, char const* name, char const* text) {
        uint32_t mem = Introspection::getMemIndex(blockName);
        return Introspection::setVarValue(mem, Introspection::getVarIndex(mem, name), text);
    }
    static std::string get(char const* blockName, char const* name, int index = 0) {
        uint32_t mem = Introspection::getMemIndex(blockName);
        return Introspection::getVarValue(mem, Introspection::getVarIndex(mem, name), index);
    }

    std::vector<std::shared_ptr<void>> images;
};

TEST_F(Dictionary, NamesAndIndexesAreCheckedAndEventsLeadBackToTheirVariable) {
    for (auto const& [action, text] : std::vector<std::pair<std::function<void()>, std::string>>{
             {[] { Introspection::getMemIndex("memPersistent"); }, "Unknown memory \"memPersistent\""},
             {[] { Introspection::getVarName(17, 17); }, "Index exceeds limit"},
             {[] { Introspection::getVarCount(18); }, "Index exceeds limit"},
             {[] { Introspection::getVarIndex(17, "appDofCalculationLogLevel"); },
              "Unknown variable \"MemApp.appDofCalculationLogLevel\""},
             {[] { IntrospectionEnum::getEnumIndex("axis"); }, "Unknown enum \"axis\""},
             {[] { IntrospectionEnum::getEnumName(IntrospectionEnum::getEnumCount()); },
              "Index exceeds limit"},
             {[] { IntrospectionEnum::getEnumEntryCount(IntrospectionEnum::getEnumCount()); },
              "Index exceeds limit"}})
        EXPECT_NE(failure(action).find(text), std::string::npos) << text;

    auto location = [](Notify const& event) {
        uint32_t mem = 99, var = 99;
        Introspection::getVarLocation(event, mem, var);
        return std::make_pair(mem, var);
    };
    EXPECT_EQ(location(Notify{gen::Event::VarFocusMotorChanged, 0, 0}), std::make_pair(8u, 0u));
    EXPECT_EQ(location(Notify{0, 0, 0}), std::make_pair(0u, 0u));
    auto [mem, var] = location(gen::notify::MemServiceMode::ServiceMode1WireModemLabel);
    EXPECT_STREQ(Introspection::getVarName(mem, var), "ServiceMode1WireModemLabel");
}

TEST_F(Dictionary, SettersParseStoreAndReportOnlyChanges) {
    gMemGuiLocal->UserButtonsFlags = {1, 2, 3};
    KmsgReader kmsg;
    struct Case {
        char const *block, *name, *text, *error, *printed;
        bool changed;
    } const cases[] = {
        {"MemPersistent", "FocusTorque", "0x10", "", "16", true},
        {"MemPersistent", "FocusTorque", "010", "", "8", true},
        {"MemPersistent", "FocusTorque", "  -5xyz", "", "-5", true},
        {"MemPersistent", "FocusTorque", "9", "", "9", true},
        {"MemPersistent", "FocusTorque", "9", "", "9", false},
        {"MemPersistent", "FocusTorque", "abc", "Can't convert abc to int", "9", false},
        {"MemPersistent", "FocusTorque", "4294967296", "Can't convert 4294967296 to int", "9", false},
        {"MemDynamic", "FocusTargetValue", "-0", "", "-0.000000", true}, // differs from 0 bitwise
        {"MemDynamic", "FocusTargetValue", "1e-50", "Can't convert 1e-50 to float", "-0.000000", false},
        {"MemDynamic", "FocusTargetValue", "0.1", "", "0.100000", true},
        {"MemPersistent", "RadioPower", "True", "Value has to be 'true' or 'false'", "false", false},
        {"MemPersistent", "RadioPower", "1", "Value has to be 'true' or 'false'", "false", false},
        {"MemPersistent", "RadioPower", "", "Value has to be 'true' or 'false'", "false", false},
        {"MemPersistent", "RadioPower", "true", "", "true", true},
        {"MemPersistent", "RadioPower", "true", "", "true", false},
        {"MemPersistent", "ProductName", "abcdefghijklmnopqrstuvwxy", "", "abcdefghijklmnopqrs", true},
        {"MemPersistent", "ProductName", "abcdefghijklmnopqrs", "", "abcdefghijklmnopqrs", true}, // always
        {"MemGuiLocal", "UserButtonsFlags", "0aff", "", "0aff03", true},
        {"MemGuiLocal", "UserButtonsFlags", "0g12", "Can't convert 0g12 to buffer", "0aff03", false},
        {"MemGuiLocal", "UserButtonsFlags", "12zz", "Can't convert zz to buffer", "12ff03", false},
        {"MemGuiLocal", "UserButtonsFlags", "abc", "", "abc003", true},
        {"MemMotors", "FocusSideSet", "Right", "", "Right", true},
        {"MemMotors", "FocusSideSet", "Right", "", "Right", false},
        {"MemMotors", "FocusSideSet", "right", "right is not part of enum MotorSide", "Right", false},
        {"MemCamera", "CamFWVersion", "x", "n/a", "n/a", false}}; // a block left unmapped
    for (auto const& c : cases) {
        Change change = set(c.block, c.name, c.text);
        EXPECT_EQ(change.error, c.error) << c.name << " " << c.text;
        EXPECT_EQ(get(c.block, c.name), c.printed) << c.name << " " << c.text;
        EXPECT_EQ(change.changed, c.changed) << c.name << " " << c.text;
        EXPECT_EQ(eventName(change.notify), "Var" + std::string(c.name) + "Changed");
        EXPECT_EQ(change.notify.param1 | change.notify.param2, 0u) << c.name;
    }
    EXPECT_TRUE(kmsg.waitFor("Not a valid hex digit: g", 0));
}

TEST_F(Dictionary, LimitsArePrintedAsTextsAndCheckedInclusively) {
    uint32_t persistent = 0, gui = Introspection::getMemIndex("MemGuiLocal");
    auto index = Introspection::getVarIndex;
    EXPECT_EQ(Introspection::getVarMax(persistent, index(persistent, "RadioPower")), "1");
    EXPECT_EQ(Introspection::getVarMax(persistent, index(persistent, "KnobColor")), "6");
    EXPECT_EQ(Introspection::getVarMax(gui, index(gui, "UserButtonsFlags")), "3");
    std::string error;
    EXPECT_FALSE(Introspection::checkMinMax(persistent, index(persistent, "FocusTorque"), "9", error));
    EXPECT_TRUE(Introspection::checkMinMax(persistent, index(persistent, "FocusTorque"), "4", error));
    EXPECT_FALSE(Introspection::checkMinMax(persistent, index(persistent, "FocusTorque"), "x", error));
    EXPECT_EQ(error, "Can't convert \"x\"\n");
    uint32_t dynamic = Introspection::getMemIndex("MemDynamic"), target = index(dynamic, "FocusTargetValue");
    for (auto [text, within] : {std::pair{"0", true}, {"1", true}, {"-0.01", false}, {"1.01", false}})
        EXPECT_EQ(Introspection::checkMinMax(dynamic, target, text, error), within) << text;
}

TEST_F(Dictionary, EnumerationsPrintEveryEntryAndAValueOutOfRangeIsLogged) {
    EXPECT_EQ(IntrospectionEnum::printEnum("Lock", "SymbolTypes"),
              R"({ "value": "Lock", "type": "SymbolTypes", "textid": [ "Lock"]})");
    KmsgReader kmsg;
    gMemPersistent->KnobColor = gen::KnobColor(9);
    EXPECT_EQ(get("MemPersistent", "KnobColor"), "INVALID_VALUE: 9");
    EXPECT_TRUE(kmsg.waitFor("Value 9 of enum KnobColor is above number of entries (7)", 0));
}

TEST_F(Dictionary, RecordsPrintAsJsonObjects) {
    EXPECT_EQ(Introspection::printBool(true),
              R"({ "value": "true", "type": "bool", "textid": [ "false", "true" ]})");
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
    strcpy(gMemLens->LensFileList[3].LensFileName.data(), "Wide\"1\\");
    EXPECT_EQ(get("MemLens", "LensFileList", 3),
              R"({"LensFileName": {"value":"Wide\"1\\", "type": "string" }})");
}

TEST_F(Dictionary, ARecordImageIsStoredAndReportedOnlyWhenItDiffers) {
    gen::RadioStruct image{7, gen::RadioRegion::Japan};
    uint32_t mem = 0, var = 0;
    Introspection::getVarLocation(Notify{gen::Event::VarRadioModuleListChanged, 0, 0}, mem, var);
    Notify element{gen::Event::VarRadioModuleListChanged, 1, 1};
    auto const& info = Introspection::getVarInfo(mem, var);
    for (bool changed : {true, false}) {
        Change change = info.set(reinterpret_cast<char*>(gMemPersistent), mem, var, element,
                                 reinterpret_cast<char*>(&image));
        EXPECT_EQ(change.error, "");
        EXPECT_EQ(change.changed, changed);
        EXPECT_EQ(change.notify.param2, 1u);
    }
    EXPECT_EQ(gMemPersistent->RadioModuleList[1].Channel, 7);
    EXPECT_EQ(gMemPersistent->RadioModuleList[0].Channel, 0);
}

class RecordFields : public Dictionary {
protected:
    static Change setField(char const* block, char const* variable, int element, char const* field,
                           char const* text) {
        uint32_t mem = Introspection::getMemIndex(block);
        JsonPairs pairs{{block, {"{...}", true}},
                        {variable, {"{...}", true}},
                        {"Index", {"0", false}},
                        {field, {text, false}}};
        return Introspection::setVarValueJson(mem, Introspection::getVarIndex(mem, variable), pairs, element);
    }
};

TEST_F(RecordFields, AreStoredByTypeAndReportedOnlyWhenTheyChange) {
    gMemMotors->FocusMotor.CalRequest = true;
    struct Case {
        char const *variable, *field, *text;
        bool changed;
    } const cases[] = {{"FocusMotor", "CalRequest", "true", false},
                       {"FocusMotor", "CalRequest", "yes", true},
                       {"IrisMotor", "Side", "Right", true},
                       {"IrisMotor", "Side", "Middle", false},
                       {"IrisMotor", "Foo", "1", false},
                       {"ZoomMotor", "ActPosition", "70000", true},
                       {"ZoomMotor", "RealLowerLimit", "0.5", true}};
    for (auto const& c : cases) {
        Change change = setField("MemMotors", c.variable, 0, c.field, c.text);
        EXPECT_EQ(change.error, "") << c.field << " " << c.text;
        EXPECT_EQ(change.changed, c.changed) << c.field << " " << c.text;
    }
    EXPECT_FALSE(gMemMotors->FocusMotor.CalRequest);
    EXPECT_EQ(uint32_t(gMemMotors->IrisMotor.Side), 1u);
    EXPECT_EQ(gMemMotors->ZoomMotor.ActPosition, 70000) << "printed limits are not enforced";
    EXPECT_EQ(gMemMotors->ZoomMotor.RealLowerLimit, 0.5f);
    EXPECT_THROW(setField("MemMotors", "ZoomMotor", 0, "ActPosition", "abc"), std::invalid_argument);
}

TEST_F(RecordFields, OfAnElementNameItInTheChangeAndATextFieldAlwaysChanges) {
    for (int i = 0; i < 2; ++i) {
        Change change = setField("MemLens", "LensFileList", 3, "LensFileName", "Wide.lens");
        EXPECT_TRUE(change.changed);
        EXPECT_EQ(change.notify.event, gen::Event::VarLensFileListChanged);
        EXPECT_EQ(change.notify.param1, 1u);
        EXPECT_EQ(change.notify.param2, 3u);
    }
    EXPECT_STREQ(gMemLens->LensFileList[3].LensFileName.data(), "Wide.lens");
    uint32_t lens = Introspection::getMemIndex("MemLens");
    EXPECT_EQ(Introspection::getVarEvent(lens, Introspection::getVarIndex(lens, "LensFileList")).param2, 0u)
        << "the dictionary's own event keeps no element";
    // Too long a name is cut to the field's room.
    setField("MemLens", "LensFileList", 99, "LensFileName", std::string(50, 'n').c_str());
    EXPECT_EQ(std::string(gMemLens->LensFileList[99].LensFileName.data()), std::string(39, 'n'));
}

TEST_F(RecordFields, OutsideTheVariableAreRefusedUnwritten) {
    auto before = *gMemLens;
    EXPECT_EQ(setField("MemLens", "LensFileList", 100, "LensFileName", "x").error,
              "Index 100 is outside LensFileList");
    EXPECT_EQ(setField("MemLens", "LensFileList", -1, "LensFileName", "x").error,
              "Index 4294967295 is outside LensFileList");
    EXPECT_EQ(memcmp(&before, gMemLens, sizeof before), 0);
    Change change = setField("MemMotors", "FocusMotor", 1, "CalRequest", "true");
    EXPECT_EQ(change.error, "Index 1 is outside FocusMotor");
    EXPECT_FALSE(change.changed);
}

} // namespace

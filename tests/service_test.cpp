// The running service end to end: the variable tree, setting variables, held update requests, start and stop.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>

#include "kmsg.h"
#include "servicefixture.h"

namespace {

using namespace servicetest;

TEST_F(Service, TreeHoldsEveryBlockAndVariableInDictionaryOrder) {
    startService();
    std::string tree = ask({{"SCRIPT_NAME", "/api/v1/all.cgi"}});
    EXPECT_EQ(tree.rfind("{\r\n\"id\": 1,\r\n\"variables\": {\"MemPersistent\" : {\"ProductName\" : ", 0),
              0u);
    EXPECT_EQ(tree.substr(tree.size() - 4), "}}\r\n");
    auto document = nlohmann::ordered_json::parse(tree);
    auto const& blocks = document["variables"];
    ASSERT_EQ(blocks.size(), Introspection::getMemCount());
    uint32_t mem = 0;
    for (auto const& block : blocks.items()) {
        ASSERT_EQ(block.key(), Introspection::getMemName(mem));
        uint32_t var = 0;
        for (auto const& variable : block.value().items())
            ASSERT_EQ(variable.key(), Introspection::getVarName(mem, var++)) << block.key();
        EXPECT_EQ(var, Introspection::getVarCount(mem++));
    }

    // Values come from the blocks as the device left them, each in its JSON value object.
    auto const& persistent = blocks["MemPersistent"];
    EXPECT_EQ(persistent["ProductName"]["value"], "Controller \"Demo\"");
    EXPECT_EQ(persistent["FocusTorque"],
              nlohmann::ordered_json::parse(R"({"max":"4","min":"1","type":"int","value":"2"})"));
    EXPECT_EQ(blocks["MemServiceMode"]["ButtonList"].size(), 13u);

    // The tree follows the device: a change shows in the next answer.
    setValue("MemPersistent", "FocusTorque", "4");
    auto again = nlohmann::ordered_json::parse(ask({{"SCRIPT_NAME", "/api/v1/all.cgi"}}));
    EXPECT_EQ(again["variables"]["MemPersistent"]["FocusTorque"]["value"], "4");
}

TEST_F(Service, UnknownScriptsAreAnsweredWithTheirName) {
    startService();
    KmsgReader kmsg;
    EXPECT_EQ(ask({}), R"({"result": 0, "error": "Unknown script: ''" })");
    for (auto [name, shown] : {std::pair{"/api/v1/all.cgi/", "/api/v1/all.cgi/"},
                               {"/voxapp/v1/x", "/voxapp/v1/x"},
                               {"/a\"b\\", "/a\\u0022b\\u005c"}})
        EXPECT_EQ(ask({{"SCRIPT_NAME", name}}),
                  R"({"result": 0, "error": "Unknown script: ')" + std::string(shown) + "'\" }");
    EXPECT_TRUE(kmsg.waitFor("Unknown script: '/voxapp/v1/x'"));
}

TEST_F(Service, SetWritesTheBlockAndPostsTheEventOrAnswersZeroWhenItNamesNoVariable) {
    startService();
    KmsgReader kmsg;
    delivered();
    EXPECT_EQ(set(R"({"MemPersistent": {"FocusTorque": 3}})"), SET_DONE);
    EXPECT_EQ(gMemPersistent->FocusTorque, 3);
    EXPECT_EQ(eventsUntil(gen::Event::VarFocusTorqueChanged), "VarFocusTorqueChanged");
    // Wrapped in a value object, quoted, and with the outer brace missing: the inner object was whole. A
    // value the setter refuses still answers 1; the block keeps its value.
    for (auto const& [body, value] :
         std::vector<std::pair<char const*, int>>{{R"({"MemPersistent": {"FocusTorque": {"value": '1'}})", 1},
                                                  {R"({"MemPersistent": {"FocusTorque": 4})", 4},
                                                  {R"({"MemPersistent": {"FocusTorque": "nine"}})", 4}}) {
        EXPECT_EQ(set(body), SET_DONE) << body;
        EXPECT_EQ(gMemPersistent->FocusTorque, value) << body;
    }
    // One element of an array of records.
    EXPECT_EQ(set(R"({"MemServiceMode": {"ButtonList": {"Index": 2, "ButtonOk": "true"}}})"), SET_DONE);
    EXPECT_TRUE(gMemServiceMode->ButtonList[2].ButtonOk);
    EXPECT_FALSE(gMemServiceMode->ButtonList[1].ButtonOk);

    EXPECT_EQ(set(R"({"MemPersistent" {}})"),
              R"({"result": 0, "error": "JSON parse error at 17.\u000d\u000a" })");
    for (char const* body :
         {R"({"NoSuchMem": {"X": 1}})", R"({"MemPersistent": 5})", R"({"MemPersistent": {}})",
          R"({"MemPersistent": {"NoSuchVariable": 5}})", "",
          R"({"MemServiceMode": {"ButtonList": {"Index": "two", "ButtonOk": "true"}}})",
          R"({"MemServiceMode": {"ButtonList": {"Index": 99999999999, "ButtonOk": "true"}}})"})
        EXPECT_EQ(set(body), R"({"result": 0, "error": "" })") << body;
    EXPECT_TRUE(kmsg.waitFor("Unknown memory \"NoSuchMem\""));
    EXPECT_EQ(gMemPersistent->FocusTorque, 4);

    // Many more requests in quick turn than the registry holds, as a front web server sends them when it
    // opens a connection per request: an answered request must not keep the next one from being served.
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(set(R"({"MemPersistent": {"FocusTorque": 3}})"), SET_DONE) << "request " << i;
}

TEST_F(Service, HeldUpdateRequestsGetTheNextChanges) {
    setValue("MemStatic", "VariableLogging", "true"); // before the start, so that no change of it is reported
    startService();
    KmsgReader kmsg;
    int first = send({{"SCRIPT_NAME", "/api/v1/update.cgi"}}, "", 5);
    int second = send({{"SCRIPT_NAME", "/api/v1/update.cgi"}}, "", 9);
    served();
    EXPECT_EQ(fcgiclient::receiveAvailable(first), "") << "held while nothing changes";
    setValue("MemPersistent", "FocusTorque", "3");
    setValue("MemPersistent", "FocusTorque", "4"); // one entry for both
    setValue("MemServiceMode", "ServiceMode1WireModemLabel", "M-7");
    std::string body =
        "\"errors\": [],\r\n\"variables\": {\r\n  \"MemPersistent\" : {\r\n    \"FocusTorque\" : "
        "{\"max\":\"4\",\"min\":\"1\",\"type\":\"int\",\"value\":\"4\"}\r\n  }, \r\n"
        "  \"MemServiceMode\" : {\r\n    \"ServiceMode1WireModemLabel\" : "
        "{\"max\":\"0\",\"min\":\"0\",\"type\":\"string\",\"value\":\"M-7\"}\r\n  }\r\n}\r\n}\r\n";
    EXPECT_EQ(answerOf(first).out, JSON_HEADER + "{\r\n\"id\": 5,\r\n" + body);
    EXPECT_EQ(answerOf(second).out, JSON_HEADER + "{\r\n\"id\": 9,\r\n" + body);
    // Asked for by the device, and only a fault once an answer shows that the service gets the events.
    EXPECT_TRUE(kmsg.waitFor(R"(MemPersistent.FocusTorque: {"max":"4","min":"1","type":"int","value":"4"})"));

    // What was reported is not reported again: the next held request gets the next change alone.
    int third = send({{"SCRIPT_NAME", "/api/v1/update.cgi"}}, "", 3);
    served();
    setValue("MemPersistent", "ProductName", "Other");
    std::string out = answerOf(third).out;
    EXPECT_TRUE(contains(out, R"("ProductName" : {"max":"0","min":"0","type":"string","value":"Other"})"))
        << out;
    EXPECT_FALSE(contains(out, "FocusTorque")) << out;
}

TEST_F(Service, SigtermEndsHeldRequestsAndExitsCleanly) {
    startService();
    KmsgReader kmsg;
    int held = send({{"SCRIPT_NAME", "/api/v1/update.cgi"}}, "", 4);
    served();
    EXPECT_EQ(stopProcess(service), 0);
    service = -1;
    EXPECT_EQ(answerOf(held).requestId, 4u);
    EXPECT_TRUE(kmsg.waitFor("SIG 15: Terminated"));
    EXPECT_FALSE(portOpen(9000));
}

TEST_F(Service, AMissingBlockStopsTheStartBeforeThePortOpens) {
    KmsgReader kmsg;
    gen::getSharedMemory(5).close(); // MemLens
    pid_t lonely = spawnProcess({SERVICE_PATH});
    EXPECT_NE(exitStatus(lonely), 0);
    EXPECT_TRUE(kmsg.waitFor("/MemLens: No such file or directory"));
    EXPECT_FALSE(portOpen(9000));
}

} // namespace

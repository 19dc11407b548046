#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "trace_capture.h"
#include "util/sm.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kToyTraceBit = 0x800;
constexpr uint16_t EV_GO = 0x200;
constexpr uint16_t EV_OTHER = 0x201;

// What a toy state does with one event: the result, the targets it sets first (state
// letters, 0 for none) and the events it posts to its own machine.
struct Reaction {
    uint32_t result = SM_DONE;
    char next = 0;
    char master = 0;
    std::vector<uint16_t> posts = {};
};

using Script = std::map<std::pair<char, uint16_t>, Reaction>;

struct Toy {
    TStateMachine m{};
    Script script;
    std::vector<std::string> log;    // "A:200": state A received 0x200
};

SmHandler handlerOf(char state);

std::string logEntry(char state, uint16_t event) {
    char entry[16];
    std::snprintf(entry, sizeof entry, "%c:%x", state, event);
    return entry;
}

uint32_t act(char state, TStateMachine* m, uint16_t event) {
    Toy* toy = static_cast<Toy*>(m->owner);
    toy->log.push_back(logEntry(state, event));
    auto it = toy->script.find({state, event});
    if (it == toy->script.end()) return SM_DONE;
    const Reaction& r = it->second;
    if (r.next) m->next = handlerOf(r.next);
    if (r.master) m->master = handlerOf(r.master);
    for (uint16_t e : r.posts) smPostEvent(m, e);
    return r.result;
}

uint32_t stateA(TStateMachine* m, uint16_t e) { return act('A', m, e); }
uint32_t stateB(TStateMachine* m, uint16_t e) { return act('B', m, e); }
uint32_t stateC(TStateMachine* m, uint16_t e) { return act('C', m, e); }
uint32_t defaultD(TStateMachine* m, uint16_t e) { return act('D', m, e); }

SmHandler handlerOf(char state) {
    switch (state) {
    case 'A': return stateA;
    case 'B': return stateB;
    case 'C': return stateC;
    default: return nullptr;
    }
}

constexpr SmStateEntry kStates[] = {{stateA, "StateA"}, {stateB, "StateB"}, {stateC, "StateC"}};

struct SmTest : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        smInit(&toy.m, stateA, defaultD, &toy, kStates, 3, "toy:", kToyTraceBit);
    }
    void TearDown() override { smRegisterEventNames(2, 0, nullptr); }

    // Enters the initial state, then forgets what that produced.
    void enter() {
        EXPECT_EQ(smHandleEvent(&toy.m, EV_SM_ENTRY), SM_DONE);
        toy.log.clear();
        cap.clear();
    }
    char currentState() const {
        for (char s : {'A', 'B', 'C'})
            if (toy.m.current == handlerOf(s)) return s;
        return '?';
    }

    Toy toy;
    TraceCapture cap;
};

struct TransitionCase {
    const char* name;
    Script script;
    std::vector<std::string> log;    // after the initial entry, while EV_GO is handled
    char endState;
    SmHandler endMaster;
    uint32_t breaks;                 // internal failures reported
};

const TransitionCase kTransitions[] = {
    {"change exits the old state and enters the new one",
     {{{'A', EV_GO}, {SM_CHANGE, 'B'}}},
     {"A:200", "A:101", "B:100"}, 'B', nullptr, 0},
    {"not handled on entry or exit never reaches the default handler",
     {{{'A', EV_GO}, {SM_CHANGE, 'B'}}, {{'A', EV_SM_EXIT}, {SM_NOT_HANDLED}}, {{'B', EV_SM_ENTRY}, {SM_NOT_HANDLED}}},
     {"A:200", "A:101", "B:100"}, 'B', nullptr, 0},
    {"an unhandled event goes to the default handler",
     {{{'A', EV_GO}, {SM_NOT_HANDLED}}},
     {"A:200", "D:200"}, 'A', nullptr, 0},
    {"an entry that asks for a change moves on at once",
     {{{'A', EV_GO}, {SM_CHANGE, 'B'}}, {{'B', EV_SM_ENTRY}, {SM_CHANGE, 'C'}}},
     {"A:200", "A:101", "B:100", "B:101", "C:100"}, 'C', nullptr, 0},
    {"a substate is entered without leaving the state",
     {{{'A', EV_GO}, {SM_SUBSTATE, 'B', 'A'}}},
     {"A:200", "B:100"}, 'B', stateA, 0},
    {"returning to the master exits the substate and clears the master",
     {{{'A', EV_GO}, {SM_SUBSTATE, 'B', 'A'}}, {{'B', EV_SM_ENTRY}, {SM_MASTER}}},
     {"A:200", "B:100", "B:101", "A:102"}, 'A', nullptr, 0},
    {"an error return tells the master",
     {{{'A', EV_GO}, {SM_SUBSTATE, 'B', 'A'}}, {{'B', EV_SM_ENTRY}, {SM_MASTER_ERROR}}},
     {"A:200", "B:100", "B:101", "A:103"}, 'A', nullptr, 0},
    {"not handled after a substate entry never gives the default handler the event again",
     {{{'A', EV_GO}, {SM_SUBSTATE, 'B', 'A'}}, {{'B', EV_SM_ENTRY}, {SM_NOT_HANDLED}}},
     {"A:200", "B:100"}, 'B', stateA, 0},
    {"a return the master leaves goes to the default handler as the return",
     {{{'A', EV_GO}, {SM_SUBSTATE, 'B', 'A'}}, {{'B', EV_SM_ENTRY}, {SM_MASTER_ERROR}},
      {{'A', EV_SM_RETURNED_ERROR}, {SM_NOT_HANDLED}}},
     {"A:200", "B:100", "B:101", "A:103", "D:103"}, 'A', nullptr, 0},
    {"a default handler that enters the substate again on the return does not loop",
     {{{'A', EV_GO}, {SM_NOT_HANDLED}}, {{'D', EV_GO}, {SM_SUBSTATE, 'B', 'A'}},
      {{'B', EV_SM_ENTRY}, {SM_MASTER_ERROR}}, {{'A', EV_SM_RETURNED_ERROR}, {SM_NOT_HANDLED}}},
     {"A:200", "D:200", "B:100", "B:101", "A:103", "D:103"}, 'A', nullptr, 0},
    {"the default handler may move the machine",
     {{{'A', EV_GO}, {SM_NOT_HANDLED}}, {{'D', EV_GO}, {SM_CHANGE, 'C'}}},
     {"A:200", "D:200", "A:101", "C:100"}, 'C', nullptr, 0},
    {"a default handler that does not handle the event ends handling",
     {{{'A', EV_GO}, {SM_NOT_HANDLED}}, {{'D', EV_GO}, {SM_NOT_HANDLED}}},
     {"A:200", "D:200"}, 'A', nullptr, 0},
    {"any other result ends handling",
     {{{'A', EV_GO}, {7}}},
     {"A:200"}, 'A', nullptr, 0},
    {"a change without a next state is refused",
     {{{'A', EV_GO}, {SM_CHANGE}}},
     {"A:200"}, 'A', nullptr, 1},
    {"a substate without a next state is refused",
     {{{'A', EV_GO}, {SM_SUBSTATE}}},
     {"A:200"}, 'A', nullptr, 1},
    {"a return without a master is refused",
     {{{'A', EV_GO}, {SM_MASTER}}},
     {"A:200"}, 'A', nullptr, 1},
    {"an error return without a master is refused",
     {{{'A', EV_GO}, {SM_MASTER_ERROR}}},
     {"A:200"}, 'A', nullptr, 1},
    {"a chained change without a next state stops in the state reached",
     {{{'A', EV_GO}, {SM_CHANGE, 'B'}}, {{'B', EV_SM_ENTRY}, {SM_CHANGE}}},
     {"A:200", "A:101", "B:100"}, 'B', nullptr, 1},
};

} // namespace

TEST_F(SmTest, Transitions) {
    for (const TransitionCase& c : kTransitions) {
        SCOPED_TRACE(c.name);
        SetUp();
        enter();
        toy.script = c.script;
        uint32_t breaksBefore = debugBreakCount();
        EXPECT_EQ(smHandleEvent(&toy.m, EV_GO), SM_DONE);
        EXPECT_EQ(toy.log, c.log);
        EXPECT_EQ(currentState(), c.endState);
        EXPECT_EQ(toy.m.master, c.endMaster);
        EXPECT_EQ(toy.m.next, nullptr) << "next is consumed by every move";
        EXPECT_EQ(debugBreakCount() - breaksBefore, c.breaks);
        EXPECT_EQ(cap.count("! DebuggerBreak ..\\..\\src\\nfc\\util\\sm , line "), c.breaks);
    }
}

TEST_F(SmTest, StatesThatKeepSendingEachOtherOnAreStopped) {
    enter();
    toy.script = {{{'A', EV_GO}, {SM_CHANGE, 'B'}}, {{'B', EV_SM_ENTRY}, {SM_CHANGE, 'A'}},
                  {{'A', EV_SM_ENTRY}, {SM_CHANGE, 'B'}}};
    const uint32_t breaksBefore = debugBreakCount();
    EXPECT_EQ(smHandleEvent(&toy.m, EV_GO), SM_DONE);
    EXPECT_EQ(debugBreakCount() - breaksBefore, 1u);
    EXPECT_EQ(toy.log.size(), 1 + 2 * SM_MAX_MOVES) << "each allowed move exits one state and enters the next";
    EXPECT_EQ(toy.m.next, nullptr);
    // The machine still works afterwards.
    toy.script.clear();
    toy.log.clear();
    EXPECT_EQ(smHandleEvent(&toy.m, EV_OTHER), SM_DONE);
    EXPECT_EQ(toy.log.size(), 1u);
}

TEST_F(SmTest, InitialEntryReachesTheInitialState) {
    EXPECT_EQ(smHandleEvent(&toy.m, EV_SM_ENTRY), SM_DONE);
    EXPECT_EQ(toy.log, (std::vector<std::string>{"A:100"}));
}

TEST_F(SmTest, NinthPendingEventIsRefusedAndTheRingKeepsOrderAcrossWrap) {
    enter();
    for (int round = 0; round < 2; ++round) {
        std::vector<std::string> expected;
        for (uint16_t i = 0; i < SM_RING_SLOTS; ++i) {
            auto event = static_cast<uint16_t>(0x210 + i);
            EXPECT_EQ(smPostEvent(&toy.m, event), 1u);
            expected.push_back(logEntry('A', event));
        }
        EXPECT_EQ(smPostEvent(&toy.m, 0x2FF), 0u);
        EXPECT_EQ(smProcessEvents(&toy.m), SM_DONE);
        EXPECT_EQ(toy.log, expected);
        toy.log.clear();
    }
}

TEST_F(SmTest, EventsPostedDuringADrainAreHandledInTheSameDrain) {
    enter();
    toy.script = {{{'A', EV_GO}, {SM_CHANGE, 'B', 0, {EV_OTHER}}},
                  {{'B', EV_SM_ENTRY}, {SM_DONE, 0, 0, {0x202}}},
                  {{'B', EV_OTHER}, {SM_DONE, 0, 0, {0x203}}}};
    ASSERT_EQ(smPostEvent(&toy.m, EV_GO), 1u);
    EXPECT_EQ(smProcessEvents(&toy.m), SM_DONE);
    EXPECT_EQ(toy.log, (std::vector<std::string>{"A:200", "A:101", "B:100", "B:201", "B:202", "B:203"}));
    EXPECT_EQ(toy.m.ringPending, 0u);
}

TEST_F(SmTest, EventNamesComeFromTheRegisteredClass) {
    static const char* const names[] = {"EV_TOY_GO", nullptr, "EV_TOY_THIRD"};
    ASSERT_TRUE(smRegisterEventNames(2, 3, names));
    EXPECT_FALSE(smRegisterEventNames(0, 3, names));
    EXPECT_FALSE(smRegisterEventNames(SM_EVENT_CLASSES, 3, names));
    EXPECT_FALSE(smRegisterEventNames(2, 3, nullptr));

    const std::pair<uint16_t, const char*> cases[] = {
        {0x200, "EV_TOY_GO"},   {0x201, ""},  // a gap in the class
        {0x202, "EV_TOY_THIRD"}, {0x203, ""},  // beyond the class count
        {0x300, ""},            {0x002, ""},  // an empty class, class 0
        {0x800, ""},            {0xFF02, ""}, // beyond the eight classes
    };
    for (const auto& [event, name] : cases) EXPECT_STREQ(smEventName(event), name) << std::hex << event;
}

TEST_F(SmTest, StateNamesComeFromTheOwnersTable) {
    EXPECT_STREQ(smStateName(&toy.m, stateB), "StateB");
    EXPECT_STREQ(smStateName(&toy.m, defaultD), "");
    EXPECT_STREQ(smStateName(&toy.m, nullptr), "");
}

TEST_F(SmTest, TraceLinesNameEventsAndStates) {
    static const char* const names[] = {"EV_TOY_GO"};
    ASSERT_TRUE(smRegisterEventNames(2, 1, names));
    enter();
    toy.script = {{{'A', EV_GO}, {SM_CHANGE, 'B'}},
                  {{'B', EV_OTHER}, {SM_SUBSTATE, 'C', 'B'}},
                  {{'C', 0x202}, {SM_MASTER}},
                  {{'B', 0x203}, {SM_SUBSTATE, 'C', 'B'}},
                  {{'C', 0x204}, {SM_MASTER_ERROR}}};
    for (uint16_t e : {EV_GO, EV_OTHER, uint16_t{0x202}, uint16_t{0x203}, uint16_t{0x204}}) smHandleEvent(&toy.m, e);
    for (const char* line : {"toy: handling EV_TOY_GO in StateA", "toy: change state StateA => StateB",
                             "toy: handling event 0x201 in state StateB", "toy: change to substate StateB => StateC",
                             "toy: change to masterstate StateC => StateB",
                             "toy: error, change to masterstate StateC => StateB"})
        EXPECT_TRUE(cap.contains(line)) << line;
}

TEST_F(SmTest, TracesFollowTheMachinesBitOfTheTraceWord) {
    enter();
    toy.script = {{{'A', EV_GO}, {SM_CHANGE, 'B'}}};
    debugSetFlags(~kToyTraceBit);
    smHandleEvent(&toy.m, EV_GO);
    debugSetFlags(0xFFFFFFFFu);
    EXPECT_EQ(cap.count("toy:"), 0u);
    EXPECT_EQ(currentState(), 'B');
}

TEST_F(SmTest, CallsWithoutAMachineAreRefused) {
    EXPECT_EQ(smHandleEvent(nullptr, EV_GO), SM_BAD_MACHINE);
    EXPECT_EQ(smPostEvent(nullptr, EV_GO), 0u);
    EXPECT_EQ(smProcessEvents(nullptr), SM_BAD_MACHINE);
}

TEST_F(SmTest, AMachineWithoutAStateReportsInsteadOfCalling) {
    toy.m.current = nullptr;
    uint32_t breaksBefore = debugBreakCount();
    EXPECT_EQ(smHandleEvent(&toy.m, EV_GO), SM_DONE);
    EXPECT_EQ(debugBreakCount() - breaksBefore, 1u);
    EXPECT_TRUE(toy.log.empty());
}

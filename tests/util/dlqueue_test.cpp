#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "trace_capture.h"
#include "util/dlqueue.h"
#include "util/trace.h"

namespace {

struct Item {
    dlQueueNode link;
    int value;
};

std::vector<int> values(const dlQueue& q) {
    std::vector<int> out;
    for (dlQueueNode* n = q.head; n; n = n->next) out.push_back(reinterpret_cast<Item*>(n)->value);
    return out;
}

std::vector<int> backwards(const dlQueue& q) {
    std::vector<int> out;
    for (dlQueueNode* n = q.tail; n; n = n->previous) out.push_back(reinterpret_cast<Item*>(n)->value);
    return out;
}

struct DlQueueTest : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        dlQueueInitLockless(&q);
    }
    TraceCapture cap;
    dlQueue q;
    Item a{{}, 1}, b{{}, 2}, c{{}, 3};
};

struct SlItem {
    slQueueNode link;
    int value;
};

std::vector<int> values(const slQueue& q) {
    std::vector<int> out;
    for (slQueueNode* n = q.head; n; n = n->next) out.push_back(slQueueOwner<SlItem>(n)->value);
    return out;
}

} // namespace

TEST_F(DlQueueTest, KeepsOrderBothWaysAndRefusesANodeAlreadyQueued) {
    EXPECT_EQ(dlQueueAddTail(&q, &a.link), 1);
    EXPECT_EQ(dlQueueAddTail(&q, &b.link), 1);
    EXPECT_EQ(dlQueueAddHead(&q, &c.link), 1);
    EXPECT_EQ(values(q), (std::vector<int>{3, 1, 2}));

    for (dlQueueNode* node : {&a.link, &b.link, &c.link}) {
        EXPECT_EQ(dlQueueAddTail(&q, node), 0);
        EXPECT_EQ(dlQueueAddHead(&q, node), 0);
    }
    EXPECT_EQ(values(q), (std::vector<int>{3, 1, 2}));
    EXPECT_EQ(backwards(q), (std::vector<int>{2, 1, 3}));
    EXPECT_EQ(q.count, 3u);
    char text[128];
    std::snprintf(text, sizeof text, "! dlQueueAddHead adding node %p that already is in queue %p", static_cast<void*>(&b.link),
                  static_cast<void*>(&q));
    EXPECT_TRUE(cap.contains(text));
    EXPECT_EQ(cap.count("! dlQueueAddTail adding node "), 3u);

    EXPECT_EQ(dlQueueRemoveHead(&q), &c.link);
    EXPECT_EQ(dlRemove(&b.link, &q), 1);
    EXPECT_EQ(values(q), (std::vector<int>{1}));
    EXPECT_EQ(q.head, q.tail);
}

TEST_F(DlQueueTest, RemovingTheOnlyNodeEmptiesTheQueue) {
    ASSERT_EQ(dlQueueAddTail(&q, &a.link), 1);
    EXPECT_EQ(dlRemove(&a.link, &q), 1);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);
    EXPECT_EQ(q.count, 0u);
    EXPECT_EQ(dlQueueRemoveHead(&q), nullptr);
    EXPECT_EQ(dlQueueAddHead(&q, &a.link), 1);      // a removed node may come back
    EXPECT_EQ(values(q), (std::vector<int>{1}));
}

TEST_F(DlQueueTest, MisuseIsRefusedWithATrace) {
    ASSERT_EQ(dlQueueAddTail(&q, &a.link), 1);
    dlQueue empty;
    dlQueueInitLockless(&empty);
    struct Case {
        const char* what;
        std::function<int()> call;
        const char* text;
    };
    const Case cases[] = {
        {"init", [] { dlQueueInitLockless(nullptr); return 0; }, "! dlQueueInitLockless for NULL pointer"},
        {"tail", [&] { return int{dlQueueAddTail(nullptr, &b.link)}; }, "! dlQueueAddTail(0x0, 0x"},
        {"head", [&] { return int{dlQueueAddHead(&q, nullptr)}; }, "! dlQueueAddHead for NULL pointer"},
        {"remove head", [] { return dlQueueRemoveHead(nullptr) ? 1 : 0; }, "! dlQueueRemoveHead for NULL pointer"},
        {"remove null", [&] { return int{dlRemove(nullptr, &q)}; }, "! dlRemove() with node NULL pointer"},
        {"remove from empty", [&] { return int{dlRemove(&b.link, &empty)}; }, " from empty queue, head 0 tail"},
        {"remove absent", [&] { return int{dlRemove(&b.link, &q)}; }, " does not exist in "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cap.clear();
        EXPECT_EQ(c.call(), 0);
        EXPECT_TRUE(cap.contains(c.text));
    }
    debugSetFlags(0);     // removal errors are written whatever the trace word says
    cap.clear();
    EXPECT_EQ(dlRemove(&b.link, &q), 0);
    EXPECT_TRUE(cap.contains(" does not exist in "));
    EXPECT_EQ(values(q), (std::vector<int>{1}));
}

TEST(SlQueue, InsertAfterTheTailMovesTheTailAndRemovalKeepsItRight) {
    slQueue q{};
    SlItem items[4] = {{{}, 1}, {{}, 2}, {{}, 3}, {{}, 4}};
    slQueueAddTail(&q, &items[0].link);
    slQueueInsertAfter(&q, q.tail, &items[1].link);
    EXPECT_EQ(q.tail, &items[1].link);
    slQueueInsertAfter(&q, nullptr, &items[2].link);
    EXPECT_EQ(q.head, &items[2].link);
    EXPECT_EQ(q.tail, &items[1].link);
    slQueueInsertAfter(&q, &items[2].link, &items[3].link);
    EXPECT_EQ(values(q), (std::vector<int>{3, 4, 1, 2}));
    EXPECT_EQ(q.count, 4);

    slQueueRemove(&q, &items[1].link);
    EXPECT_EQ(q.tail, &items[0].link);
    slQueueRemove(&q, &items[1].link);     // absent: nothing happens
    EXPECT_EQ(q.count, 3);
    EXPECT_EQ(slQueueRemoveHead(&q), &items[2].link);
    EXPECT_EQ(values(q), (std::vector<int>{4, 1}));
    slQueueRemove(&q, &items[3].link);
    slQueueRemove(&q, &items[0].link);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);
    EXPECT_EQ(slQueueRemoveHead(&q), nullptr);
}

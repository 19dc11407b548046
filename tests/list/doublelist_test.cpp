#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "doublelist.h"
#include "platform.h"

namespace {

std::vector<std::string> g_listTraces;

struct Node : CDoubleListNode {
    explicit Node(int v, int* hooks = nullptr, int* deletes = nullptr) : value(v), hooks_(hooks), deletes_(deletes) {}
    ~Node() override { if (deletes_) ++*deletes_; }
    void onRemoveAll() override { if (hooks_) ++*hooks_; }
    int value;
    int* hooks_;
    int* deletes_;
};

std::vector<int> values(CDoubleList<Node>& l) {
    std::vector<int> out;
    l.lock();
    for (Node* n = l.getHead(); n; n = l.getNext(n)) out.push_back(n->value);
    l.unlock();
    return out;
}

struct ListTest : ::testing::Test {
    void SetUp() override {
        g_listTraces.clear();
        listSetTraceHook([](uint32_t flags, const char* t) {
            EXPECT_EQ(flags, 0x8000000u);
            g_listTraces.emplace_back(t);
        });
    }
    void TearDown() override { listSetTraceHook(nullptr); }
};

} // namespace

TEST_F(ListTest, HeadThenTailOnEmptyList) {
    CDoubleList<Node> l;
    Node* a = new Node(1);
    Node* b = new Node(2);
    l.insertHead(a);
    EXPECT_TRUE(l.addTail(b));
    EXPECT_EQ(l.getHead(), a);
    EXPECT_EQ(l.getTail(), b);
    EXPECT_EQ(l.getNext(a), b);
    EXPECT_EQ(l.getNext(b), nullptr);
    EXPECT_EQ(l.getNext(nullptr), nullptr);
    EXPECT_EQ(l.count(), 2u);
    EXPECT_EQ(values(l), (std::vector<int>{1, 2}));
}

TEST_F(ListTest, RemoveRelinksMiddleHeadAndTail) {
    CDoubleList<Node> l;
    Node* n[4];
    for (int i = 0; i < 4; ++i) l.addTail(n[i] = new Node(i));
    EXPECT_TRUE(l.remove(n[1]));
    EXPECT_EQ(values(l), (std::vector<int>{0, 2, 3}));
    EXPECT_TRUE(l.remove(n[0]));
    EXPECT_TRUE(l.remove(n[3]));
    EXPECT_EQ(values(l), (std::vector<int>{2}));
    EXPECT_EQ(l.getHead(), n[2]);
    EXPECT_EQ(l.getTail(), n[2]);
    EXPECT_EQ(l.removeHead(), n[2]);
    EXPECT_EQ(l.count(), 0u);
    for (Node* x : {n[0], n[1], n[2], n[3]}) delete x;
}

TEST_F(ListTest, EmptyListAnswersAndTraces) {
    CDoubleList<Node> l;
    EXPECT_EQ(l.removeHead(), nullptr);
    Node stray(9);
    EXPECT_FALSE(l.remove(&stray));
    EXPECT_EQ(l.count(), 0u);
    ASSERT_EQ(g_listTraces.size(), 2u);
    EXPECT_NE(g_listTraces[0].find("! _listcore::_remove() lcSize is ZERO"), std::string::npos);
    EXPECT_NE(g_listTraces[1].find("! tail "), std::string::npos);
    EXPECT_FALSE(l.addTail(nullptr));
    l.insertHead(nullptr);
    EXPECT_FALSE(l.remove(nullptr));
    EXPECT_EQ(g_listTraces.back(), "! _listcore::_remove() with item NULL pointer");
    EXPECT_EQ(g_listTraces[2], "! _listcore::_insertTail() for NULL pointer");
    EXPECT_EQ(g_listTraces[3], "! _listcore::_insertHead() for NULL pointer");
}

TEST_F(ListTest, RemoveAllRunsHookOnceAndDeletesEveryNode) {
    int hooks = 0, deletes = 0;
    {
        CDoubleList<Node> l;
        for (int i = 0; i < 3; ++i) l.addTail(new Node(i, &hooks, &deletes));
        l.removeAndDelete(l.getHead());
        EXPECT_EQ(deletes, 1);
        l.removeAll();
        EXPECT_EQ(hooks, 2);
        EXPECT_EQ(deletes, 3);
        l.addTail(new Node(7, &hooks, &deletes));
    }   // the destructor removes and deletes what is left
    EXPECT_EQ(deletes, 4);
}

TEST_F(ListTest, ConcurrentWritersKeepCountAndLinks) {
    CDoubleList<Node> l;
    constexpr int kPerThread = 2000;
    auto writer = [](void* a) {
        auto* list = static_cast<CDoubleList<Node>*>(a);
        for (int i = 0; i < kPerThread; ++i) {
            list->addTail(new Node(i));
            if (i % 2) delete list->removeHead();
        }
    };
    PlatThread* t1 = platThreadStart("w1", writer, &l);
    PlatThread* t2 = platThreadStart("w2", writer, &l);
    ASSERT_EQ(platThreadJoin(t1, 10000), PlatWait::Signaled);
    ASSERT_EQ(platThreadJoin(t2, 10000), PlatWait::Signaled);
    EXPECT_EQ(l.count(), static_cast<uint32_t>(kPerThread));
    EXPECT_EQ(values(l).size(), static_cast<size_t>(kPerThread));
}

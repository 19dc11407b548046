#include "doublelist.h"

#include <atomic>
#include <cstdio>

namespace {

constexpr uint32_t kListTraceClass = 0x8000000u;
std::atomic<ListTraceHook> g_hook{nullptr};

void listTrace(const char* text) {
    if (ListTraceHook hook = g_hook.load()) hook(kListTraceClass, text);
}

} // namespace

void listSetTraceHook(ListTraceHook hook) { g_hook = hook; }

bool _listcore::_insertTail(CDoubleListNode* node) {
    if (!node) {
        listTrace("! _listcore::_insertTail() for NULL pointer");
        return false;
    }
    lock();
    node->previous = tail;
    node->next = nullptr;
    if (tail) tail->next = node;
    else head = node;
    tail = node;
    ++size;
    unlock();
    return true;
}

void _listcore::_insertHead(CDoubleListNode* node) {
    if (!node) {
        listTrace("! _listcore::_insertHead() for NULL pointer");
        return;
    }
    lock();
    node->next = head;
    node->previous = nullptr;
    if (head) head->previous = node;
    else tail = node;
    head = node;
    ++size;
    unlock();
}

bool _listcore::_remove(CDoubleListNode* node, bool deleteNode) {
    if (!node) {
        listTrace("! _listcore::_remove() with item NULL pointer");
        return false;
    }
    if (size == 0) {
        char text[160];
        std::snprintf(text, sizeof text, "! _listcore::_remove() lcSize is ZERO, remove %p from queue, head %p",
                      static_cast<void*>(node), static_cast<void*>(head));
        listTrace(text);
        std::snprintf(text, sizeof text, "! tail %p", static_cast<void*>(tail));
        listTrace(text);
        return false;
    }
    if (node->previous) node->previous->next = node->next;
    if (node->next) node->next->previous = node->previous;
    if (tail == node) tail = node->previous;
    if (head == node) head = node->next;
    node->next = node->previous = nullptr;
    --size;
    if (deleteNode) delete node;
    return true;
}

CDoubleListNode* _listcore::_removeHead() {
    // Reading the head without the lock would race with writers: take it even for an empty list.
    lock();
    CDoubleListNode* node = head;
    if (node) _remove(node, false);
    unlock();
    return node;
}

void _listcore::_removeAll() {
    for (;;) {
        lock();
        CDoubleListNode* node = head;
        if (!node) {
            unlock();
            return;
        }
        bool unlinked = _remove(node, false);
        unlock();
        if (!unlinked) return;
        node->onRemoveAll();
        delete node;
    }
}

// An intrusive doubly linked list with its own lock, shared by the library's serial channels
// and the desktop program's COM-port finder. Nodes derive from CDoubleListNode.
#pragma once

#include <cstdint>

#include "platform.h"

// Where the list library writes its error lines (class 0x8000000); each deliverable installs
// its own trace output. Without a hook the lines are dropped.
using ListTraceHook = void (*)(uint32_t flags, const char* text);
void listSetTraceHook(ListTraceHook hook);

class CDoubleListNode {
public:
    CDoubleListNode() = default;
    virtual ~CDoubleListNode() { next = previous = nullptr; }
    virtual void onRemoveAll() {}        // runs on a node just before removeAll deletes it
    virtual void onHook() {}

    CDoubleListNode* next = nullptr;
    CDoubleListNode* previous = nullptr;
};

class _listcore {
public:
    virtual ~_listcore() { head = tail = nullptr; size = 0; }
    virtual void lock() = 0;
    virtual void unlock() = 0;

    uint32_t count() const { return size; }

protected:
    bool _insertTail(CDoubleListNode* node);   // false for a null node
    void _insertHead(CDoubleListNode* node);
    bool _remove(CDoubleListNode* node, bool deleteNode);   // lock held by the caller
    void _removeAll();
    CDoubleListNode* _removeHead();

    uint32_t reserved = 0;
    uint32_t size = 0;
    CDoubleListNode* head = nullptr;
    CDoubleListNode* tail = nullptr;
};

template <typename T>
class CDoubleList : public _listcore {
public:
    CDoubleList() { lock_.create(); }
    ~CDoubleList() override {
        _removeAll();
        lock_.destroy();
    }
    CDoubleList(const CDoubleList&) = delete;
    CDoubleList& operator=(const CDoubleList&) = delete;

    void lock() override { lock_.lock(); }
    void unlock() override { lock_.unlock(); }

    void removeAll() { _removeAll(); }
    bool addTail(T* node) { return _insertTail(node); }
    void insertHead(T* node) { _insertHead(node); }
    void removeAndDelete(T* node) {
        PlatLockGuard g(lock_);
        _remove(node, true);
    }
    T* removeHead() { return static_cast<T*>(_removeHead()); }
    bool remove(T* node) {
        PlatLockGuard g(lock_);
        return _remove(node, false);
    }

    // Walking the list takes no lock: the caller holds it around the walk.
    T* getHead() const { return static_cast<T*>(head); }
    T* getTail() const { return static_cast<T*>(tail); }
    T* getNext(T* node) const { return node ? static_cast<T*>(node->next) : nullptr; }

private:
    PlatLock lock_;
};

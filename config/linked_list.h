// LinkedList<T>: the list of heap records that carry their own `next`
// link. Used for accounts, client records, path entries and tree nodes.
#pragma once

#include <cassert>
#include <cstdint>

// A singly linked list of heap records. T is a plain record whose member
// `next` points to the following element (null at the end). The list owns
// its elements: Remove and Clear delete them, and deleting an element
// deletes whatever it owns. Elements keep their order: they are appended
// at the end and removed singly or all at once.
//
// No lock of its own: the holder of the list says which lock guards it.
template <typename T>
class LinkedList {
public:
    T* head = nullptr;
    T* tail = nullptr;
    int32_t count = 0;

    LinkedList() = default;
    ~LinkedList() { Clear(); }
    LinkedList(const LinkedList&) = delete;
    LinkedList& operator=(const LinkedList&) = delete;

    // Creates a new element with every field zero and its lists empty,
    // links it at the end and returns it; the caller fills the fields.
    // Throws std::bad_alloc when memory runs out; the list is unchanged.
    T* Append() {
        T* item = new T();
        Attach(item);
        return item;
    }

    // Unlinks `item` and deletes it. Returns 0, or 1 (changing nothing)
    // when `item` is null or not an element of this list.
    int Remove(T* item) {
        if (Detach(item) == nullptr) return 1;
        delete item;
        return 0;
    }

    // Deletes every element; the list is empty afterwards.
    void Clear() {
        T* item = head;
        head = tail = nullptr;
        count = 0;
        while (item != nullptr) {
            T* following = item->next;
            delete item;
            item = following;
        }
    }

    // Unlinks `item` without deleting it and hands it to the caller.
    // Returns `item`, or null when it is null or not in this list.
    T* Detach(T* item) {
        if (item == nullptr) return nullptr;
        T* previous = nullptr;
        for (T* cur = head; cur != nullptr; previous = cur, cur = cur->next) {
            if (cur != item) continue;
            if (previous != nullptr) {
                previous->next = cur->next;
            } else {
                head = cur->next;
            }
            if (tail == cur) tail = previous;
            cur->next = nullptr;
            --count;
            return cur;
        }
        return nullptr;
    }

    // Links an element that belongs to no list at the end; the list takes
    // ownership of it.
    void Attach(T* item) {
        assert(item != nullptr && item->next == nullptr);
        if (tail != nullptr) {
            tail->next = item;
        } else {
            head = item;
        }
        tail = item;
        ++count;
    }

    // Whether `item` is an element of this list (compared by identity).
    bool Contains(const T* item) const {
        for (const T* cur = head; cur != nullptr; cur = cur->next) {
            if (cur == item) return true;
        }
        return false;
    }
};

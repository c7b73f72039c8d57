// Handle-indexed list: keeps element pointers in insertion order and numbers them
// with handles from [lowest, highest], given out in rising order with wrap-around.
// Handle 0 never names an element. The list does not own its elements, except that
// RemoveAndDestroyAll deletes them. Not thread-safe: users hold their own lock.
// Look-ups by handle go through an index, so walking a list with GetNext is linear.
//
// The template has default visibility: the library exports its instantiations for sibling
// components, and every copy the compiler makes must agree (a hidden copy would hide the
// exported one at link time). The linker's version script decides what leaves the library.
#pragma once

#include <cstdint>
#include <new>
#include <unordered_map>

namespace Vellumcrest {
namespace Core {

// How RemoveAndDestroyAll releases an element; specialised per element type where
// an element is freed without running a destructor.
template <typename T>
struct ListElementDeleter {
    static void Destroy(T* element) { delete element; }
};

template <typename T>
class __attribute__((visibility("default"))) List {
public:
    List() : List(1, 65535) {}
    List(uint32_t lowest, uint32_t highest) : lowest_(lowest), highest_(highest) {}
    List(const List&) = delete;
    List& operator=(const List&) = delete;

    virtual ~List() { freeNodes(); }

    virtual int GetCount() { return count_; }

    virtual bool VerifyHandle(unsigned long handle) {
        return handle != 0 && findItemByHandle(handle) != nullptr;
    }

    virtual T* GetFirst(unsigned long& handle) {
        handle = 0;
        if (head_ == nullptr) return nullptr;
        handle = head_->handle;
        return head_->element;
    }

    virtual T* GetLast(unsigned long& handle) {
        handle = 0;
        if (tail_ == nullptr) return nullptr;
        handle = tail_->handle;
        return tail_->element;
    }

    virtual T* GetNext(unsigned long& handle) {
        Node* node = handle == 0 ? nullptr : findItemByHandle(handle);
        if (node == nullptr || node->next == nullptr) {
            handle = 0;
            return nullptr;
        }
        handle = node->next->handle;
        return node->next->element;
    }

    virtual T* GetPrev(unsigned long& handle) {
        Node* node = handle == 0 ? nullptr : findItemByHandle(handle);
        if (node == nullptr || node->prev == nullptr) {
            handle = 0;
            return nullptr;
        }
        handle = node->prev->handle;
        return node->prev->element;
    }

    virtual unsigned long Add(T* element) {
        if (element == nullptr) return 0;
        uint32_t handle = findFirstFreeHandle();
        if (handle == 0) return 0;
        Node* node = new (std::nothrow) Node{handle, element, tail_, nullptr};
        if (node == nullptr) return 0;
        try {
            index_.emplace(handle, node);
        } catch (...) {
            delete node;
            return 0;
        }
        if (tail_ != nullptr) tail_->next = node; else head_ = node;
        tail_ = node;
        ++count_;
        return handle;
    }

    virtual void Remove(unsigned long handle) {
        if (handle == 0) return;
        Node* node = findItemByHandle(handle);
        if (node == nullptr) return;
        if (node->prev != nullptr) node->prev->next = node->next; else head_ = node->next;
        if (node->next != nullptr) node->next->prev = node->prev; else tail_ = node->prev;
        index_.erase(node->handle);
        --count_;
        delete node;
    }

    virtual void RemoveAll() { freeNodes(); }

    virtual T* FindObject(int index) {
        Node* node = nodeAt(index);
        return node != nullptr ? node->element : nullptr;
    }

    virtual T* FindObject(unsigned long handle) {
        if (handle == 0) return nullptr;
        Node* node = findItemByHandle(handle);
        return node != nullptr ? node->element : nullptr;
    }

    virtual unsigned long FindHandle(int index) {
        Node* node = nodeAt(index);
        return node != nullptr ? node->handle : 0;
    }

    virtual unsigned long FindHandle(T* element) {
        if (element == nullptr) return 0;
        for (Node* node = head_; node != nullptr; node = node->next)
            if (node->element == element) return node->handle;
        return 0;
    }

    virtual void RemoveAndDestroyAll() {
        for (Node* node = head_; node != nullptr; node = node->next) {
            if (node->element != nullptr) ListElementDeleter<T>::Destroy(node->element);
            node->element = nullptr;
        }
        freeNodes();
    }

private:
    struct Node {
        uint32_t handle;
        T* element;
        Node* prev;
        Node* next;
    };

    Node* nodeAt(int index) {
        if (count_ < 1 || index < 0 || index >= count_) return nullptr;
        Node* node = head_;
        for (int i = 0; i < index && node != nullptr; ++i) node = node->next;
        return node;
    }

    Node* findItemByHandle(unsigned long handle) {
        auto found = index_.find(static_cast<uint32_t>(handle));
        return found != index_.end() && found->first == handle ? static_cast<Node*>(found->second) : nullptr;
    }

    uint32_t findFirstFreeHandle() {
        if (count_ >= static_cast<int32_t>(highest_ - lowest_ + 1)) return 0;
        uint32_t start = (last_ >= highest_ || last_ < lowest_) ? lowest_ : last_ + 1;
        for (uint32_t candidate = start; candidate <= highest_ && candidate != 0; ++candidate) {
            if (head_ == nullptr || findItemByHandle(candidate) == nullptr) return take(candidate);
            if (candidate == highest_) break;
        }
        for (uint32_t candidate = lowest_; candidate < start; ++candidate) {
            if (candidate == 0) continue;
            if (findItemByHandle(candidate) == nullptr) return take(candidate);
        }
        return 0;
    }

    uint32_t take(uint32_t handle) {
        last_ = handle;
        return handle;
    }

    void freeNodes() {
        Node* node = head_;
        while (node != nullptr) {
            Node* next = node->next;
            delete node;
            node = next;
        }
        head_ = tail_ = nullptr;
        count_ = 0;
        index_.clear();
    }

    Node* head_ = nullptr;
    Node* tail_ = nullptr;
    // handle -> Node. Untyped: a container named after Node would be exported with the list.
    std::unordered_map<uint32_t, void*> index_;
    int32_t count_ = 0;
    uint32_t lowest_;
    uint32_t highest_;
    uint32_t last_ = 0;
};

}  // namespace Core
}  // namespace Vellumcrest

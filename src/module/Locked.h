// Holds an element fetched with its lock flag and unlocks it when it goes out of scope.
// Works for every class with Unlock(): Session, SessionGroup, ReaderCardPair, CoreObject.
#pragma once

namespace Vellumcrest {
namespace Pkcs11 {

template <typename T>
class Locked {
public:
    explicit Locked(T* element = nullptr) : element_(element) {}
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    Locked(Locked&& other) noexcept : element_(other.release()) {}
    ~Locked() { reset(); }

    T* get() const { return element_; }
    T* operator->() const { return element_; }
    explicit operator bool() const { return element_ != nullptr; }
    // Gives up the element without unlocking it.
    T* release() {
        T* element = element_;
        element_ = nullptr;
        return element;
    }
    // Unlocks the held element (if any) and holds the new one.
    void reset(T* element = nullptr) {
        if (element_ != nullptr) element_->Unlock();
        element_ = element;
    }

private:
    T* element_;
};

}  // namespace Pkcs11
}  // namespace Vellumcrest

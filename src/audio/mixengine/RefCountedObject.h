// Implements RefCountInterface for T with an atomic 32-bit count that starts at 0.
// Threads: the count may be changed from any thread; T's own rules apply to the rest.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace dr::audiomix {

template <typename T> class RefCountedObject : public T
{
public:
    template <typename... Args>
    explicit RefCountedObject(Args &&...args) : T(std::forward<Args>(args)...)
    {
    }
    RefCountedObject(const RefCountedObject &) = delete;
    RefCountedObject &operator=(const RefCountedObject &) = delete;

    void AddRef() const override { count_.fetch_add(1, std::memory_order_relaxed); }
    bool Release() const override
    {
        // acq_rel: every holder's writes happen before the destruction.
        if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
            return true;
        }
        return false;
    }
    // True when the caller holds the only reference.
    virtual bool HasOneRef() const { return count_.load(std::memory_order_acquire) == 1; }

protected:
    ~RefCountedObject() override = default;

private:
    mutable std::atomic<int32_t> count_{0};
};

} // namespace dr::audiomix

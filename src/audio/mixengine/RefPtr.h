// Owning reference to a reference-counted object (AddRef on taking, Release on letting
// go). One RefPtr is used by one thread at a time; distinct RefPtrs to the same object may
// live on different threads.
#pragma once

#include <utility>

namespace dr::audiomix {

template <typename T> class RefPtr
{
public:
    RefPtr() = default;
    // Takes a new reference to `object` (may be null).
    RefPtr(T *object) : object_(object)
    {
        if (object_)
            object_->AddRef();
    }
    RefPtr(const RefPtr &other) : RefPtr(other.object_) {}
    RefPtr(RefPtr &&other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    template <typename U> RefPtr(const RefPtr<U> &other) : RefPtr(other.get()) {}
    template <typename U> RefPtr(RefPtr<U> &&other) noexcept : object_(other.release()) {}
    ~RefPtr() { reset(); }

    RefPtr &operator=(RefPtr other) noexcept
    {
        std::swap(object_, other.object_);
        return *this;
    }

    void reset()
    {
        if (T *object = std::exchange(object_, nullptr))
            object->Release();
    }
    // Gives up the reference without releasing it.
    [[nodiscard]] T *release() { return std::exchange(object_, nullptr); }

    T *get() const { return object_; }
    T *operator->() const { return object_; }
    T &operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T *object_ = nullptr;
};

} // namespace dr::audiomix

// The reference-counted base of every stand-in framework object.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <memory>
#include <utility>

namespace standin {

// Framework objects are handed to C callers as plain pointers and freed by
// the last CFRelease, so their lifetime is an intrusive count rather than a
// smart pointer. The count and the one delete live here and nowhere else.
class Object {
public:
    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    void retain() { count_.fetch_add(1, std::memory_order_relaxed); }

    void release()
    {
        if (count_.fetch_sub(1, std::memory_order_acq_rel) != 1)
            return;
        delete this;
    }

    CFIndex retainCount() const { return count_.load(std::memory_order_relaxed); }

    // Makes an object holding one reference, owned by the caller.
    template <class T, class... Args>
    static T* create(Args&&... args)
    {
        return std::make_unique<T>(std::forward<Args>(args)...).release();
    }

protected:
    virtual ~Object() = default;

private:
    std::atomic<CFIndex> count_{1};
};

// Owns one reference to a framework object, for the stand-in's own
// bookkeeping (a run loop's sources, a callback's scope).
template <class T>
class Ref {
public:
    Ref() = default;
    // Takes a new reference.
    static Ref retaining(T* object)
    {
        if (object)
            object->retain();
        return Ref(object);
    }
    // Takes over a reference the caller holds.
    static Ref adopting(T* object) { return Ref(object); }

    Ref(const Ref& other) : Ref(retaining(other.object_).leak()) {}
    Ref(Ref&& other) noexcept : object_(other.leak()) {}
    Ref& operator=(Ref other) noexcept
    {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref()
    {
        if (object_)
            object_->release();
    }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit Ref(T* object) : object_(object) {}
    T* leak() { return std::exchange(object_, nullptr); }

    T* object_ = nullptr;
};

} // namespace standin

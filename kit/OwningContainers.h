#pragma once
// Vant::TEMPLATE::MAP and Vant::TEMPLATE::VECTOR: standard containers of object
// pointers that own the objects and carry their own lock. Destroying the container
// deletes every object while holding the lock.
#include <map>
#include <mutex>
#include <vector>

namespace Vant {
namespace TEMPLATE {

// A map of owned objects. Its lock is recursive: a holder may call code that takes
// it again on the same thread. The default ordering allows look-ups by any type
// comparable with the key (a std::string key is found by a string_view without a copy).
template <class Key, class T, class Compare = std::less<>>
class MAP : public std::map<Key, T *, Compare> {
public:
    using Base = std::map<Key, T *, Compare>;
    using Lock = std::recursive_mutex;

    MAP() = default;
    MAP(const MAP &) = delete;
    MAP &operator=(const MAP &) = delete;
    virtual ~MAP()
    {
        std::lock_guard<Lock> guard(m_lock);
        for (auto &entry : *this)
            delete entry.second;
        Base::clear();
    }

    Lock &Mutex() const { return m_lock; }

private:
    mutable Lock m_lock;
};

// A vector of owned objects in arrival order, with a plain lock. Appending and
// clearing take the lock; other access is the caller's to guard with Mutex().
template <class T>
class VECTOR : public std::vector<T *> {
public:
    using Base = std::vector<T *>;
    using Lock = std::mutex;

    VECTOR() = default;
    VECTOR(const VECTOR &) = delete;
    VECTOR &operator=(const VECTOR &) = delete;
    virtual ~VECTOR() { Clear(); }

    // Takes ownership; on failure (out of memory) the object is deleted and false returned.
    bool Append(T *item)
    {
        std::lock_guard<Lock> guard(m_lock);
        try {
            Base::push_back(item);
        } catch (...) {
            delete item;
            return false;
        }
        return true;
    }

    // Deletes every object.
    void Clear()
    {
        std::lock_guard<Lock> guard(m_lock);
        ClearLocked();
    }

    // The same with the lock already held by the caller.
    void ClearLocked()
    {
        for (T *item : *this)
            delete item;
        Base::clear();
    }

    // Deletes and removes the first count objects; the caller holds the lock.
    void EraseFrontLocked(std::size_t count)
    {
        if (count > Base::size())
            count = Base::size();
        for (std::size_t i = 0; i < count; ++i)
            delete (*this)[i];
        Base::erase(Base::begin(), Base::begin() + static_cast<std::ptrdiff_t>(count));
    }

    Lock &Mutex() const { return m_lock; }

private:
    mutable Lock m_lock;
};

} // namespace TEMPLATE
} // namespace Vant

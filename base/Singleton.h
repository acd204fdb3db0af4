#pragma once

#include "base/Errors.h"

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <typeinfo>
#include <utility>

namespace Patcher {

// Holder of one process-wide instance of T. The application creates and destroys
// the instances around main(); every thread that uses one runs inside that span,
// so instance() is a plain atomic read (it sits on hot paths such as interning
// every path of a control file).
template <class T>
class Singleton {
public:
    template <class... Args>
    static T& create(Args&&... args) {
        std::lock_guard<std::mutex> lock(mutex());
        if (slot().load())
            throw std::logic_error("Singleton object '" + demangle(typeid(T).name()) + "' is already created.");
        T* made = new T(std::forward<Args>(args)...);
        slot().store(made);
        return *made;
    }

    static T& instance() {
        T* current = slot().load(std::memory_order_acquire);
        if (!current)
            throw std::logic_error("Singleton object '" + demangle(typeid(T).name()) + "' does not created yet.");
        return *current;
    }

    static bool exists() { return slot().load(std::memory_order_acquire) != nullptr; }

    static void destroy() {
        T* old = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex());
            old = slot().exchange(nullptr);
        }
        delete old; // outside the lock: a destructor may join threads that use exists()
    }

private:
    static std::atomic<T*>& slot() {
        static std::atomic<T*> instance{nullptr};
        return instance;
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
};

} // namespace Patcher

#pragma once

#include "app/Errors.h"

#include <mutex>
#include <stdexcept>
#include <typeinfo>
#include <utility>

namespace Patcher {

// Holder of one process-wide instance of T. The application creates and destroys
// the instances around main(); every thread that uses one runs inside that span.
template <class T>
class Singleton {
public:
    template <class... Args>
    static T& create(Args&&... args) {
        std::lock_guard<std::mutex> lock(mutex());
        if (slot())
            throw std::logic_error("Singleton object '" + demangle(typeid(T).name()) + "' is already created.");
        slot() = new T(std::forward<Args>(args)...);
        return *slot();
    }

    static T& instance() {
        std::lock_guard<std::mutex> lock(mutex());
        if (!slot())
            throw std::logic_error("Singleton object '" + demangle(typeid(T).name()) + "' does not created yet.");
        return *slot();
    }

    static bool exists() {
        std::lock_guard<std::mutex> lock(mutex());
        return slot() != nullptr;
    }

    static void destroy() {
        T* old = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex());
            std::swap(old, slot());
        }
        delete old; // outside the lock: a destructor may join threads that call instance()
    }

private:
    static T*& slot() {
        static T* instance = nullptr;
        return instance;
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
};

} // namespace Patcher

// The lock of a vorlenta._native object, which knows the thread holding it.
#pragma once

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace vorlenta {

// The holder takes the interpreter back while it holds the lock (to make Python objects, to run
// signal handlers between reads), and a signal handler or a __del__ that runs then may call the
// same object again on the same thread: waiting would wait for itself, so that call raises
// instead (refuse_reentry).
class ObjectLock {
public:
    void lock() {
        mutex_.lock();
        holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    bool try_lock() {
        if (!mutex_.try_lock()) return false;
        holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        return true;
    }
    void unlock() {
        holder_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
    }
    // Only this thread ever stores its own id, so a relaxed load cannot see it by mistake.
    bool held_here() const {
        return holder_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> holder_{};
};

// `what` names the object for the error.
inline void refuse_reentry(const ObjectLock& m, const char* what) {
    if (m.held_here())
        throw std::runtime_error(
            std::string(what) + " is busy: a call on it is running on this thread (it was "
            "called again from a signal handler or a __del__ run meanwhile), and waiting for "
            "that call would wait for itself");
}

}  // namespace vorlenta

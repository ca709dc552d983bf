// Kernel objects the updater uses: a counting semaphore that no thread owns,
// a manual-reset event, and threads (and child processes) that can be waited for.
#include "platform/win32.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/kernel_object.h"

namespace {

// A reference held for the length of one call on the object.
struct Pinned {
    explicit Pinned(KernelObject* pinned) : object(pinned) { object->references.fetch_add(1); }
    ~Pinned() { release_reference(object); }
    Pinned(const Pinned&) = delete;
    Pinned& operator=(const Pinned&) = delete;
    KernelObject* object;
};

// True when the object may be taken now; consumes a semaphore count.
bool try_acquire(KernelObject* object) {
    if (object->kind == ObjectKind::semaphore) {
        if (object->count <= 0) return false;
        --object->count;
        return true;
    }
    return object->signalled;  // event, thread, process
}

}  // namespace

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initial, LONG maximum, LPCSTR) {
    if (maximum <= 0 || initial < 0 || initial > maximum) return nullptr;
    auto* object = new KernelObject(ObjectKind::semaphore);
    object->count = initial;
    object->maximum = maximum;
    return object;
}

BOOL ReleaseSemaphore(HANDLE handle, LONG count, LPLONG previous) {
    auto* object = static_cast<KernelObject*>(handle);
    if (object == nullptr || object->kind != ObjectKind::semaphore || count <= 0) return FALSE;
    // The waiter it frees may close the handle at once: keep the object alive
    // until the notification is done.
    Pinned pin(object);
    {
        std::lock_guard lock(object->mutex);
        if (object->count > object->maximum - count) return FALSE;
        if (previous != nullptr) *previous = object->count;
        object->count += count;
    }
    object->changed.notify_all();
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial, LPCSTR) {
    // The updater only ever asks for manual-reset events.
    if (!manual_reset) return nullptr;
    auto* object = new KernelObject(ObjectKind::event);
    object->signalled = initial != FALSE;
    return object;
}

BOOL SetEvent(HANDLE handle) {
    auto* object = static_cast<KernelObject*>(handle);
    if (object == nullptr || object->kind != ObjectKind::event) return FALSE;
    Pinned pin(object);  // the released waiter may close the handle at once
    {
        std::lock_guard lock(object->mutex);
        object->signalled = true;
    }
    object->changed.notify_all();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto* object = static_cast<KernelObject*>(handle);
    if (object == nullptr) return WAIT_FAILED;
    std::unique_lock lock(object->mutex);
    if (milliseconds == INFINITE) {
        object->changed.wait(lock, [&] { return try_acquire(object); });
        return WAIT_OBJECT_0;
    }
    bool taken = object->changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                          [&] { return try_acquire(object); });
    return taken ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE handle) {
    if (handle == nullptr) return FALSE;
    release_reference(static_cast<KernelObject*>(handle));
    return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD, LPDWORD thread_id) {
    if (start == nullptr) return nullptr;
    auto* object = new KernelObject(ObjectKind::thread);
    object->references.store(2);  // the caller's handle and the running thread
    try {
        std::thread([object, start, parameter] {
            start(parameter);
            {
                std::lock_guard lock(object->mutex);
                object->signalled = true;
            }
            object->changed.notify_all();
            release_reference(object);
        }).detach();
    } catch (...) {
        delete object;
        return nullptr;
    }
    if (thread_id != nullptr) *thread_id = 0;
    return object;
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

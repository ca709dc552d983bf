// Kernel objects the updater uses: a counting semaphore that no thread owns,
// a manual-reset event, a named mutex that other processes see, and threads
// (and child processes) that can be waited for.
#include "platform/win32.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>

#include "platform/kernel_object.h"
#include "platform/wide_path.h"

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

// Polled: a lock file gives no wakeup when another process lets it go.
constexpr DWORD mutex_poll_ms = 10;

DWORD wait_for_mutex(KernelObject* object, DWORD milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (flock(object->fd, LOCK_EX | LOCK_NB) == 0) return WAIT_OBJECT_0;
        if (errno != EWOULDBLOCK && errno != EINTR) return WAIT_FAILED;
        auto now = std::chrono::steady_clock::now();
        if (milliseconds != INFINITE && now >= deadline) return WAIT_TIMEOUT;
        auto step = std::chrono::milliseconds(mutex_poll_ms);
        if (milliseconds != INFINITE && deadline - now < step)
            step = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        std::this_thread::sleep_for(step);
    }
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

// The lock file is "Updater/<name>.lock" for the name without its namespace
// ("Global\\" or "Local\\"), relative to the current directory: the update
// pass, its one user, has made the install root current. It stays in place,
// empty: removing it would let a later process lock a new file while an
// earlier one still holds the old. A process that may not write it (another
// user's tree) still locks it, read-only. Never inherited by a child.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCWSTR name) {
    if (name == nullptr || initial_owner) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);  // the updater only asks for named, unowned
        return nullptr;
    }
    std::string bare = wide_path_utf8(name);
    bare = bare.substr(bare.rfind('\\') + 1);
    std::string path = "Updater/" + bare + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // Denied only when the file is there: another's lock, as Windows
        // denies another account's mutex. A folder that cannot hold one has none.
        SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    auto* object = new KernelObject(ObjectKind::mutex);
    object->fd = fd;  // closed, and so unlocked, with the last reference
    return object;
}

BOOL ReleaseMutex(HANDLE handle) {
    auto* object = static_cast<KernelObject*>(handle);
    if (object == nullptr || object->kind != ObjectKind::mutex) return FALSE;
    return flock(object->fd, LOCK_UN) == 0 ? TRUE : FALSE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto* object = static_cast<KernelObject*>(handle);
    if (object == nullptr) return WAIT_FAILED;
    if (object->kind == ObjectKind::mutex) return wait_for_mutex(object, milliseconds);
    std::unique_lock lock(object->mutex);
    if (milliseconds == INFINITE) {
        object->changed.wait(lock, [&] { return try_acquire(object); });
    } else if (!object->changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                         [&] { return try_acquire(object); })) {
        return WAIT_TIMEOUT;
    }
    // A signalled thread has returned from its routine and takes the lock no
    // more; what is left of its end is brief.
    if (object->kind == ObjectKind::thread && object->runner.joinable()) object->runner.join();
    return WAIT_OBJECT_0;
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
        object->runner = std::thread([object, start, parameter] {
            start(parameter);
            {
                std::lock_guard lock(object->mutex);
                object->signalled = true;
            }
            object->changed.notify_all();
            release_reference(object);
        });
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

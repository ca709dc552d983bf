// What a HANDLE of the stand-ins points to: one record for every kind of
// kernel object, so that WaitForSingleObject and CloseHandle take them all.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <sys/types.h>
#include <unistd.h>

#include "platform/win32.h"

enum class ObjectKind { semaphore, event, thread, process, pipe, mutex };

struct KernelObject {
    explicit KernelObject(ObjectKind object_kind) : kind(object_kind) {}
    ~KernelObject() {
        if (fd >= 0) close(fd);
        // A thread whose last handle goes before anyone saw it end runs on alone.
        if (runner.joinable()) runner.detach();
    }
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;
    ObjectKind kind;
    std::mutex mutex;
    std::condition_variable changed;
    LONG count = 0;    // semaphore: current count
    LONG maximum = 0;  // semaphore: maximum count
    bool signalled = false;  // event, thread, and a process that has ended
    int fd = -1;       // pipe: its end; mutex: its lock file
    pid_t pid = 0;     // process: until it has been reaped
    DWORD exit_code = 0;       // process: its exit status, once it has ended
    bool terminated = false;   // process: ended by TerminateProcess
    DWORD terminate_code = 0;  // the exit code TerminateProcess gave it
    // thread: joined by the first wait that sees it signalled, so that a
    // waiter goes on only once the thread has ended as a whole, its
    // thread-local clean-up included, as a Windows thread handle signals.
    std::thread runner;
    std::atomic<int> references{1};
};

inline void release_reference(KernelObject* object) {
    if (object->references.fetch_sub(1) == 1) delete object;
}

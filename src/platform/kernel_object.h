// What a HANDLE of the stand-ins points to: one record for every kind of
// kernel object, so that WaitForSingleObject and CloseHandle take them all.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sys/types.h>
#include <unistd.h>

#include "platform/win32.h"

enum class ObjectKind { semaphore, event, thread, process, pipe, mutex };

struct KernelObject {
    explicit KernelObject(ObjectKind object_kind) : kind(object_kind) {}
    ~KernelObject() {
        if (fd >= 0) close(fd);
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
    std::atomic<int> references{1};
};

inline void release_reference(KernelObject* object) {
    if (object->references.fetch_sub(1) == 1) delete object;
}

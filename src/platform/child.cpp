// Child processes and anonymous pipes: enough of Windows' calls to start a
// program with its output on a pipe, read that output as it comes, and wait
// for the program with a bound or end it.
#include "platform/win32.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/kernel_object.h"
#include "platform/wide_path.h"

extern char** environ;

namespace {

constexpr DWORD error_invalid_handle = 6;
constexpr DWORD error_broken_pipe = 109;
constexpr DWORD error_file_not_found = 2;

KernelObject* pipe_of(HANDLE handle) {
    auto* object = static_cast<KernelObject*>(handle);
    return object != nullptr && object->kind == ObjectKind::pipe ? object : nullptr;
}

// The environment a child gets: this process's, less NOTIFY_SOCKET. That
// names the supervisor's connection to this service, which Windows never
// hands to a child: a child started by a service is not that service.
std::vector<char*> child_environment() {
    std::vector<char*> names;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "NOTIFY_SOCKET=", 14) != 0) names.push_back(*entry);
    }
    names.push_back(nullptr);
    return names;
}

// Reaps the child when it ends and marks its handle signalled; holds a
// reference of its own until then. The pid is given up under the lock, so
// TerminateProcess never signals a process that has been reaped.
void watch_child(KernelObject* object) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(object->pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    {
        std::lock_guard lock(object->mutex);
        waitpid(object->pid, nullptr, 0);
        object->pid = 0;
        object->signalled = true;
    }
    object->changed.notify_all();
    release_reference(object);
}

}  // namespace

BOOL CreatePipe(HANDLE* read_end, HANDLE* write_end, LPSECURITY_ATTRIBUTES, DWORD) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return FALSE;
    auto* reader = new KernelObject(ObjectKind::pipe);
    reader->fd = fds[0];
    auto* writer = new KernelObject(ObjectKind::pipe);
    writer->fd = fds[1];
    *read_end = reader;
    *write_end = writer;
    return TRUE;
}

// Every end is closed in a child unless it is named as one of the child's
// standard handles, so inheritance needs no flag here.
BOOL SetHandleInformation(HANDLE object, DWORD, DWORD) { return object != nullptr ? TRUE : FALSE; }

BOOL PeekNamedPipe(HANDLE handle, LPVOID, DWORD, LPDWORD, LPDWORD available, LPDWORD) {
    KernelObject* pipe = pipe_of(handle);
    int waiting = 0;
    if (pipe == nullptr || ioctl(pipe->fd, FIONREAD, &waiting) != 0) {
        SetLastError(error_invalid_handle);
        return FALSE;
    }
    if (available != nullptr) *available = static_cast<DWORD>(waiting);
    return TRUE;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD read_count, LPVOID) {
    KernelObject* pipe = pipe_of(handle);
    if (pipe == nullptr) {
        SetLastError(error_invalid_handle);
        return FALSE;
    }
    ssize_t got;
    do {
        got = read(pipe->fd, buffer, size);
    } while (got < 0 && errno == EINTR);
    if (read_count != nullptr) *read_count = got > 0 ? static_cast<DWORD>(got) : 0;
    if (got <= 0) {
        SetLastError(error_broken_pipe);
        return FALSE;
    }
    return TRUE;
}

BOOL CreateProcessW(const wchar_t* application, wchar_t*, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, const wchar_t*,
                    STARTUPINFOW* startup, PROCESS_INFORMATION* information) {
    // The updater starts a program by its path with no option word: the
    // command line names only that path, which is all the program is given.
    if (application == nullptr) {
        SetLastError(error_file_not_found);
        return FALSE;
    }
    std::string path = wide_path_utf8(application);
    char* argv[] = {path.data(), nullptr};
    std::vector<char*> environment = child_environment();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    bool redirected = startup != nullptr && (startup->dwFlags & STARTF_USESTDHANDLES) != 0;
    HANDLE standard[3] = {nullptr, nullptr, nullptr};
    if (redirected) {
        standard[0] = startup->hStdInput;
        standard[1] = startup->hStdOutput;
        standard[2] = startup->hStdError;
    }
    for (int fd = 0; fd < 3 && redirected; ++fd) {
        KernelObject* pipe = pipe_of(standard[fd]);
        if (pipe != nullptr) {
            posix_spawn_file_actions_adddup2(&actions, pipe->fd, fd);
        } else {
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
        }
    }
    // A child starts as a new process does on Windows: no signal blocked or
    // ignored, whatever the service's dispatcher did to its own.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv,
                              environment.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        errno = spawned;
        SetLastError(error_file_not_found);
        return FALSE;
    }
    auto* object = new KernelObject(ObjectKind::process);
    object->pid = pid;
    object->references.store(2);  // the caller's handle and the watcher
    try {
        std::thread(watch_child, object).detach();
    } catch (...) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        delete object;
        SetLastError(error_invalid_handle);
        return FALSE;
    }
    information->hProcess = object;
    information->hThread = nullptr;
    information->dwProcessId = static_cast<DWORD>(pid);
    information->dwThreadId = 0;
    return TRUE;
}

BOOL TerminateProcess(HANDLE handle, unsigned) {
    auto* object = static_cast<KernelObject*>(handle);
    if (object == nullptr || object->kind != ObjectKind::process) return FALSE;
    std::lock_guard lock(object->mutex);
    if (object->pid != 0) kill(object->pid, SIGKILL);
    return TRUE;
}

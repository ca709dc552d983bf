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

// Reaps the child when it ends, keeps its exit status and marks its handle
// signalled; holds a reference of its own until then. The pid is given up
// under the lock, so TerminateProcess never signals a process that has been
// reaped. A program ended by TerminateProcess has the code it was given, as
// on Windows; one ended by another signal 128 and the signal's number.
void watch_child(KernelObject* object) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(object->pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    {
        std::lock_guard lock(object->mutex);
        int status = 0;
        waitpid(object->pid, &status, 0);
        const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        object->exit_code = object->terminated && killed ? object->terminate_code
                            : WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status))
                                                : 128u + static_cast<DWORD>(WTERMSIG(status));
        object->pid = 0;
        object->signalled = true;
    }
    object->changed.notify_all();
    release_reference(object);
}

// The words of a command line after the program's name, as a program's
// runtime takes them apart: separated by blanks, a word in double quotes
// may hold blanks. The updater's command lines hold no escaped quotes.
std::vector<std::string> command_words(const wchar_t* command_line) {
    std::vector<std::string> words;
    if (command_line == nullptr) return words;
    std::wstring line = command_line;
    bool first = true;
    for (std::size_t at = 0;;) {
        while (at < line.size() && (line[at] == L' ' || line[at] == L'\t')) ++at;
        if (at == line.size()) break;
        std::wstring word;
        bool quoted = false;
        for (; at < line.size() && (quoted || (line[at] != L' ' && line[at] != L'\t')); ++at) {
            if (line[at] == L'"') {
                quoted = !quoted;
            } else {
                word += line[at];
            }
        }
        if (!first) words.push_back(wide_path_utf8(word.c_str()));
        first = false;
    }
    return words;
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

BOOL CreateProcessW(const wchar_t* application, wchar_t* command_line, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, const wchar_t*,
                    STARTUPINFOW* startup, PROCESS_INFORMATION* information) {
    // The updater starts a program by its path: the program is given that
    // path as its name and the command line's words after the name.
    if (application == nullptr) {
        SetLastError(error_file_not_found);
        return FALSE;
    }
    std::string path = wide_path_utf8(application);
    std::vector<std::string> words = command_words(command_line);
    std::vector<char*> argv{path.data()};
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
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
    int spawned = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(),
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

BOOL TerminateProcess(HANDLE handle, unsigned exit_code) {
    auto* object = static_cast<KernelObject*>(handle);
    if (object == nullptr || object->kind != ObjectKind::process) return FALSE;
    std::lock_guard lock(object->mutex);
    if (object->pid != 0 && !object->terminated) {
        kill(object->pid, SIGKILL);
        object->terminated = true;
        object->terminate_code = exit_code;
    }
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE handle, LPDWORD exit_code) {
    auto* object = static_cast<KernelObject*>(handle);
    if (object == nullptr || object->kind != ObjectKind::process || exit_code == nullptr) {
        SetLastError(error_invalid_handle);
        return FALSE;
    }
    std::lock_guard lock(object->mutex);
    *exit_code = object->signalled ? object->exit_code : STILL_ACTIVE;
    return TRUE;
}

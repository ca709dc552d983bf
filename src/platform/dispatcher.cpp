// The service dispatcher, spoken to a Linux supervisor. A supervisor that
// starts the program as a service (a systemd unit of Type=notify, or anything
// that speaks its notification protocol) names a datagram socket in
// NOTIFY_SOCKET; without one the process was not started as a service and the
// dispatcher fails as Windows' does from a console.
//
// With one, the service entry runs on a thread of its own, the calling thread
// delivers controls to the registered handler (SIGTERM stop, SIGINT shutdown,
// SIGUSR1 interrogate, SIGHUP the first user-defined control, 128, which a
// unit's `systemctl reload` sends), and every status report becomes one datagram.
#include "platform/win32.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr DWORD error_invalid_handle = 6;
constexpr DWORD error_invalid_parameter = 87;
constexpr DWORD error_service_does_not_exist = 1060;
constexpr DWORD error_service_already_running = 1056;
constexpr DWORD first_user_control = 128;
constexpr DWORD last_user_control = 255;

// What the status reports and the service thread have told the dispatcher.
// Guarded by `mutex`; a report is recorded and sent under it, so datagrams
// leave in the order the reports were made.
struct Dispatcher {
    std::mutex mutex;
    bool active = false;
    const char* service_name = nullptr;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID handler_context = nullptr;
    int notify_fd = -1;
    int wake_fd = -1;
    DWORD state = 0;  // nothing reported yet
    DWORD controls = 0;
    // Once stopped has been reported the service is over, whatever a report
    // made later on another thread says.
    bool stopped = false;
    bool service_returned = false;
};

Dispatcher dispatcher;
int status_token;  // its address is the one status handle

void wake_dispatcher(int wake_fd) {
    std::uint64_t one = 1;
    ssize_t ignored = write(wake_fd, &one, sizeof one);
    (void)ignored;
}

// Connects to the supervisor's socket: a path, or '@' for the abstract
// namespace. Fails unless it names a datagram socket.
int connect_notify_socket(const char* name) {
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t length = std::strlen(name);
    if (length >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';
    auto address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), address_length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

DWORD control_for(std::uint32_t signal_number) {
    if (signal_number == SIGTERM) return SERVICE_CONTROL_STOP;
    if (signal_number == SIGINT) return SERVICE_CONTROL_SHUTDOWN;
    if (signal_number == SIGHUP) return first_user_control;
    return SERVICE_CONTROL_INTERROGATE;
}

enum class Verdict { deliver, keep, drop };

// As the service manager does: nothing while the service is starting (kept
// here until it runs, so that a supervisor's early stop is not lost), nothing
// it does not accept, interrogate always, a user-defined control while it runs
// (there is no flag to accept one).
Verdict judge(DWORD control, DWORD state, DWORD controls) {
    if (state == 0 || state == SERVICE_START_PENDING) return Verdict::keep;
    if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) return Verdict::drop;
    if (control == SERVICE_CONTROL_INTERROGATE) return Verdict::deliver;
    if (control == SERVICE_CONTROL_STOP && (controls & SERVICE_ACCEPT_STOP) != 0)
        return Verdict::deliver;
    if (control == SERVICE_CONTROL_SHUTDOWN && (controls & SERVICE_ACCEPT_SHUTDOWN) != 0)
        return Verdict::deliver;
    if (control >= first_user_control && control <= last_user_control &&
        state == SERVICE_RUNNING)
        return Verdict::deliver;
    return Verdict::drop;
}

const char* state_name(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return "stopped";
        case SERVICE_START_PENDING: return "start pending";
        case SERVICE_STOP_PENDING: return "stop pending";
        case SERVICE_RUNNING: return "running";
        default: return "unknown state";
    }
}

bool pending_state(DWORD state) {
    // Start, stop, continue and pause pending.
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == 5 ||
           state == 6;
}

// Delivers controls on the calling thread until the service has reported
// stopped (and the handler that reported it has returned).
void deliver_controls(int signal_fd, int wake_fd) {
    std::deque<DWORD> pending;
    for (;;) {
        pollfd fds[2] = {{signal_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        // Returning early would end the process in the middle of a pass: on a
        // failed wait, just look again.
        if (poll(fds, 2, -1) < 0) fds[0].revents = fds[1].revents = 0;
        if ((fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info;
            while (read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                pending.push_back(control_for(info.ssi_signo));
        }
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint64_t count;
            ssize_t ignored = read(wake_fd, &count, sizeof count);
            (void)ignored;
        }
        for (;;) {
            LPHANDLER_FUNCTION_EX handler = nullptr;
            LPVOID context = nullptr;
            {
                std::lock_guard lock(dispatcher.mutex);
                if (dispatcher.stopped) return;
                if (dispatcher.service_returned && dispatcher.handler == nullptr) return;
                if (pending.empty()) break;
                Verdict verdict = judge(pending.front(), dispatcher.state, dispatcher.controls);
                if (verdict == Verdict::keep) break;
                if (verdict == Verdict::deliver) {
                    handler = dispatcher.handler;
                    context = dispatcher.handler_context;
                }
            }
            DWORD control = pending.front();
            pending.pop_front();
            // Its answer goes to whoever sent the control; a signal has no one.
            if (handler != nullptr) handler(control, 0, nullptr, context);
        }
    }
}

}  // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    if (table == nullptr || table[0].lpServiceName == nullptr ||
        table[0].lpServiceProc == nullptr) {
        SetLastError(error_invalid_parameter);
        return FALSE;
    }
    int notify_fd = connect_notify_socket(std::getenv("NOTIFY_SOCKET"));
    if (notify_fd < 0) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }

    // The controls' signals are blocked before any thread of the service
    // exists, so every thread inherits the mask and none gets them
    // asynchronously; they are read from the signalfd alone. They stay blocked
    // after the dispatcher returns: a late stop must not kill a process that
    // is ending in order.
    sigset_t controls;
    sigemptyset(&controls);
    sigaddset(&controls, SIGTERM);
    sigaddset(&controls, SIGINT);
    sigaddset(&controls, SIGUSR1);
    sigaddset(&controls, SIGHUP);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &controls, &previous);
    int signal_fd = signalfd(-1, &controls, SFD_NONBLOCK | SFD_CLOEXEC);
    int wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    auto give_up = [&](DWORD error) {
        if (signal_fd >= 0) close(signal_fd);
        if (wake_fd >= 0) close(wake_fd);
        close(notify_fd);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        SetLastError(error);
        return FALSE;
    };
    if (signal_fd < 0 || wake_fd < 0) return give_up(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);

    {
        std::lock_guard lock(dispatcher.mutex);
        if (dispatcher.active) return give_up(error_service_already_running);
        dispatcher.active = true;
        dispatcher.service_name = table[0].lpServiceName;
        dispatcher.notify_fd = notify_fd;
        dispatcher.wake_fd = wake_fd;
    }

    // The service entry gets its name as its one argument, as on Windows.
    LPSERVICE_MAIN_FUNCTIONA service_entry = table[0].lpServiceProc;
    LPSTR service_argv = table[0].lpServiceName;
    try {
        std::thread([service_entry, service_argv, wake_fd]() mutable {
            LPSTR argv[2] = {service_argv, nullptr};
            service_entry(1, argv);
            {
                std::lock_guard lock(dispatcher.mutex);
                dispatcher.service_returned = true;
            }
            wake_dispatcher(wake_fd);
        }).detach();
    } catch (...) {
        {
            std::lock_guard lock(dispatcher.mutex);
            dispatcher.active = false;
            dispatcher.notify_fd = -1;
        }
        return give_up(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    }

    deliver_controls(signal_fd, wake_fd);
    // The sockets stay open: the service thread may still report while the
    // process ends.
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR name, LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID context) {
    std::lock_guard lock(dispatcher.mutex);
    if (!dispatcher.active) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return nullptr;
    }
    if (handler == nullptr) {
        SetLastError(error_invalid_parameter);
        return nullptr;
    }
    if (name == nullptr || std::strcmp(name, dispatcher.service_name) != 0) {
        SetLastError(error_service_does_not_exist);
        return nullptr;
    }
    dispatcher.handler = handler;
    dispatcher.handler_context = context;
    return &status_token;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    if (handle != &status_token || status == nullptr) {
        SetLastError(error_invalid_handle);
        return FALSE;
    }
    std::string message;
    if (status->dwCurrentState == SERVICE_RUNNING) message += "READY=1\n";
    if (status->dwCurrentState == SERVICE_STOP_PENDING) message += "STOPPING=1\n";
    if (pending_state(status->dwCurrentState) && status->dwWaitHint != 0)
        message += "EXTEND_TIMEOUT_USEC=" +
                   std::to_string(static_cast<std::uint64_t>(status->dwWaitHint) * 1000) + "\n";
    message += std::string("STATUS=") + state_name(status->dwCurrentState) + "\n";
    char numbers[160];
    std::snprintf(numbers, sizeof numbers,
                  "X_STATE=%u\nX_CHECKPOINT=%u\nX_WAIT_HINT=%u\nX_CONTROLS=%u\nX_EXIT=%u\n",
                  static_cast<unsigned>(status->dwCurrentState),
                  static_cast<unsigned>(status->dwCheckPoint),
                  static_cast<unsigned>(status->dwWaitHint),
                  static_cast<unsigned>(status->dwControlsAccepted),
                  static_cast<unsigned>(status->dwWin32ExitCode));
    message += numbers;

    std::lock_guard lock(dispatcher.mutex);
    // Recorded even when the supervisor does not hear it: a stopped service
    // must still let the dispatcher return.
    dispatcher.state = status->dwCurrentState;
    dispatcher.controls = status->dwControlsAccepted;
    if (status->dwCurrentState == SERVICE_STOPPED) dispatcher.stopped = true;
    ssize_t sent = send(dispatcher.notify_fd, message.data(), message.size(), MSG_NOSIGNAL);
    wake_dispatcher(dispatcher.wake_fd);
    if (sent != static_cast<ssize_t>(message.size())) {
        SetLastError(error_invalid_handle);
        return FALSE;
    }
    return TRUE;
}

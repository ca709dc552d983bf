// The Win32 and C-runtime surface the updater is written against.
// On Windows it is the system's own; elsewhere the stand-ins of this folder
// provide the same names with the behaviour the updater relies on.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>

// Durable writes, where Windows needs no call of its own: each installed file
// is flushed (_commit) as it is written, and NTFS logs renames in order, so
// the version record's write-through rename brings every earlier rename of
// the tree to the disk with it. A replaced file's rights come from its folder.
// A file is only flushed, never started early: Windows writes it out itself.
inline int file_write_out(int) { return 0; }
inline int file_flush_deferred(int fd) { return _commit(fd); }
inline int file_flush_volume(const char*) { return 0; }
inline int file_keep_attributes(int, const wchar_t*) { return 0; }
// A file read while another handle writes it, which must not stop that
// writer from removing or renaming it: the C runtime's open shares neither.
inline std::FILE* file_open_shared(const char* path) {
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "rb");
    if (file == nullptr) _close(fd);
    return file;
}
// The machine policy's values are the registry's own: no file serves them,
// and a key that cannot be read says no more than its error code.
inline const char* registry_policy_file() { return nullptr; }
inline const char* registry_failure_detail() { return ""; }
// One file answers to every case of its name, and to it with dots and blanks
// at its end.
constexpr bool file_names_fold_case = true;
#else
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/select.h>

using BOOL = int;
using BYTE = unsigned char;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using LSTATUS = LONG;
using LPLONG = LONG*;
using LPDWORD = DWORD*;
using LPVOID = void*;
using LPBYTE = BYTE*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPCWSTR = const wchar_t*;
using HANDLE = void*;
using HMODULE = void*;
using HKEY = void*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using PSID = void*;
using SC_HANDLE = void*;
using SERVICE_STATUS_HANDLE = void*;
using SIZE_T = std::size_t;
using SOCKET = int;

#define WINAPI
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0u;
constexpr DWORD WAIT_ABANDONED = 0x80u;
constexpr DWORD WAIT_TIMEOUT = 0x102u;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

constexpr DWORD NO_ERROR = 0;
constexpr LONG ERROR_SUCCESS = 0;
constexpr DWORD ERROR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;

// Threads and synchronisation.
using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID);
HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum, LPCSTR name);
BOOL ReleaseSemaphore(HANDLE semaphore, LONG count, LPLONG previous);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial, LPCSTR name);
BOOL SetEvent(HANDLE event);
// A named mutex that other processes see: an exclusive flock on a lock file
// named after it in the Updater folder, found relative to the current
// directory (the update pass makes the install root current before it asks).
// Waits on it are bounded, polled; the lock goes with the process.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
BOOL CloseHandle(HANDLE object);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD thread_id);
void Sleep(DWORD milliseconds);
DWORD GetModuleFileNameA(HMODULE module, LPSTR path, DWORD size);
DWORD GetLastError();
void SetLastError(DWORD code);

// C runtime names with their Windows spelling.
int _chdir(const char* path);
int _mkdir(const char* path);
int _unlink(const char* path);
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, std::size_t count);
int _fileno(std::FILE* file);
int _commit(int fd);  // the file's data and size on disk (fsync)

// Text conversion: UTF-8 to the wide characters of the file calls below, and back.
constexpr unsigned CP_ACP = 0;  // the system's code page: UTF-8 here
constexpr unsigned CP_UTF8 = 65001;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x8;
int MultiByteToWideChar(unsigned code_page, DWORD flags, LPCSTR text, int length, wchar_t* wide,
                        int wide_length);
// Wide texts in code-point order, in any case when ignore_case is set; a
// length of -1 runs to the terminator.
constexpr int CSTR_LESS_THAN = 1;
constexpr int CSTR_EQUAL = 2;
constexpr int CSTR_GREATER_THAN = 3;
int CompareStringOrdinal(const wchar_t* first, int first_length, const wchar_t* second,
                         int second_length, BOOL ignore_case);
// File names are the bytes they are written with: README and readme are two files.
constexpr bool file_names_fold_case = false;
int WideCharToMultiByte(unsigned code_page, DWORD flags, LPCWSTR wide, int wide_length, LPSTR text,
                        int length, LPCSTR default_char, BOOL* used_default_char);

// Files.
std::FILE* _wfopen(const wchar_t* path, const wchar_t* mode);
int _wmkdir(const wchar_t* path);
int _wrmdir(const wchar_t* path);  // an empty folder only
int _wunlink(const wchar_t* path);
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_DELAY_UNTIL_REBOOT = 0x4;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;
BOOL MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags);
BOOL MoveFileExW(const wchar_t* existing, const wchar_t* replacement, DWORD flags);

// Child processes and the anonymous pipes that carry their output
// (src/platform/child.cpp).
struct STARTUPINFOW {
    DWORD cb;
    DWORD dwFlags;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};
struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
constexpr DWORD STARTF_USESTDHANDLES = 0x100;
constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
constexpr DWORD HANDLE_FLAG_INHERIT = 0x1;
BOOL CreatePipe(HANDLE* read_end, HANDLE* write_end, LPSECURITY_ATTRIBUTES attributes, DWORD size);
BOOL SetHandleInformation(HANDLE object, DWORD mask, DWORD flags);
BOOL PeekNamedPipe(HANDLE pipe, LPVOID buffer, DWORD size, LPDWORD read, LPDWORD available,
                   LPDWORD left);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPVOID overlapped);
BOOL CreateProcessW(const wchar_t* application, wchar_t* command_line,
                    LPSECURITY_ATTRIBUTES process_attributes,
                    LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles, DWORD flags,
                    LPVOID environment, const wchar_t* directory, STARTUPINFOW* startup,
                    PROCESS_INFORMATION* information);
BOOL TerminateProcess(HANDLE process, unsigned exit_code);
// A process's exit code once it has ended, STILL_ACTIVE before.
constexpr DWORD STILL_ACTIVE = 259;
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code);

// Volumes and file attributes (src/platform/files.cpp). The attributes are
// the name's own: a link is not followed.
struct ULARGE_INTEGER {
    std::uint64_t QuadPart;
};
using PULARGE_INTEGER = ULARGE_INTEGER*;
BOOL GetDiskFreeSpaceExW(const wchar_t* directory, PULARGE_INTEGER free_to_caller,
                         PULARGE_INTEGER total, PULARGE_INTEGER total_free);
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;  // never here: a file's mode does not stop a rename
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x40;  // here: anything but a file, a folder or a link
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
struct WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
};
enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard };
BOOL GetFileAttributesExW(const wchar_t* path, GET_FILEEX_INFO_LEVELS level, LPVOID information);
// A path with every short (8.3) name in it written out in full; the length
// written without the terminator, the size needed when long is too small, or
// 0 when the path names nothing. This system has no short names.
DWORD GetLongPathNameW(LPCWSTR short_path, wchar_t* long_path, DWORD size);

// Starts writing what the open file holds out to the disk, so that a later
// flush of it waits less (src/platform/files.cpp).
int file_write_out(int fd);
// Durable writes of many files at once (src/platform/files.cpp). One flush
// of the file system costs about what a single fsync does, where one per
// file would cost a disk round trip each: a file given to
// file_flush_deferred is on disk once a later file_flush_volume (syncfs of
// the file system that holds path) has returned 0.
int file_flush_deferred(int fd);
int file_flush_volume(const char* path);
// Gives the open file the permission bits and, where permitted, the owner of
// the file at target, when there is one: a replaced executable stays one.
int file_keep_attributes(int fd, const wchar_t* target);
// A file read while another handle writes it: here any open lets the writer
// remove or rename it.
inline std::FILE* file_open_shared(const char* path) { return std::fopen(path, "rb"); }

// Service Control Manager.
struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;
using LPSERVICE_MAIN_FUNCTIONA = void(WINAPI*)(DWORD argc, LPSTR* argv);
using LPHANDLER_FUNCTION_EX = DWORD(WINAPI*)(DWORD control, DWORD event_type, LPVOID event_data,
                                           LPVOID context);
struct SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;
constexpr DWORD SERVICE_ACCEPT_PRESHUTDOWN = 0x100;
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_CONTROL_PRESHUTDOWN = 0xF;
constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;

// What the manager does when the service's process ends without having
// reported SERVICE_STOPPED.
enum SC_ACTION_TYPE { SC_ACTION_NONE = 0, SC_ACTION_RESTART = 1 };
struct SC_ACTION {
    SC_ACTION_TYPE Type;
    DWORD Delay;  // ms
};
struct SERVICE_FAILURE_ACTIONSA {
    DWORD dwResetPeriod;  // s without a failure before the count starts again
    LPSTR lpRebootMsg;
    LPSTR lpCommand;
    DWORD cActions;
    SC_ACTION* lpsaActions;  // the last one repeats for every later failure
};
constexpr DWORD SERVICE_CONFIG_FAILURE_ACTIONS = 2;
// The actions also follow a stop reported with an exit code other than 0.
struct SERVICE_FAILURE_ACTIONS_FLAG {
    BOOL fFailureActionsOnNonCrashFailures;
};
constexpr DWORD SERVICE_CONFIG_FAILURE_ACTIONS_FLAG = 4;
// How long the system waits at shutdown for a service that accepts preshutdown.
struct SERVICE_PRESHUTDOWN_INFO {
    DWORD dwPreshutdownTimeout;  // ms
};
constexpr DWORD SERVICE_CONFIG_PRESHUTDOWN_INFO = 7;

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access);
SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR display_name, DWORD access,
                         DWORD service_type, DWORD start_type, DWORD error_control, LPCSTR path,
                         LPCSTR load_order_group, LPDWORD tag, LPCSTR dependencies,
                         LPCSTR account, LPCSTR password);
BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD service_type, DWORD start_type,
                          DWORD error_control, LPCSTR path, LPCSTR load_order_group, LPDWORD tag,
                          LPCSTR dependencies, LPCSTR account, LPCSTR password,
                          LPCSTR display_name);
BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD info_level, LPVOID info);
BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR name, LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID context);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

// Registry.
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_QWORD = 11;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_WOW64_64KEY = 0x0100;
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subkey, DWORD reserved, LPSTR class_name, DWORD options,
                        DWORD access, LPSECURITY_ATTRIBUTES attributes, HKEY* result,
                        LPDWORD disposition);
LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subkey);
// The machine policy's key (ORVANE_POLICY_KEY under HKEY_LOCAL_MACHINE) is
// served from the JSON file ORVANE_POLICY_FILE, read whole at the open: a
// string member as REG_SZ, an integer as REG_DWORD (REG_QWORD beyond 32
// bits, signed), any other member as REG_NONE. A relative file name is
// taken from the install root, the parent of the executable's directory. No
// file: ERROR_FILE_NOT_FOUND. A file that cannot be read or parsed, or that
// is not owned by root or is writable by group or others: ERROR_ACCESS_DENIED
// or ERROR_INVALID_DATA, and registry_failure_detail() says why (for a parse
// error with its line and column). The machine id key
// (SOFTWARE\Microsoft\Cryptography) holds MachineGuid, the first line of
// /etc/machine-id; not found without one. Every other key is not found.
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_length, LPDWORD reserved,
                      LPDWORD type, LPBYTE data, LPDWORD data_size);
LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD data_size);
// The file that serves the policy key, as it is opened.
const char* registry_policy_file();
// Why this thread's last RegOpenKeyExA of the policy key failed; "" when it did not.
const char* registry_failure_detail();
// Closes a key that RegOpenKeyExA opened; false for any other handle.
bool registry_close_policy(HKEY key);

// Event Log (no such log here: no source can be opened).
constexpr WORD EVENTLOG_ERROR_TYPE = 0x1;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x2;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x4;
HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source);
BOOL ReportEventW(HANDLE event_log, WORD type, WORD category, DWORD event_id, PSID user,
                  WORD string_count, DWORD data_size, LPCWSTR* strings, LPVOID data);
#endif

// The service lifecycle; filled in with the service runtime.
#include "service/service.h"

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_event = nullptr;
std::atomic<DWORD> service_state{0};
std::atomic<DWORD> service_running{0};

void WINAPI service_main(DWORD, LPSTR*) {}

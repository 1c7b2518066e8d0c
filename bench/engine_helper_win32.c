/* Helper of the engine benchmarks, built with MinGW by bench/run_service.sh
 * and bench/run_realtime.sh:
 *
 *   idle [N]        the baseline: a trivial GUI-subsystem process that waits
 *                   for ever and does nothing else (with N more threads that
 *                   wait too: what a thread alone costs under Wine)
 *   stop PID        signals Global\Tallowguard_Stop_Event and prints the
 *                   milliseconds until process PID has ended
 *   scstop PID      sends the STOP control to the Tallowguard service and
 *                   prints the milliseconds until process PID has ended
 *
 * Exit code 0, or 2 when the event, the service or the process cannot be
 * opened, 3 when the process did not end within 60 s.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winsvc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static DWORD WINAPI waiter(LPVOID ev)
{
    WaitForSingleObject((HANDLE)ev, INFINITE);
    return 0;
}

static int wait_end(HANDLE proc, DWORD t0)
{
    DWORD r = WaitForSingleObject(proc, 60000);
    DWORD ms = GetTickCount() - t0;
    CloseHandle(proc);
    if (r != WAIT_OBJECT_0)
        return 3;
    printf("%lu\n", (unsigned long)ms);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc >= 2 && strcmp(argv[1], "idle") == 0) {
        HANDLE ev = CreateEventA(NULL, TRUE, FALSE, NULL);
        int extra = argc >= 3 ? atoi(argv[2]) : 0;
        for (int i = 0; i < extra; i++)
            CloseHandle(CreateThread(NULL, 0, waiter, ev, 0, NULL));
        WaitForSingleObject(ev, INFINITE);
        return 0;
    }
    if (argc >= 3 && (strcmp(argv[1], "stop") == 0 || strcmp(argv[1], "scstop") == 0)) {
        DWORD pid = (DWORD)strtoul(argv[2], NULL, 10);
        HANDLE proc = OpenProcess(SYNCHRONIZE, FALSE, pid);
        if (proc == NULL)
            return 2;
        DWORD t0 = GetTickCount();
        if (strcmp(argv[1], "stop") == 0) {
            HANDLE ev = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\Tallowguard_Stop_Event");
            if (ev == NULL || !SetEvent(ev))
                return 2;
            CloseHandle(ev);
        } else {
            SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
            SC_HANDLE svc = scm ? OpenServiceA(scm, "Tallowguard", SERVICE_STOP) : NULL;
            SERVICE_STATUS st;
            if (svc == NULL || !ControlService(svc, SERVICE_CONTROL_STOP, &st))
                return 2;
            CloseServiceHandle(svc);
            CloseServiceHandle(scm);
        }
        return wait_end(proc, t0);
    }
    fprintf(stderr, "usage: %s idle | stop PID | scstop PID\n", argv[0]);
    return 1;
}

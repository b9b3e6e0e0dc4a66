/* The interpreter the benchmark has the launchers start. Its entry routine is the image's entry point,
   with no C runtime before it, so its first stamp is as close to the process's first instruction as a
   program can get. It stamps the performance counter into the benchmark's shared memory on entry, says it
   is running, waits to be released, stamps again and ends. */
#include <windows.h>

void __stdcall BenchEntry(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    HANDLE shared = OpenFileMappingW(FILE_MAP_WRITE, FALSE, L"Local\\tarnel-bench-stamps");
    LONGLONG* stamps = shared ? (LONGLONG*)MapViewOfFile(shared, FILE_MAP_WRITE, 0, 0, 0) : NULL;
    if (!stamps)
        ExitProcess(2);
    stamps[0] = now.QuadPart;
    /* The events stay open until ExitProcess below closes them: closing them first would only add work
       between the two stamps. */
    /* cppcheck-suppress leakNoVarFunctionCall */
    SetEvent(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\tarnel-bench-running"));
    /* cppcheck-suppress leakNoVarFunctionCall */
    WaitForSingleObject(OpenEventW(SYNCHRONIZE, FALSE, L"Local\\tarnel-bench-release"), 60000);
    QueryPerformanceCounter(&now);
    stamps[1] = now.QuadPart;
    ExitProcess(0);
}

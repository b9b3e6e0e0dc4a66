// Measures what a launcher costs between the user's double-click and the application's start, side by
// side for: the interpreter started directly (the floor), the plain C reference launcher, and tarnel.exe.
// A run starts every candidate once per round, in turn, in one prepared application folder; its first
// round warms the caches and is discarded, and each figure is the median of the rest. Launch times under
// Wine come in steps of about 25 ms, which move a single run's median, so the benchmark makes several
// runs and reports the median of their medians.
//   bench [--runs R] [--rounds N] [--json]
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

// One launch: start latency and exit latency in ms, the launcher's memory in KiB while the interpreter runs.
struct Sample {
    double start, exit, peak, priv;
};

struct Candidate {
    const char* name;
    fs::path executable;
    std::wstring command;
    std::vector<Sample> medians;     // one per run
    std::vector<double> starts;      // every start latency kept, of all runs
    std::set<std::wstring> modules;  // loaded, besides itself, while the interpreter runs
};

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double FastestTenth(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 10];
}

Sample Median(const std::vector<Sample>& samples)
{
    auto of = [&](double Sample::*field) {
        std::vector<double> values;
        for (const Sample& sample : samples)
            values.push_back(sample.*field);
        return Median(values);
    };
    return {of(&Sample::start), of(&Sample::exit), of(&Sample::peak), of(&Sample::priv)};
}

LONGLONG Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

std::set<std::wstring> Modules(DWORD pid)
{
    std::set<std::wstring> names;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
    MODULEENTRY32W module{};
    module.dwSize = sizeof module;
    for (BOOL more = Module32FirstW(snapshot, &module); more; more = Module32NextW(snapshot, &module)) {
        std::wstring name = module.szModule;
        std::transform(name.begin(), name.end(), name.begin(), towlower);
        names.insert(name);
    }
    CloseHandle(snapshot);
    return names;
}

// The objects shared with the benchmark's interpreter: its two time stamps, and the events by which it
// says it runs and is told to end.
struct Shared {
    volatile LONGLONG* stamps;
    HANDLE running, release;
    double ms;  // per performance-counter tick
};

// Starts a candidate in `app` and waits until the interpreter it starts has ended and it has too.
bool Launch(Candidate& candidate, const fs::path& app, const Shared& shared, bool listModules, Sample& sample)
{
    ResetEvent(shared.release);
    std::wstring command = candidate.command;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION launched{};
    const LONGLONG before = Now();
    if (!CreateProcessW(candidate.executable.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        app.c_str(), &startup, &launched)) {
        std::fprintf(stderr, "bench: cannot start %s (error %lu)\n", candidate.name, GetLastError());
        return false;
    }
    if (WaitForSingleObject(shared.running, 30000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "bench: the interpreter did not start under %s\n", candidate.name);
        TerminateProcess(launched.hProcess, 1);
        return false;
    }
    sample.start = static_cast<double>(shared.stamps[0] - before) * shared.ms;
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(launched.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                         sizeof memory);
    sample.peak = static_cast<double>(memory.PeakWorkingSetSize) / 1024;
    sample.priv = static_cast<double>(memory.PrivateUsage) / 1024;
    if (listModules) {
        candidate.modules = Modules(launched.dwProcessId);
        candidate.modules.erase(candidate.executable.filename().wstring());
    }
    SetEvent(shared.release);
    WaitForSingleObject(launched.hProcess, INFINITE);
    sample.exit = static_cast<double>(Now() - shared.stamps[1]) * shared.ms;
    CloseHandle(launched.hProcess);
    CloseHandle(launched.hThread);
    return true;
}

// Lays out the application in `app`, makes the runs and prints the figures; 0 when every launch worked.
int Measure(const fs::path& app, int runs, int rounds, bool json)
{
    const fs::path here = BuildFolder();
    fs::create_directories(app / L"embeddables");
    fs::create_directories(app / L"build");
    std::ofstream(app / L"build" / L"tarnel.py") << "print('hello')\n";
    const fs::path interpreter = app / L"embeddables" / L"pythonw.exe";
    fs::copy_file(here / L"bench_interpreter.exe", interpreter);

    std::vector<Candidate> candidates{
        {"interpreter", interpreter, L"pythonw.exe build\\tarnel.py --pid=0", {}, {}, {}},
        {"reference", here / L"bench_reference.exe", L"bench_reference.exe", {}, {}, {}},
        {"tarnel", here / L"tarnel.exe", L"tarnel.exe", {}, {}, {}}};
    const Candidate &reference = candidates[1], &tarnel = candidates[2];

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                        L"Local\\tarnel-bench-stamps");
    const Shared shared{static_cast<volatile LONGLONG*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)),
                        CreateEventW(nullptr, FALSE, FALSE, L"Local\\tarnel-bench-running"),
                        CreateEventW(nullptr, TRUE, FALSE, L"Local\\tarnel-bench-release"),
                        1000.0 / static_cast<double>(frequency.QuadPart)};

    std::vector<double> startRatios;
    for (int run = 0; run < runs; ++run) {
        std::vector<std::vector<Sample>> samples(candidates.size());
        for (int round = 0; round < rounds; ++round) {
            // Each round begins with another candidate, so that none always follows the same one.
            for (size_t turn = 0; turn < candidates.size(); ++turn) {
                const size_t index = (round + turn) % candidates.size();
                Sample sample{};
                if (!Launch(candidates[index], app, shared, run == 0 && round == 0, sample))
                    return 1;
                if (round > 0) {
                    samples[index].push_back(sample);
                    candidates[index].starts.push_back(sample.start);
                }
            }
        }
        for (size_t i = 0; i < candidates.size(); ++i)
            candidates[i].medians.push_back(Median(samples[i]));
        startRatios.push_back(tarnel.medians.back().start / reference.medians.back().start);
    }

    struct Figures {
        Sample times;
        double size, iconless;  // KiB
    };
    std::vector<Figures> figures;
    for (const Candidate& c : candidates)
        figures.push_back({Median(c.medians), static_cast<double>(fs::file_size(c.executable)) / 1024,
                           static_cast<double>(SizeWithoutResources(c.executable)) / 1024});

    const Figures &r = figures[1], &t = figures[2];
    const Figures ratio{{t.times.start / r.times.start, t.times.exit / r.times.exit,
                         t.times.peak / r.times.peak, r.times.priv ? t.times.priv / r.times.priv : 0},
                        t.size / r.size,
                        t.iconless / r.iconless};
    std::vector<std::wstring> extra;
    for (const std::wstring& module : tarnel.modules)
        if (!reference.modules.count(module))
            extra.push_back(module);
    // An empty list means the launcher's modules could not be read (another process's memory, which may be
    // refused), not that there are none: every Windows process has at least ntdll and kernel32 loaded.
    const bool modulesRead = !tarnel.modules.empty() && !reference.modules.empty();
    // The image test's budget, which is the mingw-w64 build's: MSVC links its C runtime in statically.
    const double budget = static_cast<double>(SizeBudgetWithoutIcon) / 1024;
    const bool startMet = ratio.times.start <= 1.05, peakMet = ratio.times.peak <= 1.05;
#ifdef _MSC_VER
    const char *const sizeVerdict = "not this build's (mingw-w64's)", *const sizeJson = "null";
#else
    const bool sizeMet = t.iconless <= budget;
    const char *const sizeVerdict = sizeMet ? "met" : "MISSED", *const sizeJson = sizeMet ? "true" : "false";
#endif
    std::sort(startRatios.begin(), startRatios.end());

    if (json) {
        std::printf("{\n  \"runs\": %d,\n  \"rounds_per_run\": %d,\n  \"candidates\": {\n", runs, rounds - 1);
        for (size_t i = 0; i < candidates.size(); ++i) {
            const Figures& f = figures[i];
            std::printf(
                "    \"%s\": {\"start_ms\": %.3f, \"exit_ms\": %.3f, \"peak_working_set_kib\": %.0f, "
                "\"private_kib\": %.0f, \"size_kib\": %.1f, \"size_without_icon_kib\": %.1f, \"modules\": [",
                candidates[i].name, f.times.start, f.times.exit, f.times.peak, f.times.priv, f.size,
                f.iconless);
            size_t n = 0;
            for (const std::wstring& module : candidates[i].modules)
                std::printf("%s\"%s\"", n++ ? ", " : "", Utf8(module).c_str());
            std::printf("]}%s\n", i + 1 < candidates.size() ? "," : "");
        }
        std::printf(
            "  },\n  \"tarnel_to_reference\": {\"start_fastest_tenth\": %.3f, \"start\": %.3f, \"exit\": "
            "%.3f, \"peak_working_set\": %.3f, "
            "\"private\": %.3f, \"size\": %.3f, \"size_without_icon\": %.3f},\n",
            FastestTenth(tarnel.starts) / FastestTenth(reference.starts), ratio.times.start, ratio.times.exit,
            ratio.times.peak, ratio.times.priv, ratio.size, ratio.iconless);
        std::printf(
            "  \"targets\": {\"start_within_5_percent\": %s, \"peak_working_set_within_5_percent\": %s, "
            "\"no_extra_modules\": %s, \"size_without_icon_within_budget\": %s}\n}\n",
            startMet ? "true" : "false", peakMet ? "true" : "false",
            !modulesRead    ? "null"
            : extra.empty() ? "true"
                            : "false",
            sizeJson);
        return 0;
    }

    std::printf("Median of %d runs' medians, each over %d rounds (its first discarded)\n\n", runs,
                rounds - 1);
    std::printf("%-12s %10s %10s %14s %13s %10s %14s\n", "candidate", "start ms", "exit ms", "peak WS KiB",
                "private KiB", "size KiB", "no-icon KiB");
    for (size_t i = 0; i < candidates.size(); ++i) {
        const Figures& f = figures[i];
        std::printf("%-12s %10.2f %10.2f %14.0f %13.0f %10.1f %14.1f\n", candidates[i].name, f.times.start,
                    f.times.exit, f.times.peak, f.times.priv, f.size, f.iconless);
    }
    std::printf("%-12s %10.2f %10.2f %14.2f %13.2f %10.2f %14.2f\n", "tarnel/ref", ratio.times.start,
                ratio.times.exit, ratio.times.peak, ratio.times.priv, ratio.size, ratio.iconless);
    if (!r.times.priv)
        std::printf("(private bytes: the platform reports none for another process, as Wine does)\n");
    // Wine's launch times come in steps of about 25 ms; the fastest tenth of launches shows what the
    // launchers themselves cost, without the steps.
    const double fastT = FastestTenth(tarnel.starts), fastR = FastestTenth(reference.starts);
    std::printf(
        "start ratio per run: %.2f to %.2f; fastest tenth of starts: tarnel %.2f ms, reference %.2f ms, "
        "ratio %.3f\n",
        startRatios.front(), startRatios.back(), fastT, fastR, fastT / fastR);
    std::printf("\nModules loaded by tarnel.exe, besides itself, while the interpreter runs:\n ");
    for (const std::wstring& module : tarnel.modules)
        std::printf(" %s", Utf8(module).c_str());
    std::printf("\n\nTargets:\n");
    std::printf("  start latency within 5%% of the reference:    %s (ratio %.3f)\n",
                startMet ? "met" : "MISSED", ratio.times.start);
    std::printf("  peak working set within 5%% of the reference: %s (ratio %.3f)\n",
                peakMet ? "met" : "MISSED", ratio.times.peak);
    std::printf("  no module beyond the reference's:             %s",
                !modulesRead    ? "could not check (no module list could be read)"
                : extra.empty() ? "met"
                                : "MISSED:");
    for (const std::wstring& module : extra)
        std::printf(" %s", Utf8(module).c_str());
    std::printf("\n  size without icon at most %.1f KiB:           %s (%.1f KiB)\n", budget, sizeVerdict,
                t.iconless);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 5, rounds = 41;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--json")
            json = true;
        else if (option == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (option == "--rounds" && i + 1 < argc)
            rounds = std::max(21, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: bench [--runs R] [--rounds N (at least 21)] [--json]\n");
            return 2;
        }
    }

    // The application folder is this run's own, and it goes however the run ends.
    const fs::path app = NewScratchFolder(L"tarnel-bench-");
    int status = 1;
    try {
        status = Measure(app, runs, rounds, json);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench: %s\n", error.what());
    }
    std::error_code ignored;
    fs::remove_all(app, ignored);
    return status;
}

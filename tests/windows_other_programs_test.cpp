// Other programs at work on the program's files, as a Windows PC has them: a
// virus scanner, the search indexer or a sync client that opens a file the
// moment it appears, and a folder that goes away. And the code page each copy
// of the Windows suite says it runs under.
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "expected_output.hpp"
#include "report_text.hpp"
#include "scratch_folder.hpp"

namespace {

namespace fs = std::filesystem;

struct run_result {
    std::string out, err;
    DWORD status;
};

// Runs a started program that is being debugged up to its first breakpoint,
// the loader's, where the process is set up (its working directory among
// the rest) and none of its own code has run; then lets it go on alone.
template <typename AtStart>
void detach_at_first_breakpoint(const PROCESS_INFORMATION& process, AtStart at_start) {
    for (DEBUG_EVENT event;;) {
        if (!WaitForDebugEvent(&event, INFINITE)) return;
        if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && event.u.CreateProcessInfo.hFile)
            CloseHandle(event.u.CreateProcessInfo.hFile);
        if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        const bool first_breakpoint = event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
                                      event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT;
        const bool ended = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
        if (first_breakpoint) at_start();
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
        if (first_breakpoint || ended) break;
    }
    DebugSetProcessKillOnExit(FALSE);
    DebugActiveProcessStop(process.dwProcessId);
}

// The program started in the folder with its output kept beside it; with
// `at_start`, that runs once the program is set up and before it does
// anything of its own.
template <typename AtStart>
run_result run_in(const scratch_folder& folder, AtStart at_start, bool debugged) {
    const fs::path out = folder.beside("stdout"), err = folder.beside("stderr");
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const HANDLE in =
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0, nullptr);
    const HANDLE out_file =
        CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS, 0, nullptr);
    const HANDLE err_file =
        CreateFileW(err.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out_file;
    startup.hStdError = err_file;
    PROCESS_INFORMATION process{};
    std::wstring program = fs::path(TRAFFIC_TOTALS_PROGRAM).make_preferred().wstring();
    std::wstring command = L"\"" + program + L"\"";
    const std::wstring directory = fs::path(folder.path()).wstring();
    run_result result{"", "", 255};
    if (CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, debugged ? DEBUG_ONLY_THIS_PROCESS : 0,
                       nullptr, directory.c_str(), &startup, &process)) {
        if (debugged) detach_at_first_breakpoint(process, at_start);
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &result.status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    for (const HANDLE handle : {in, out_file, err_file}) CloseHandle(handle);
    result.out = read_file(out);
    result.err = read_file(err);
    return result;
}
template <typename AtStart>
run_result run_in(const scratch_folder& folder, AtStart at_start) {
    return run_in(folder, at_start, true);
}
run_result run_in(const scratch_folder& folder) {
    return run_in(folder, [] {}, false);
}

// Removes a folder as a stick pulled out or a share dropped does, behind
// Windows' back: Windows itself refuses to remove a program's working
// directory. Under Wine that is the Unix side, reached through Wine's own
// name mapping and a Unix program, which Wine starts as it would a Windows one.
bool removed_behind_windows(const std::string& folder) {
    using unix_name_of = char*(__cdecl*)(const wchar_t*);
    const auto unix_name =
        reinterpret_cast<unix_name_of>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name"));
    if (!unix_name) return false;
    char* name = unix_name(fs::path(folder).wstring().c_str());
    if (!name) return false;
    std::wstring command = L"rm -rf \"" + fs::path(name).wstring() + L"\"";
    HeapFree(GetProcessHeap(), 0, name);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION remover{};
    if (!CreateProcessW(L"Z:\\bin\\rm", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &remover))
        return false;
    // Wine gives no handle that waits for a Unix program: the folder's going is what shows it done.
    if (remover.hThread) CloseHandle(remover.hThread);
    if (remover.hProcess) CloseHandle(remover.hProcess);
    for (int look = 0; look < 10000 && fs::exists(folder); ++look) Sleep(1);
    return !fs::exists(folder);
}

std::string windows_words(DWORD error) {
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                  sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.')) --length;
    return std::string(text, length);
}

bool has_temporary_file(const scratch_folder& folder) {
    for (const auto& name : folder.names())
        if (name.rfind(".traffic-totals-", 0) == 0) return true;
    return false;
}

// Another program that opens a file of the folder the moment it appears,
// sharing reading and writing but not its deletion, as scanners and indexers
// do, and closes it when told to; it notes whether its open was refused.
class eager_opener {
public:
    eager_opener(const scratch_folder& folder, std::wstring name_start, DWORD hold_ms)
        : folder_(fs::path(folder.path())),
          start_(std::move(name_start)),
          hold_ms_(hold_ms),
          thread_([this] { run(); }) {}
    ~eager_opener() {
        release_ = true;
        thread_.join();
    }
    eager_opener(const eager_opener&) = delete;
    eager_opener& operator=(const eager_opener&) = delete;
    bool saw_it() const { return saw_.load(); }
    bool was_refused() const { return refused_.load(); }
    DWORD refusal() const { return refusal_.load(); }

private:
    void run() {
        WIN32_FIND_DATAW found;
        const std::wstring pattern = (folder_ / (start_ + L"*")).wstring();
        HANDLE search = INVALID_HANDLE_VALUE;
        while (!release_ && (search = FindFirstFileW(pattern.c_str(), &found)) == INVALID_HANDLE_VALUE) Sleep(1);
        if (search == INVALID_HANDLE_VALUE) return;
        FindClose(search);
        saw_ = true;
        const HANDLE held = CreateFileW((folder_ / found.cFileName).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (held == INVALID_HANDLE_VALUE) {
            refusal_ = GetLastError();
            refused_ = true;
            return;
        }
        for (DWORD held_ms = 0; !release_ && held_ms < hold_ms_; held_ms += 10) Sleep(10);
        CloseHandle(held);
    }
    fs::path folder_;
    std::wstring start_;
    DWORD hold_ms_;
    std::atomic<bool> release_{false}, saw_{false}, refused_{false};
    std::atomic<DWORD> refusal_{0};
    std::thread thread_;
};

const std::string one_row = table_rows({traffic_row("512", "1536")});
const total_sizes one_row_sizes{"   512.000 bytes", "     1.500 KB", "     2.000 KB"};
const std::vector<report_figures> one_report{{"a.htm", one_row.size(), 1, 512, 1536}};

// Each copy of the suite (ctest runs it once per code page) says the ANSI
// code page it stands for; it must be the one Wine, and so the program, runs
// under. A copy that is not told which fails, rather than pass under any.
TEST(WindowsSuite, RunsUnderTheCodePageItNames) {
    const char* expected = std::getenv("TRAFFIC_TOTALS_EXPECTED_ANSI_CODE_PAGE");
    ASSERT_NE(expected, nullptr) << "not told its code page: run the suite through ctest";
    EXPECT_EQ(GetACP(), static_cast<UINT>(std::atoi(expected)));
}

// A scanner that tries to open the temporary summary as soon as it appears:
// the program holds it with the right to delete it, so the scanner's open is
// refused, and the summary goes in place.
TEST(WindowsOtherPrograms, ATemporarySummaryNoOtherProgramCanHoldGoesInPlace) {
    scratch_folder folder;
    folder.write("a.htm", one_row);
    folder.write("izhod_a.htm_etc.txt", "the earlier summary");
    run_result run;
    {
        const eager_opener scanner(folder, L".traffic-totals-", 30000);
        run = run_in(folder);
        EXPECT_TRUE(scanner.saw_it()) << "the temporary summary was there to be opened";
        EXPECT_TRUE(scanner.was_refused());
        EXPECT_EQ(scanner.refusal(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    EXPECT_EQ(run.status, 0u) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(folder.contents(),
              (files{{"a.htm", one_row},
                     {"izhod_a.htm_etc.txt", crlf(expected_summary(one_report, folder.path(), one_row_sizes))}}));
}

// The earlier summary held open by an indexer, sharing everything but its
// deletion: for a moment, and the new summary replaces it once it is let go;
// for longer than the program waits, and the earlier summary stays as it
// was, with nothing left beside it and the reason in Windows' words.
TEST(WindowsOtherPrograms, AnEarlierSummaryHeldOpenIsWaitedForThenLeftAsItWas) {
    for (const DWORD hold_ms : {300u, 30000u}) {
        SCOPED_TRACE(hold_ms);
        scratch_folder folder;
        folder.write("a.htm", one_row);
        folder.write("izhod_a.htm_etc.txt", "the earlier summary");
        const HANDLE held = CreateFileW((fs::path(folder.path()) / L"izhod_a.htm_etc.txt").c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        std::atomic<bool> ended{false};
        // Let go `hold_ms` after the temporary summary appears, or when the run ends.
        std::thread indexer([&] {
            while (!ended && !has_temporary_file(folder)) Sleep(1);
            for (DWORD waited = 0; !ended && waited < hold_ms; waited += 10) Sleep(10);
            CloseHandle(held);
        });
        const run_result run = run_in(folder);
        ended = true;
        indexer.join();
        if (hold_ms < 2000) {
            EXPECT_EQ(run.status, 0u) << run.err;
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(
                folder.contents(),
                (files{{"a.htm", one_row},
                       {"izhod_a.htm_etc.txt", crlf(expected_summary(one_report, folder.path(), one_row_sizes))}}));
        } else {
            EXPECT_EQ(run.status, 1u);
            const std::string said = "traffic-totals: cannot write 'izhod_a.htm_etc.txt': ";
            EXPECT_TRUE(run.err == said + windows_words(ERROR_ACCESS_DENIED) + "\r\n" ||
                        run.err == said + windows_words(ERROR_SHARING_VIOLATION) + "\r\n")
                << run.err;
            EXPECT_EQ(folder.contents(), (files{{"a.htm", one_row}, {"izhod_a.htm_etc.txt", "the earlier summary"}}));
        }
    }
}

// A folder that is gone by the time the program looks into it (a stick
// pulled out, a share dropped) is said, not taken for a folder without
// reports. It goes once the program has it as its working directory.
TEST(WindowsOtherPrograms, AFolderGoneBeforeTheSearchIsSaid) {
    scratch_folder folder;
    folder.write("a.htm", one_row);
    const run_result run = run_in(folder, [&] { ASSERT_TRUE(removed_behind_windows(folder.path())); });
    EXPECT_EQ(run.status, 1u);
    EXPECT_EQ(run.err.rfind("traffic-totals: cannot read the working directory: ", 0), 0u) << run.err;
    EXPECT_EQ(run.out.find("REPORT FOR"), std::string::npos);
}

}  // namespace

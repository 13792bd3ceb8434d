// Processes on Windows: the encoder run in a job object, the console's stop events, and the
// run's lock.

#include <atomic>
#include <string>

#include "platform/process.h"
#include "platform/win32_support.h"

namespace brindle::platform {

using win32::error_text;
using win32::open_file;
using win32::to_utf8;
using win32::to_wide;
using win32::unique_handle;

namespace {

// An existing file (not a directory) at `path`.
bool is_file(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring environment_variable(const wchar_t* name) {
    std::wstring value(256, L'\0');
    for (;;) {
        const DWORD length =
            GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) return {};
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length);  // too small: `length` counts the terminating zero
    }
}

}  // namespace

interpreter_kind command_interpreter() { return interpreter_kind::windows_cmd; }

// ---- Running a command and stopping cleanly ---------------------------------------------
//
// The interpreter starts suspended and is put in a job object that ends every process in it
// when its last handle closes; only then does it run. The handle is Brindle's alone (not
// inheritable), so when brindle.exe ends, however it ends, the interpreter and the encoder end
// with it. Console events (Ctrl+C, Ctrl+Break, closing the console) reach every process of the
// console, the encoder among them; Brindle only records them and waits for the encoder.

namespace {

// The console's control handler runs on a thread of its own.
std::atomic<int> requested_stop{0};

void record_stop(int stop) {
    int none = 0;
    requested_stop.compare_exchange_strong(none, stop);
}

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            record_stop(stop_by_ctrl_c);
            return TRUE;
        case CTRL_BREAK_EVENT:
            record_stop(stop_by_ctrl_break);
            return TRUE;
        case CTRL_CLOSE_EVENT:
            record_stop(stop_by_console_close);
            // Windows ends the process when this returns, or a few seconds later if it does not:
            // that time is the main thread's, to wait for the encoder and remove its output.
            Sleep(INFINITE);
            return TRUE;
        default:
            return FALSE;
    }
}

// cmd.exe in the system directory: never one from the working directory or PATH, where anyone
// who can write a file could plant another.
std::wstring system_cmd() {
    wchar_t directory[MAX_PATH];
    const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::wstring(directory, length) + L"\\cmd.exe";
}

// COMSPEC when it names an existing file by an absolute path, else nothing.
std::wstring usable_comspec() {
    const std::wstring comspec = environment_variable(L"COMSPEC");
    const auto utf8 = to_utf8(comspec);
    if (comspec.empty() || !utf8 || !is_absolute_windows_path(*utf8) || !is_file(comspec)) {
        return {};
    }
    return comspec;
}

struct started_process {
    unique_handle process{INVALID_HANDLE_VALUE};
    unique_handle thread{INVALID_HANDLE_VALUE};
};

// Starts `interpreter` suspended on `command_line`, with the console, working directory and
// environment of this process. Answers false with the error in GetLastError.
bool start_suspended(const std::wstring& interpreter, const std::string& command_line,
                     DWORD priority_class, started_process& started) {
    const auto name = to_utf8(interpreter);
    auto line = name ? to_wide(cmd_interpreter_line(*name, command_line)) : std::nullopt;
    if (!line) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return false;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(interpreter.c_str(), line->data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | priority_class, nullptr, nullptr, &startup, &process)) {
        return false;
    }
    started.process = unique_handle(process.hProcess);
    started.thread = unique_handle(process.hThread);
    return true;
}

unique_handle kill_on_close_job() {
    unique_handle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job.valid() && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation,
                                                &limits, sizeof limits)) {
        return unique_handle(INVALID_HANDLE_VALUE);
    }
    return job;
}

// Ends whatever the command left running and waits, a few seconds at most, until it is gone.
void end_job(HANDLE job) {
    TerminateJobObject(job, 1);
    for (int round = 0; round < 500; ++round) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                       sizeof accounting, nullptr) ||
            accounting.ActiveProcesses == 0) {
            return;
        }
        Sleep(10);
    }
}

}  // namespace

command_result run_command(const std::string& command_line, const command_settings& settings) {
    command_result result;
    if (const int stop = stop_requested(); stop != 0) {
        result.stop_signal = stop;
        result.error = "a stop was asked for before the command could start";
        return result;
    }
    const unique_handle job = kill_on_close_job();
    if (!job.valid()) {
        result.error = error_text(GetLastError());
        return result;
    }
    // The encoder inherits the interpreter's priority class.
    const DWORD priority_class = settings.low_priority ? BELOW_NORMAL_PRIORITY_CLASS : 0;
    started_process child;
    const std::wstring comspec = usable_comspec();
    bool started =
        !comspec.empty() && start_suspended(comspec, command_line, priority_class, child);
    if (!started) {
        const std::wstring cmd = system_cmd();
        started = !cmd.empty() && start_suspended(cmd, command_line, priority_class, child);
    }
    if (!started) {
        result.error = error_text(GetLastError());
        return result;
    }
    if (!AssignProcessToJobObject(job.get(), child.process.get())) {
        result.error = error_text(GetLastError());
        TerminateProcess(child.process.get(), 1);
        WaitForSingleObject(child.process.get(), INFINITE);
        return result;
    }
    ResumeThread(child.thread.get());
    DWORD exit_code = 0;
    const bool ended = WaitForSingleObject(child.process.get(), INFINITE) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(child.process.get(), &exit_code);
    const std::string wait_error = ended ? std::string() : error_text(GetLastError());
    end_job(job.get());
    result.stop_signal = stop_requested();
    if (!ended) {
        result.error = wait_error;
        return result;
    }
    result.how = command_result::ending::exited;
    result.code = static_cast<int>(exit_code);
    return result;
}

void install_stop_handlers() { SetConsoleCtrlHandler(on_console_event, TRUE); }

int stop_requested() { return requested_stop.load(); }

// A console event is only recorded, and the main thread looks at it between steps, so the
// steps of a replace are never cut short by it (but for closing the console, after which
// Windows ends the process a few seconds later whatever it does).
stop_deferral::stop_deferral() = default;
stop_deferral::~stop_deferral() = default;

lock_result lock_working_directory(const std::string& name) {
    unique_handle file = open_file(name, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (!file.valid()) return lock_result::cannot_create;
    OVERLAPPED at_start{};
    if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &at_start)) {
        return lock_result::held_elsewhere;
    }
    // The handle stays open until the process ends, and the lock with it; the system drops
    // both however the process ends. It is not inheritable, so no encoder holds it on.
    file.release();
    return lock_result::acquired;
}

unsigned long process_id() { return GetCurrentProcessId(); }

std::string host_name() {
    wchar_t name[256] = {};
    DWORD length = 255;
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &length)) return {};
    return win32::to_utf8(std::wstring_view(name, length)).value_or(std::string());
}

std::optional<std::uint64_t> process_started_at(unsigned long pid) {
    const win32::unique_handle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    if (!process.valid()) {
        // A process that may not be looked at still runs.
        if (GetLastError() == ERROR_INVALID_PARAMETER) return std::nullopt;
        return 0;
    }
    DWORD code = 0;
    if (GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE) return std::nullopt;
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return 0;
    return win32::ticks_of(created) / 10'000'000;
}

}  // namespace brindle::platform

// Processes on Windows: the encoder run in a job object, the console's stop events, and the
// run's lock.

#include <atomic>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/output_tail.h"
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
// console, the encoder among them; Brindle only records them and waits for the encoder, for
// stop_wait_seconds at most, or until a second event.

namespace {

// The console's control handler runs on a thread of its own.
std::atomic<int> requested_stop{0};
std::atomic<ULONGLONG> first_stop_at{0};
std::atomic<bool> second_stop{false};

void record_stop(int stop) {
    int none = 0;
    const ULONGLONG now = GetTickCount64();
    if (requested_stop.compare_exchange_strong(none, stop)) {
        first_stop_at = now;
    } else if (now - first_stop_at.load() >= same_stop_milliseconds) {
        second_stop = true;
    }
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

// How the interpreter is started: in which job, with what priority, and where its output goes.
struct start_plan {
    HANDLE job = nullptr;
    DWORD priority_class = 0;
    HANDLE output = nullptr;  // the capture pipe's write end, or nullptr: the console's
};

// A list of one attribute that creates the process inside `job`, where the system knows it.
class job_attribute {
public:
    explicit job_attribute(HANDLE job) : job_(job) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (size == 0 || !InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
            list_ = nullptr;
            return;
        }
        if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job_, sizeof job_,
                                       nullptr, nullptr)) {
            DeleteProcThreadAttributeList(list_);
            list_ = nullptr;
        }
    }
    ~job_attribute() {
        if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
    }
    job_attribute(const job_attribute&) = delete;
    job_attribute& operator=(const job_attribute&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    HANDLE job_;
    std::vector<char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Starts `program` suspended with the command line `utf8_line`, with the console, working
// directory and environment of this process, created inside the plan's job where the system can
// do that. Answers false with the error in GetLastError.
bool start_suspended(const std::wstring& program, const std::string& utf8_line,
                     const start_plan& plan, started_process& started) {
    auto line = to_wide(utf8_line);
    if (!line) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return false;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    if (plan.output != nullptr) {
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.StartupInfo.hStdOutput = plan.output;
        startup.StartupInfo.hStdError = plan.output;
    }
    const job_attribute in_job(plan.job);
    startup.lpAttributeList = in_job.get();
    const DWORD flags = CREATE_SUSPENDED | plan.priority_class;
    PROCESS_INFORMATION process{};
    // Systems older than Windows 10 refuse the job list; there run_command assigns the job.
    bool created =
        in_job.get() != nullptr && CreateProcessW(program.c_str(), line->data(), nullptr, nullptr,
                                                  TRUE, flags | EXTENDED_STARTUPINFO_PRESENT,
                                                  nullptr, nullptr, &startup.StartupInfo, &process);
    if (!created) {
        startup.StartupInfo.cb = sizeof startup.StartupInfo;
        created = CreateProcessW(program.c_str(), line->data(), nullptr, nullptr, TRUE, flags,
                                 nullptr, nullptr, &startup.StartupInfo, &process);
    }
    if (!created) return false;
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

// Reads the command's output on a thread of its own, so that a full pipe never holds the
// encoder, and keeps its last lines.
struct output_reader {
    unique_handle pipe{INVALID_HANDLE_VALUE};
    output_tail tail;
    unique_handle thread{INVALID_HANDLE_VALUE};

    static DWORD WINAPI read_all(void* self) {
        auto* reader = static_cast<output_reader*>(self);
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(reader->pipe.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
            reader->tail.add(std::string_view(buffer, got));
        }
        return 0;
    }
    bool start() {
        thread = unique_handle(CreateThread(nullptr, 0, read_all, this, 0, nullptr));
        return thread.valid();
    }
    // Once every process that held the write end has ended, the read ends too.
    std::vector<std::string> finish() {
        if (thread.valid() && WaitForSingleObject(thread.get(), 5000) != WAIT_OBJECT_0) {
            CancelSynchronousIo(thread.get());
            WaitForSingleObject(thread.get(), INFINITE);
        }
        return tail.lines();
    }
};

// A pipe whose read end only Brindle holds and whose write end the interpreter inherits.
bool open_capture_pipe(output_reader& reader, unique_handle& write_end) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, 0)) return false;
    reader.pipe = unique_handle(read);
    write_end = unique_handle(write);
    return SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0) != 0;
}

// Waits for the interpreter; after a stop, stop_wait_seconds at most, or until a second stop,
// then ends the job. Answers false when the wait fails.
bool wait_for_interpreter(HANDLE process, HANDLE job, const command_settings& settings,
                          command_result& result) {
    ULONGLONG stop_seen_at = 0;
    ULONGLONG next_watch = GetTickCount64() + watch_period_milliseconds;
    for (;;) {
        const DWORD waited = WaitForSingleObject(process, 100);
        if (waited == WAIT_OBJECT_0) return true;
        if (waited != WAIT_TIMEOUT) return false;
        const ULONGLONG now = GetTickCount64();
        if (settings.keep_running && stop_requested() == 0 && !result.cut_short &&
            now >= next_watch) {
            next_watch = now + watch_period_milliseconds;
            if (!settings.keep_running()) {
                result.cut_short = true;
                TerminateJobObject(job, 1);
            }
        }
        if (stop_requested() == 0 || result.killed != stop_kill::none) continue;
        if (stop_seen_at == 0) stop_seen_at = now;
        if (second_stop.load()) {
            result.killed = stop_kill::at_second_stop;
        } else if (now - stop_seen_at >= stop_wait_seconds * 1000ULL) {
            result.killed = stop_kill::after_wait;
        }
        if (result.killed != stop_kill::none) TerminateJobObject(job, 1);
    }
}

// Starts the interpreter on `command_line`: COMSPEC when it is usable, else the system's cmd.exe.
bool start_interpreter(const std::string& command_line, const start_plan& plan,
                       started_process& child) {
    for (const std::wstring& interpreter : {usable_comspec(), system_cmd()}) {
        const auto name = to_utf8(interpreter);
        if (interpreter.empty() || !name) continue;
        if (start_suspended(interpreter, cmd_interpreter_line(*name, command_line), plan, child)) {
            return true;
        }
    }
    return false;
}

// Runs what `start` starts suspended inside a job object of its own, as run_command promises.
template <typename starter>
command_result run_in_job(const command_settings& settings, const starter& start) {
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
    output_reader reader;
    unique_handle output_write(INVALID_HANDLE_VALUE);
    if (settings.capture_output && !open_capture_pipe(reader, output_write)) {
        result.error = error_text(GetLastError());
        return result;
    }
    start_plan plan;
    plan.job = job.get();
    // The encoder inherits the interpreter's priority class.
    plan.priority_class = settings.low_priority ? BELOW_NORMAL_PRIORITY_CLASS : 0;
    plan.output = output_write.valid() ? output_write.get() : nullptr;
    started_process child;
    if (!start(plan, child)) {
        result.error = error_text(GetLastError());
        return result;
    }
    output_write = unique_handle(INVALID_HANDLE_VALUE);  // the interpreter holds it now
    // Created outside the job (an older system): assigned before it runs a single instruction,
    // and killed if that fails.
    BOOL in_job = FALSE;
    if ((!IsProcessInJob(child.process.get(), job.get(), &in_job) || !in_job) &&
        !AssignProcessToJobObject(job.get(), child.process.get())) {
        result.error = error_text(GetLastError());
        TerminateProcess(child.process.get(), 1);
        WaitForSingleObject(child.process.get(), INFINITE);
        return result;
    }
    if (reader.pipe.valid() && !reader.start()) reader.pipe = unique_handle(INVALID_HANDLE_VALUE);
    ResumeThread(child.thread.get());
    DWORD exit_code = 0;
    const bool ended = wait_for_interpreter(child.process.get(), job.get(), settings, result) &&
                       GetExitCodeProcess(child.process.get(), &exit_code);
    const std::string wait_error = ended ? std::string() : error_text(GetLastError());
    end_job(job.get());
    if (settings.capture_output) result.output_tail = reader.finish();
    result.stop_signal = stop_requested();
    if (!ended) {
        result.error = wait_error;
        return result;
    }
    result.how = command_result::ending::exited;
    result.code = static_cast<int>(exit_code);
    return result;
}

// The folder brindle.exe was started from, with its final separator; empty when it cannot be told.
std::string own_folder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const auto utf8 = to_utf8(path);
    if (!utf8) return {};
    const std::size_t last = utf8->find_last_of("\\/");
    return last == std::string::npos ? std::string() : utf8->substr(0, last + 1);
}

}  // namespace

command_result run_command(const std::string& command_line, const command_settings& settings) {
    return run_in_job(settings, [&](const start_plan& plan, started_process& child) {
        return start_interpreter(command_line, plan, child);
    });
}

command_result run_program(const std::string& program, const std::vector<std::string>& arguments,
                           const command_settings& settings) {
    const auto wide = to_wide(program);
    return run_in_job(settings, [&](const start_plan& plan, started_process& child) {
        return wide &&
               start_suspended(*wide, windows_argument_line(program, arguments), plan, child);
    });
}

std::optional<std::string> find_program(const std::string& name) {
    std::vector<std::string> folders{".\\", own_folder()};
    const auto path = to_utf8(environment_variable(L"PATH"));
    for (const std::string& folder : search_path_folders(path.value_or(""), ';')) {
        folders.push_back(folder + "\\");
    }
    for (const std::string& folder : folders) {
        if (folder.empty()) continue;
        const std::string candidate = folder + name + ".exe";
        const auto wide = to_wide(candidate);
        if (wide && is_file(*wide)) return candidate;
    }
    return std::nullopt;
}

void install_stop_handlers() { SetConsoleCtrlHandler(on_console_event, TRUE); }

int stop_requested() { return requested_stop.load(); }

// A console event is only recorded, and the main thread looks at it between steps, so the
// steps of a replace are never cut short by it (but for closing the console, after which
// Windows ends the process a few seconds later whatever it does).
stop_deferral::stop_deferral() = default;
stop_deferral::~stop_deferral() = default;

namespace {

// The lock file at `name` in the working directory, open to be written, never through a link:
// Wine opens a POSIX link as the file it leads to whatever the flags say, so the name's own state
// must show the very file that was opened. A new file is created exclusively, which no link
// passes either.
unique_handle open_lock_file(const std::string& name) {
    constexpr DWORD access = GENERIC_READ | GENERIC_WRITE;
    constexpr DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    for (int attempt = 0; attempt < 2; ++attempt) {
        unique_handle file = open_file(name, access, CREATE_NEW, flags);
        if (file.valid() || GetLastError() != ERROR_FILE_EXISTS) return file;
        file = open_file(name, access, OPEN_EXISTING, flags);
        BY_HANDLE_FILE_INFORMATION information{};
        if (!file.valid()) {
            if (GetLastError() == ERROR_FILE_NOT_FOUND) continue;
            return file;
        }
        const path_state state = status_of(name);
        if (!GetFileInformationByHandle(file.get(), &information) ||
            state.what != path_state::kind::regular ||
            state.stamp.volume != information.dwVolumeSerialNumber ||
            state.stamp.index !=
                win32::join_halves(information.nFileIndexHigh, information.nFileIndexLow)) {
            return unique_handle(INVALID_HANDLE_VALUE);
        }
        return file;
    }
    return unique_handle(INVALID_HANDLE_VALUE);
}

}  // namespace

lock_result lock_working_directory(const std::string& name) {
    // Never through a link planted at the lock's name, nor a file with a second name elsewhere:
    // the lock file is emptied and written.
    unique_handle file = open_lock_file(name);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.get(), &information) ||
        (information.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        information.nNumberOfLinks != 1) {
        return lock_result::cannot_create;
    }
    // The byte locked lies far past the text, which others may then read while the run holds it.
    OVERLAPPED far_past_the_text{};
    far_past_the_text.OffsetHigh = 0x100;
    if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &far_past_the_text)) {
        return lock_result::held_elsewhere;
    }
    // The run's identity, as on POSIX: its process id and when it started.
    const unsigned long pid = GetCurrentProcessId();
    const std::string identity =
        std::to_string(pid) + " " + std::to_string(look_up_process(pid).seconds.value_or(0)) + "\n";
    DWORD written = 0;
    if (SetEndOfFile(file.get())) {
        WriteFile(file.get(), identity.data(), static_cast<DWORD>(identity.size()), &written,
                  nullptr);
    }
    // The handle stays open until the process ends, and the lock with it; the system drops
    // both however the process ends. It is not inheritable, so no encoder holds it on.
    file.release();
    return lock_result::acquired;
}

unsigned long process_id() { return GetCurrentProcessId(); }

bool output_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

std::string host_name() {
    wchar_t name[256] = {};
    DWORD length = 255;
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &length)) return {};
    return win32::to_utf8(std::wstring_view(name, length)).value_or(std::string());
}

process_start look_up_process(unsigned long pid) {
    const win32::unique_handle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    if (!process.valid()) {
        // A process that may not be looked at still runs.
        if (GetLastError() == ERROR_INVALID_PARAMETER) return {};
        return {true, std::nullopt};
    }
    DWORD code = 0;
    if (GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE) return {};
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
        return {true, std::nullopt};
    }
    return {true, win32::ticks_of(created) / 10'000'000};
}

}  // namespace brindle::platform

// Child processes on Windows: CreateProcessW with three pipes, in a job
// object so that everything the program starts ends with it (the process
// group of the POSIX backend). Only the child's three pipe ends are handed
// down (PROC_THREAD_ATTRIBUTE_HANDLE_LIST), so the agent's sockets and the
// pipes of a plug-in started at the same time stay out of the child.
//
// Anonymous pipes cannot be waited on with a time-out, so read() looks at
// the pipe (PeekNamedPipe) and sleeps on the interrupt event between looks.
// The end of the child is the process handle itself becoming signalled, not
// GetExitCodeProcess returning 259 (STILL_ACTIVE): a program may exit with 259.
#include "platform/child_process.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/win32/win32_text.h"

namespace trellon::platform {

namespace {

// How often read() looks at a quiet pipe.
constexpr DWORD kPipePollMs = 5;
// The status of a child ended by terminateGroup or reap, as a POSIX child
// ended by SIGKILL reports it.
constexpr UINT kKilledStatus = 128 + 9;

std::string errorText(DWORD code) {
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n > 0 && text != nullptr ? std::string(text, n) : std::string();
    if (text != nullptr) ::LocalFree(text);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : message;
}

bool hasSeparator(const std::string& name) {
    return name.find_first_of("\\/:") != std::string::npos;
}

bool isFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The file to run, or "" when there is none. A bare name is looked up in
// this process's PATH only (SearchPathW without the current folder), with
// ".exe" added when it has no extension of its own.
std::wstring resolveProgram(const std::string& program, const std::string& directory) {
    if (program.empty()) return L"";
    std::wstring name = win32::widen(program);
    if (hasSeparator(program)) {
        const bool absolute =
            (program.size() > 1 && program[1] == ':') || program[0] == '\\' || program[0] == '/';
        std::wstring path = name;
        if (!absolute && !directory.empty()) {
            std::wstring folder = win32::widen(directory);
            if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
            path = folder + name;
        }
        if (isFile(path)) return path;
        if (isFile(path + L".exe")) return path + L".exe";
        return L"";
    }
    const DWORD length = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (length == 0) return L"";
    std::wstring search(length, L'\0');
    search.resize(::GetEnvironmentVariableW(L"PATH", search.data(), length));
    wchar_t found[MAX_PATH * 4];
    const DWORD n =
        ::SearchPathW(search.c_str(), name.c_str(), L".exe", MAX_PATH * 4, found, nullptr);
    if (n == 0 || n >= MAX_PATH * 4) return L"";
    return std::wstring(found, n);
}

// One argument as CommandLineToArgvW (and the C runtime) reads it back:
// quotes around it when it has blanks or is empty, backslashes doubled
// only where a quote follows them.
void appendQuoted(std::wstring& line, const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        while (i < argument.size() && argument[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == argument.size()) {
            line.append(backslashes * 2, L'\\');
            break;
        }
        if (argument[i] == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
            line += L'"';
        } else {
            line.append(backslashes, L'\\');
            line += argument[i];
        }
    }
    line += L'"';
}

// "name=value\0...\0\0"; an empty environment still needs its two NULs.
std::wstring environmentBlock(const std::vector<std::string>& entries) {
    std::wstring block;
    for (const std::string& entry : entries) {
        if (entry.empty()) continue;
        block += win32::widen(entry);
        block += L'\0';
    }
    if (block.empty()) block += L'\0';
    block += L'\0';
    return block;
}

bool makePipe(win32::ScopedHandle& readEnd, win32::ScopedHandle& writeEnd) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE r = nullptr;
    HANDLE w = nullptr;
    if (!::CreatePipe(&r, &w, &inherit, 0)) return false;
    readEnd.reset(r);
    writeEnd.reset(w);
    return true;
}

}  // namespace

std::vector<std::string> processEnvironment() {
    std::vector<std::string> entries;
    wchar_t* block = ::GetEnvironmentStringsW();
    if (block == nullptr) return entries;
    for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
        // "=C:=C:\folder" and the like are the shell's drive folders, not variables.
        if (entry[0] == L'=') continue;
        entries.push_back(win32::narrow(entry, wcslen(entry)));
    }
    ::FreeEnvironmentStringsW(block);
    return entries;
}

struct ChildProcess::State {
    mutable std::mutex lock;  // guards process, job, pid, reaped and status
    win32::ScopedHandle process;
    win32::ScopedHandle job;
    int pid = -1;
    bool reaped = false;
    int status = -1;
    win32::ScopedHandle output;  // read end of the child's standard output
    win32::ScopedHandle error;   // read end of its standard error
    win32::ScopedHandle wake;    // manual-reset event: set by interrupt(), never reset
    std::atomic<bool> woken{false};

    HANDLE processHandle() const {
        std::lock_guard<std::mutex> guard(lock);
        return process.get();
    }
};

ChildProcess::ChildProcess() : state_(std::make_unique<State>()) {
    state_->wake.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

ChildProcess::~ChildProcess() {
    reap();
}  // the handles close with the state

bool ChildProcess::start(const Launch& launch, std::string* reason) {
    auto fail = [reason](const std::string& text) {
        if (reason != nullptr) *reason = text;
        return false;
    };
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->pid > 0) return fail("already started");
    }
    if (launch.arguments.empty() || launch.arguments[0].empty()) return fail("no program named");
    const std::wstring program = resolveProgram(launch.arguments[0], launch.directory);
    if (program.empty()) return fail(errorText(ERROR_FILE_NOT_FOUND));

    win32::ScopedHandle inRead, inWrite, outRead, outWrite, errRead, errWrite;
    if (!makePipe(inRead, inWrite) || !makePipe(outRead, outWrite) || !makePipe(errRead, errWrite))
        return fail(errorText(::GetLastError()));
    // The agent's ends stay with the agent.
    for (HANDLE h : {inWrite.get(), outRead.get(), errRead.get()})
        ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
    // Standard input at end of file from the start: nothing is ever written.
    inWrite.reset();

    std::wstring commandLine;
    for (std::size_t i = 0; i < launch.arguments.size(); ++i) {
        if (i > 0) commandLine += L' ';
        appendQuoted(commandLine, win32::widen(launch.arguments[i]));
    }
    std::wstring environment = environmentBlock(launch.environment);
    const std::wstring directory = win32::widen(launch.directory);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = inRead.get();
    startup.StartupInfo.hStdOutput = outWrite.get();
    startup.StartupInfo.hStdError = errWrite.get();
    HANDLE inherited[3] = {inRead.get(), outWrite.get(), errWrite.get()};
    SIZE_T attributeBytes = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeBytes);
    std::vector<unsigned char> attributeStorage(attributeBytes);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeStorage.data());
    DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED | CREATE_NO_WINDOW;
    bool haveList = false;
    if (attributeBytes > 0 &&
        ::InitializeProcThreadAttributeList(attributes, 1, 0, &attributeBytes)) {
        haveList = ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                               inherited, sizeof(inherited), nullptr, nullptr) != 0;
        if (haveList) {
            startup.lpAttributeList = attributes;
            flags |= EXTENDED_STARTUPINFO_PRESENT;
        } else {
            ::DeleteProcThreadAttributeList(attributes);
        }
    }

    win32::ScopedHandle job(::CreateJobObjectW(nullptr, nullptr));
    if (job.valid()) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        // Should the agent itself die, the system ends the plug-in with it.
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        ::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                  sizeof(limits));
    }

    PROCESS_INFORMATION info{};
    const BOOL created = ::CreateProcessW(
        program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags, environment.data(),
        directory.empty() ? nullptr : directory.c_str(), &startup.StartupInfo, &info);
    const DWORD createError = ::GetLastError();
    if (haveList) ::DeleteProcThreadAttributeList(attributes);
    if (!created) return fail(errorText(createError));

    win32::ScopedHandle process(info.hProcess);
    win32::ScopedHandle thread(info.hThread);
    // In the job before it runs a single instruction, so nothing it starts
    // can escape the group.
    if (job.valid() && !::AssignProcessToJobObject(job.get(), process.get())) job.reset();
    ::ResumeThread(thread.get());

    std::lock_guard<std::mutex> guard(state_->lock);
    state_->process.reset(process.release());
    state_->job.reset(job.release());
    state_->pid = static_cast<int>(info.dwProcessId);
    state_->output.reset(outRead.release());
    state_->error.reset(errRead.release());
    return true;
}

bool ChildProcess::started() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->pid > 0;
}

int ChildProcess::pid() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->pid;
}

ChildProcess::ReadOutcome ChildProcess::read(ChildStream stream, char* buffer, std::size_t size,
                                             int timeoutMs, std::size_t& got) {
    got = 0;
    const HANDLE pipe = stream == ChildStream::output ? state_->output.get() : state_->error.get();
    if (pipe == nullptr) return ReadOutcome::end;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (state_->woken.load()) return ReadOutcome::interrupted;
        DWORD waiting = 0;
        if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) {
            // Every writer has closed its end.
            return ::GetLastError() == ERROR_BROKEN_PIPE ? ReadOutcome::end : ReadOutcome::failed;
        }
        if (waiting > 0) {
            DWORD n = 0;
            const DWORD want = static_cast<DWORD>(size < waiting ? size : waiting);
            if (!::ReadFile(pipe, buffer, want, &n, nullptr))
                return ::GetLastError() == ERROR_BROKEN_PIPE ? ReadOutcome::end
                                                             : ReadOutcome::failed;
            got = n;
            return ReadOutcome::data;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return ReadOutcome::timeout;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        ::WaitForSingleObject(state_->wake.get(),
                              static_cast<DWORD>(left < kPipePollMs ? left : kPipePollMs));
    }
}

bool ChildProcess::hasExited() {
    const HANDLE process = state_->processHandle();
    if (process == nullptr) {
        std::lock_guard<std::mutex> guard(state_->lock);
        return state_->reaped;
    }
    return ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

bool ChildProcess::waitForExit(int timeoutMs) {
    if (state_->woken.load()) return hasExited();
    const HANDLE process = state_->processHandle();
    if (process == nullptr) return hasExited();
    HANDLE handles[2] = {process, state_->wake.get()};
    const DWORD result =
        ::WaitForMultipleObjects(handles[1] != nullptr ? 2 : 1, handles, FALSE,
                                 static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs));
    return result == WAIT_OBJECT_0;
}

void ChildProcess::terminateGroup() {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->pid <= 0 || state_->reaped) return;
    if (state_->job.valid())
        ::TerminateJobObject(state_->job.get(), kKilledStatus);
    else
        ::TerminateProcess(state_->process.get(), kKilledStatus);
}

void ChildProcess::interrupt() {
    state_->woken.store(true);
    if (state_->wake.valid()) ::SetEvent(state_->wake.get());
}

bool ChildProcess::interrupted() const {
    return state_->woken.load();
}

int ChildProcess::reap() {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->pid <= 0) return -1;
    if (state_->reaped) return state_->status;
    // The group goes whether or not the child itself has ended.
    if (state_->job.valid()) ::TerminateJobObject(state_->job.get(), kKilledStatus);
    if (::WaitForSingleObject(state_->process.get(), 0) != WAIT_OBJECT_0)
        ::TerminateProcess(state_->process.get(), kKilledStatus);
    ::WaitForSingleObject(state_->process.get(), INFINITE);
    DWORD code = 0;
    state_->status =
        ::GetExitCodeProcess(state_->process.get(), &code) ? static_cast<int>(code) : -1;
    state_->reaped = true;
    // The pipes stay open until destruction: a reader may still be draining them.
    state_->process.reset();
    state_->job.reset();
    return state_->status;
}

}  // namespace trellon::platform

// Starting the built programs from the tests (tests/test_support.hpp):
// fork and exec with waitpid on POSIX, CreateProcess on Windows, each child
// bounded by a deadline.
#include "tests/test_support.hpp"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <thread>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tests/program_launcher.hpp"

namespace qm5::test {

namespace fs = std::filesystem;

namespace {
std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The program's path and arguments behind the build's launcher words.
std::vector<std::string> commandWords(const std::string& program, const std::vector<std::string>& args,
                                      bool launched = true) {
    std::vector<std::string> words;
    for (const char* const* w = kProgramLauncher; launched && *w != nullptr; ++w) words.emplace_back(*w);
    words.push_back(launched ? fs::absolute(fs::path(program)).string() : program);
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

// "qm5 encode a.bmp -o a.qm5", for messages: the program's name and what it
// was given.
std::string describe(const std::string& program, const std::vector<std::string>& args) {
    std::string text = fs::path(program).filename().string();
    for (const std::string& arg : args) text += " " + arg;
    return text;
}

std::string overrun(const std::string& what, std::chrono::milliseconds deadline) {
    const auto ms = deadline.count();
    const std::string time = ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
    return what + ": still running after " + time + ", killed";
}

#if !defined(_WIN32)
// In the child: becomes program (behind the build's launcher) with args, or
// ends with status 127.
[[noreturn]] void execute(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> words = commandWords(program, args);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    // A launcher given by name (not a path) is looked up in PATH.
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}
#endif
}  // namespace

#if defined(_WIN32)

namespace {

// Undoes text mode's "\n" -> "\r\n"; a '\r' of the program's own stays.
std::string fromTextMode(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        text += bytes[i];
    }
    return text;
}

// One argument as the C runtime's command-line parser reads it back.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring q = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal except before a quote, where they double.
        q.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        q += c;
    }
    q.append(2 * backslashes, L'\\');
    return q + L'"';
}

HANDLE openInheritable(const fs::path& path, bool forWriting) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return ::CreateFileW(path.wstring().c_str(), forWriting ? GENERIC_WRITE : GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, forWriting ? CREATE_ALWAYS : OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                     const std::string& input) {
    return runProgram(program, args, cwd, input, RunLimits{});
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                     const std::string& input, const RunLimits& limits) {
    if (limits.maxFileSize != 0) throw std::logic_error("no file size limit for a process on Windows");
    TempDir io;
    const fs::path inPath = io / "stdin";
    const fs::path outPath = io / "stdout";
    const fs::path errPath = io / "stderr";
    writeText(inPath, input);
    std::wstring commandLine;
    for (const std::string& word : commandWords(program, args)) {
        if (!commandLine.empty()) commandLine += L' ';
        commandLine += quoted(fs::path(word).wstring());
    }
    HANDLE handles[3] = {openInheritable(inPath, false), openInheritable(outPath, true),
                         openInheritable(errPath, true)};
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = handles[0];
    startup.hStdOutput = handles[1];
    startup.hStdError = handles[2];
    PROCESS_INFORMATION process{};
    bool started = false;
    DWORD error = ::GetLastError();
    if (handles[0] != INVALID_HANDLE_VALUE && handles[1] != INVALID_HANDLE_VALUE &&
        handles[2] != INVALID_HANDLE_VALUE) {
        std::fflush(stdout);
        std::fflush(stderr);
        // The child shares this program's console, if any: with
        // CREATE_NO_WINDOW Wine gives it a console host of its own, which
        // inherits the redirected files and holds them after the child ends.
        started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                   cwd.wstring().c_str(), &startup, &process) != 0;
        error = ::GetLastError();
    }
    for (HANDLE h : handles) {
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
    if (!started) {
        // What the system wrote on the way (Wine's loader writes there).
        throw std::runtime_error("cannot start " + program + " (Windows error " + std::to_string(error) + ")" +
                                 fromTextMode(slurp(errPath)));
    }
    const auto waitMs = static_cast<DWORD>(std::min<long long>(limits.deadline.count(), INFINITE - 1));
    if (::WaitForSingleObject(process.hProcess, waitMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        ::WaitForSingleObject(process.hProcess, 10000);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
        throw std::runtime_error(overrun(describe(program, args), limits.deadline));
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    RunResult result;
    result.exitCode = static_cast<int>(code);
    result.out = fromTextMode(slurp(outPath));
    result.err = fromTextMode(slurp(errPath));
    return result;
}

#else

namespace {
using Clock = std::chrono::steady_clock;

// Appends what fd gives until its end (for a terminal: until its last
// writer closed it); false when the deadline came first.
bool readUntil(int fd, std::string& into, Clock::time_point end) {
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return false;
        pollfd ready{fd, POLLIN, 0};
        const int n = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (n == 0 || (n < 0 && errno == EINTR)) continue;
        if (n < 0) return true;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) into.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR) return true;
    }
}

struct Descriptor {
    int fd;
    ~Descriptor() { ::close(fd); }
};

// The child and everything it started (its process group, when it leads
// one), killed and reaped.
void killChild(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Waits for pid until end (deadline after its start); see waitWithin.
int waitUntil(pid_t pid, const std::string& what, Clock::time_point end, std::chrono::milliseconds deadline) {
    // Most programs end within milliseconds: look often at first, then
    // every few milliseconds.
    std::chrono::microseconds pause(20);
    for (;;) {
        int status = 0;
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) return status;
        if (got < 0 && errno != EINTR) throw std::runtime_error(what + ": cannot be waited for");
        if (Clock::now() >= end) break;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(5));
    }
    killChild(pid);
    throw std::runtime_error(overrun(what, deadline));
}
}  // namespace

int waitWithin(int pid, const std::string& what, std::chrono::milliseconds deadline) {
    return waitUntil(pid, what, Clock::now() + deadline, deadline);
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                     const std::string& input) {
    return runProgram(program, args, cwd, input, RunLimits{});
}

std::string shellCommand(const std::string& program) {
    std::string command;
    for (const std::string& word : commandWords(program, {})) {
        std::string quoted = "'";
        for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += (command.empty() ? "" : " ") + quoted + "'";
    }
    return command;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                     const std::string& input, const RunLimits& limits) {
    TempDir io;
    const fs::path inPath = io / "stdin";
    const fs::path outPath = io / "stdout";
    const fs::path errPath = io / "stderr";
    writeText(inPath, input);
    std::vector<std::string> words = commandWords(program, args, !limits.hostProgram);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    RunResult result;
    // Buffered output would otherwise be written twice, once by the child.
    std::fflush(stdout);
    std::fflush(stderr);
    const bool pipeOut = limits.maxFileSize != 0;
    int outPipe[2] = {-1, -1};
    if (pipeOut && ::pipe(outPipe) != 0) throw std::runtime_error("pipe failed");
    const Clock::time_point end = Clock::now() + limits.deadline;
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        // A group of its own, so that a program killed at the deadline
        // takes what it started (a shell's pipeline) along.
        ::setpgid(0, 0);
        if (::chdir(cwd.c_str()) != 0) ::_exit(126);
        for (const int sig : {SIGXFSZ, SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(sig, SIG_DFL);
        if (limits.stdinFd >= 0) {
            if (::dup2(limits.stdinFd, STDIN_FILENO) < 0) ::_exit(126);
        } else if (!std::freopen(inPath.c_str(), "rb", stdin)) {
            ::_exit(126);
        }
        if (pipeOut) {
            if (::dup2(outPipe[1], STDOUT_FILENO) < 0) ::_exit(126);
            ::close(outPipe[0]);
            ::close(outPipe[1]);
        } else if (!std::freopen(outPath.c_str(), "wb", stdout)) {
            ::_exit(126);
        }
        if (!std::freopen(errPath.c_str(), "wb", stderr)) ::_exit(126);
        if (limits.maxFileSize != 0) {
            const rlimit size{static_cast<rlim_t>(limits.maxFileSize), static_cast<rlim_t>(limits.maxFileSize)};
            if (::setrlimit(RLIMIT_FSIZE, &size) != 0) ::_exit(126);
        }
        // A launcher given by name (not a path) is looked up in PATH.
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    if (limits.whileRunning) limits.whileRunning(static_cast<int>(pid));
    const std::string what = describe(program, args);
    std::string piped;
    if (pipeOut) {
        ::close(outPipe[1]);
        const bool ended = readUntil(outPipe[0], piped, end);
        ::close(outPipe[0]);
        if (!ended) {
            killChild(pid);
            throw std::runtime_error(overrun(what, limits.deadline));
        }
    }
    const int status = waitUntil(pid, what, end, limits.deadline);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = pipeOut ? piped : slurp(outPath);
    result.err = slurp(errPath);
    return result;
}

TerminalRun runOnTerminal(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                          bool outputToo) {
    TempDir io;
    const fs::path outPath = io / "stdout";
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("no pseudo-terminal");
    const std::string slaveName = ::ptsname(master);
    std::fflush(stdout);
    std::fflush(stderr);
    const auto start = Clock::now();
    const Clock::time_point end = start + kProgramDeadline;
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::setsid();
        const int slave = ::open(slaveName.c_str(), O_RDWR);
        termios raw{};
        if (slave < 0 || ::tcgetattr(slave, &raw) != 0) ::_exit(126);
        ::cfmakeraw(&raw);
        if (::tcsetattr(slave, TCSANOW, &raw) != 0) ::_exit(126);
        if (::chdir(cwd.c_str()) != 0 || !std::freopen("/dev/null", "rb", stdin)) ::_exit(126);
        if (outputToo ? ::dup2(slave, STDOUT_FILENO) < 0 : !std::freopen(outPath.c_str(), "wb", stdout)) ::_exit(126);
        if (::dup2(slave, STDERR_FILENO) < 0) ::_exit(126);
        ::close(slave);
        ::close(master);
        execute(program, args);
    }
    // Read while the program writes; the read fails (EIO) once it has closed the terminal.
    TerminalRun result;
    const std::string what = describe(program, args);
    // The terminal is closed on the way out, once the program has ended:
    // closing it earlier would hang it up (SIGHUP) under a program that is
    // still finishing.
    const Descriptor terminal{master};
    if (!readUntil(master, result.err, end)) {
        killChild(pid);
        throw std::runtime_error(overrun(what, kProgramDeadline));
    }
    const int status = waitUntil(pid, what, end, kProgramDeadline);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (!outputToo) result.out = slurp(outPath);
    return result;
}
#endif

}  // namespace qm5::test

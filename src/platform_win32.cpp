// The platform seam on Windows: UTF-8 names inside the program, the wide-character API at the
// system, binary streams everywhere, and the same messages as the POSIX build.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <windows.h>

#include <shellapi.h>

namespace {

std::wstring wide(const char* utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring text(n > 0 ? size_t(n) : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &text[0], n);
    text.resize(wcslen(text.c_str()));
    return text;
}

std::string utf8(const wchar_t* text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? size_t(n) : 1, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(strlen(out.c_str()));
    return out;
}

// Failures Windows has and the C library has no errno for: values of our own, with texts below.
constexpr int error_in_use = 10001;          // another program holds the file open
constexpr int error_device_name = 10002;     // a name the system keeps for a device
constexpr int error_name_end = 10003;        // a name ending in a dot or a blank, which Windows drops
constexpr int error_name_character = 10004;  // a character Windows forbids in names

// The errno a Win32 error stands for, as the C library would map it.
int errno_of(DWORD error)
{
    switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return error_in_use;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    default:
        return EIO;
    }
}

// Names the system keeps for devices, with or without an extension: opening one reaches the
// device, never a file.
bool is_device_name(const char* name)
{
    static const char* const devices[] = {"CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3",   "COM4",
                                          "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2",   "LPT3",
                                          "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9", "CONIN$", "CONOUT$"};
    size_t stem = strcspn(name, ".");
    while (stem > 0 && name[stem - 1] == ' ')
        stem--;
    for (const char* device : devices)
        if (strlen(device) == stem && _strnicmp(name, device, stem) == 0)
            return true;
    return false;
}

bool (*ending_hook)() = nullptr;

// Ctrl-C, Ctrl-Break or closing the console: let the program clean up, then end as the console
// would have ended the process, now or when the program says it may. The handler runs on a thread
// of its own; returning leaves the process running.
BOOL WINAPI end_by_console_event(DWORD)
{
    if (ending_hook())
        end_as_signalled();
    Sleep(INFINITE);  // the creation under way ends the process
    return TRUE;
}

const char* known_error_text(int error)
{
    // The texts of the GNU C library, so that both builds say the same.
    switch (error) {
    case ENOENT:
        return "No such file or directory";
    case EACCES:
        return "Permission denied";
    case EEXIST:
        return "File exists";
    case ENOTDIR:
        return "Not a directory";
    case EISDIR:
        return "Is a directory";
    case ENOSPC:
        return "No space left on device";
    case EMFILE:
        return "Too many open files";
    case ENFILE:
        return "Too many open files in system";
    case ENOMEM:
        return "Cannot allocate memory";
    case ENAMETOOLONG:
        return "File name too long";
    case EFBIG:
        return "File too large";
    case EINVAL:
        return "Invalid argument";
    case EIO:
        return "Input/output error";
    case EINTR:
        return "Interrupted system call";
    case error_in_use:
        return "another program has the file open; close it and convert again";
    case error_device_name:
        return "Windows keeps this name for a device; rename the input";
    case error_name_end:
        return "Windows opens another file for a name ending in a dot or a blank; rename the input";
    case error_name_character:
        return "Windows cannot open a name holding : * ? < > | or \"; rename the input";
    case error_temporary_replaced:
        return "another program replaced the temporary file; not put in place";
    default:
        return nullptr;
    }
}

}  // namespace

void platform_arguments(int* argc, char*** argv)
{
    // The C runtime's arguments are in the ANSI code page; the wide ones hold every name.
    int n = 0;
    wchar_t** wide_argv = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide_argv)
        return;
    char** args = new char*[size_t(n) + 1];
    for (int i = 0; i < n; i++) {
        std::string text = utf8(wide_argv[i]);
        args[i] = new char[text.size() + 1];
        memcpy(args[i], text.c_str(), text.size() + 1);
    }
    args[n] = nullptr;
    LocalFree(wide_argv);
    *argc = n;
    *argv = args;
}

void end_as_signalled()
{
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

uint32_t random_token()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    uintptr_t place = reinterpret_cast<uintptr_t>(&now);
    return uint32_t(now.QuadPart) ^ uint32_t(now.QuadPart >> 32) ^ uint32_t(GetTickCount() * 2654435761u) ^
           uint32_t(place >> 4) ^ uint32_t(GetCurrentThreadId() * 40503u);
}

int prepare_process(bool (*on_ending)())
{
    ending_hook = on_ending;
    // A descriptor left closed would be the next file opened.
    int closed = 0;
    for (int fd = 0; fd <= 2; fd++) {
        if (_get_osfhandle(fd) != -1 && _get_osfhandle(fd) != -2)
            continue;
        closed |= 1 << fd;
        int none = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (none >= 0 && none != fd) {
            _dup2(none, fd);
            _close(none);
        }
    }
    // Console text and every file keep their exact bytes: no "\n" becomes "\r\n".
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
    if (closed & 2)
        freopen("NUL", "wb", stdout);
    if (closed & 4)
        freopen("NUL", "wb", stderr);
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCtrlHandler(end_by_console_event, TRUE);
    return closed;
}

void wait_before_own_console_closes()
{
    DWORD processes[2];
    DWORD mode;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    // The console's only process is this one, and a person can answer at it.
    if (GetConsoleProcessList(processes, 2) != 1 || !GetConsoleMode(input, &mode))
        return;
    fputs("\nPress a key to close this window.", stderr);
    fflush(stderr);
    FlushConsoleInputBuffer(input);
    SetConsoleMode(input, 0);
    INPUT_RECORD record;
    DWORD read = 0;
    while (ReadConsoleInputW(input, &record, 1, &read) && read == 1)
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
            break;
}

bool stdout_is_terminal()
{
    return _isatty(1) != 0;
}

int change_folder(const char* folder, int* error)
{
    if (_wchdir(wide(folder).c_str()) == 0)
        return 0;
    *error = errno;
    return -1;
}

int folder_path_fits(const char* path, size_t longest)
{
    // Without the \\?\ form, the system makes no folder whose full path passes MAX_PATH less 12.
    wchar_t full[MAX_PATH * 4];
    if (!_wfullpath(full, wide(path).c_str(), sizeof full / sizeof full[0]))
        return ENAMETOOLONG;
    size_t length = wcslen(full);
    return length + 64 <= longest && length <= MAX_PATH - 12 ? 0 : ENAMETOOLONG;
}

int make_folder(const char* path)
{
    if (CreateDirectoryW(wide(path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;
    return errno_of(GetLastError());
}

int absolute_folder(const char* path, std::string* absolute)
{
    wchar_t full[MAX_PATH * 4];
    if (!_wfullpath(full, wide(path).c_str(), sizeof full / sizeof full[0]))
        return ENAMETOOLONG;
    DWORD attributes = GetFileAttributesW(full);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return errno_of(GetLastError());
    *absolute = utf8(full);
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? 0 : ENOTDIR;
}

int list_directory(std::vector<std::string>* names)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(L"*", &entry);
    if (find == INVALID_HANDLE_VALUE) {
        errno = errno_of(GetLastError());
        perror("opendir");
        return -1;
    }
    do
        names->push_back(utf8(entry.cFileName));
    while (FindNextFileW(find, &entry));
    FindClose(find);
    return 0;
}

int name_refused(const char* name)
{
    const char* base = name;
    for (const char* p = name; *p; p++)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    if (is_device_name(base))
        return error_device_name;
    if (strpbrk(base, ":*?<>|\""))
        return error_name_character;
    size_t n = strlen(base);
    if (n > 0 && (base[n - 1] == '.' || base[n - 1] == ' ') && strcmp(base, ".") != 0 && strcmp(base, "..") != 0)
        return error_name_end;
    return 0;
}

int open_input(const char* name, int* fd, std::string* reason, int* error)
{
    *error = 0;
    if (int refused = name_refused(name)) {
        *reason = known_error_text(refused);
        return -1;
    }
    std::wstring path = wide(name);
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *error = errno_of(GetLastError());
        *reason = error_text(*error);
        return -1;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        *reason = "Is a directory";
        return -1;
    }
    int f = _wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (f < 0) {
        *error = errno;
        *reason = error_text(*error);
        return -1;
    }
    // Swapped for something else between the two looks: only a file on a disk is read.
    if (GetFileType(HANDLE(_get_osfhandle(f))) != FILE_TYPE_DISK) {
        _close(f);
        *reason = "Not a regular file";
        return -1;
    }
    *fd = f;
    return 0;
}

void close_input(int fd)
{
    if (fd >= 0)
        _close(fd);
}

long long file_size(int fd)
{
    return _filelengthi64(fd);
}

int file_read_at(int fd, uint64_t offset, void* buffer, size_t n, size_t* got)
{
    // An input is read by one thread at a time, so seek and read make a positioned read.
    if (_lseeki64(fd, (long long)offset, SEEK_SET) < 0)
        return errno;
    int r = _read(fd, buffer, n > (1u << 30) ? (1u << 30) : unsigned(n));
    if (r < 0)
        return errno;
    *got = size_t(r);
    return 0;
}

namespace {

file_identity identity_of(const BY_HANDLE_FILE_INFORMATION& info)
{
    return file_identity{info.dwVolumeSerialNumber, uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

}  // namespace

int file_create_new(const char* path, int* fd, file_identity* id)
{
    std::wstring name = wide(path);
    *fd = _wopen(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (*fd < 0)
        return errno;
    SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_HIDDEN);  // as a dot file is elsewhere
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(HANDLE(_get_osfhandle(*fd)), &info)) {
        int error = errno_of(GetLastError());
        _close(*fd);
        _wunlink(name.c_str());
        return error;
    }
    *id = identity_of(info);
    return 0;
}

namespace {

// What the system knows of the entry path names, opened with flags (a folder included). Returns 0
// or an errno.
int entry_information(const char* path, DWORD flags, BY_HANDLE_FILE_INFORMATION* info)
{
    HANDLE h = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return errno_of(GetLastError());
    BOOL got = GetFileInformationByHandle(h, info);
    CloseHandle(h);
    return got ? 0 : EIO;
}

}  // namespace

int path_identity(const char* path, file_identity* id)
{
    BY_HANDLE_FILE_INFORMATION info;
    int error = entry_information(path, 0, &info);
    if (error == 0)
        *id = identity_of(info);
    return error;
}

int name_identity(const char* path, file_identity* id)
{
    // The entry itself, a link or junction included, never what it points to.
    BY_HANDLE_FILE_INFORMATION info;
    int error = entry_information(path, FILE_FLAG_OPEN_REPARSE_POINT, &info);
    if (error != 0)
        return error;
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        return info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT ? ELOOP : EINVAL;
    *id = identity_of(info);
    return 0;
}

void file_take_attributes(int, const char*)
{
    // A replaced file's access list stays with the folder's; MoveFileEx keeps nothing else.
}

int file_write(int fd, const void* data, size_t n, size_t* put)
{
    int w = _write(fd, data, n > (1u << 30) ? (1u << 30) : unsigned(n));
    if (w < 0)
        return errno;
    *put = size_t(w);
    return 0;
}

int file_reserve(int, uint64_t)
{
    return ENOSYS;
}

int file_truncate(int fd, uint64_t size)
{
    return _chsize_s(fd, (long long)size);
}

int file_close(int fd)
{
    return _close(fd) == 0 ? 0 : errno;
}

int file_link(const char* existing, const char* new_name)
{
    if (CreateHardLinkW(wide(new_name).c_str(), wide(existing).c_str(), nullptr))
        return 0;
    return errno_of(GetLastError());
}

int file_replace(const char* temp, const char* final_name)
{
    std::wstring from = wide(temp), to = wide(final_name);
    SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_NORMAL);
    // A read-only file is replaced, as on other systems, and the new file is read-only in its turn.
    DWORD before = GetFileAttributesW(to.c_str());
    bool read_only =
        before != INVALID_FILE_ATTRIBUTES && !(before & FILE_ATTRIBUTE_DIRECTORY) && (before & FILE_ATTRIBUTE_READONLY);
    if (read_only)
        SetFileAttributesW(to.c_str(), before & ~DWORD(FILE_ATTRIBUTE_READONLY));
    // Replaces a file of that name in one step; a file another program holds open is refused.
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        int error = errno_of(GetLastError());
        if (read_only)
            SetFileAttributesW(to.c_str(), before);
        return error;
    }
    if (read_only)
        SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_READONLY);
    return 0;
}

void file_remove(const char* path)
{
    std::wstring name = wide(path);
    SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
    _wunlink(name.c_str());
}

unsigned long process_number()
{
    return GetCurrentProcessId();
}

int output_target_usable(const char* final_name, int* error)
{
    const char* base = final_name;
    for (const char* p = final_name; *p; p++)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    if (int refused = name_refused(base)) {
        *error = refused;
        return -1;
    }
    if (strlen(base) > 255) {
        *error = ENAMETOOLONG;
        return -1;
    }
    DWORD attributes = GetFileAttributesW(wide(final_name).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *error = EISDIR;
        return -1;
    }
    return 0;
}

bool is_shortage(int error)
{
    return error == ENOSPC || error == EMFILE || error == ENFILE || error == ENOMEM;
}

std::string output_name_key(const std::string& name)
{
    // Windows file names ignore case: M_T.obj and m_t.OBJ are one file.
    std::wstring text = wide(name.c_str());
    CharLowerBuffW(&text[0], DWORD(text.size()));
    return utf8(text.c_str());
}

std::string error_text(int error)
{
    if (const char* known = known_error_text(error))
        return known;
    return strerror(error);
}

int processor_count()
{
    // The processors this process may run on, not all the machine's.
    DWORD_PTR allowed = 0, all = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &allowed, &all) && allowed != 0) {
        int n = 0;
        for (; allowed != 0; allowed &= allowed - 1)
            n++;
        return n;
    }
    unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? int(n) : 1;
}

int start_worker(void (*body)(void*), void* argument, worker_thread* worker)
{
    // The system frees a thread's stack when the thread ends.
    try {
        worker->system = new std::thread(body, argument);
    } catch (const std::exception&) {
        return -1;
    }
    return 0;
}

void join_worker(worker_thread* worker)
{
    std::thread* t = static_cast<std::thread*>(worker->system);
    if (!t)
        return;
    t->join();
    delete t;
    worker->system = nullptr;
}

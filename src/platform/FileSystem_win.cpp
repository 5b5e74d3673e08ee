#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include "Win32Support_win.h"

// After <windows.h>: the header's DeleteFile is the program's own, not the Win32 macro.
#undef DeleteFile
#include "FileSystem.h"

#include "FileSystem_p.h"

#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <memory>

// The Windows half. What POSIX gets from O_NOFOLLOW, O_EXCL and fstat, Windows gets from
// FILE_FLAG_OPEN_REPARSE_POINT (a link or junction is opened itself, and then refused by its
// attributes), CREATE_NEW and GetFileInformationByHandle (volume serial number and file index).

namespace {

const QString kLinkRefused = QStringLiteral("Is a symbolic link");
const QString kNotRegular = QStringLiteral("Not a regular file");
const QString kNotOwn = QStringLiteral("Not the file this download created");

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Owns a handle for the length of a scope.
class Handle {
public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Handle() {
        if (valid())
            CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE release() {
        const HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }

private:
    HANDLE h_;
};

// What stands at the path itself: a link or a junction (a reparse point) is reported as
// itself, never as what it leads to.
struct Entry {
    bool exists = false;
    DWORD attributes = 0;
    bool isLink() const { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
    bool isDirectory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

Entry entryAt(const std::wstring& path) {
    Entry e;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        e.exists = true;
        e.attributes = data.dwFileAttributes;
    }
    return e;
}

FileIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return FileIdentity{info.dwVolumeSerialNumber,
                        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
                            info.nFileIndexLow};
}

// The handle's own answer counts: the name may have changed between a look and the open.
bool isRegularHandle(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
    return GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, info) &&
           (info->dwFileAttributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// Opens the entry at path itself (never through a reparse point) with the given access.
HANDLE openEntry(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool regularFile(const QString& path, BY_HANDLE_FILE_INFORMATION* info) {
    if (path.isEmpty())
        return false;
    const std::wstring native = Win32Path(path);
    const Entry e = entryAt(native);
    // Checked by name first so that a device is not even opened.
    if (!e.exists || e.isLink() || e.isDirectory())
        return false;
    const Handle h(openEntry(native, FILE_READ_ATTRIBUTES));
    return h.valid() && isRegularHandle(h.get(), info);
}

OpenedFile failure(int error, const QString& reason = {}) {
    OpenedFile f;
    f.error = error;
    f.reason = reason.isEmpty() ? SystemErrorText(error) : reason;
    return f;
}

// A Win32 error as the log gives it: the C runtime's words for the errno it stands for, which
// are the POSIX half's ("Permission denied", "File exists"), or the system's own text for the
// rest.
OpenedFile win32Failure(DWORD error) {
    const int mapped = ErrnoFromWin32(error);
    return failure(mapped, mapped == EIO ? Win32ErrorText(error) : QString());
}

QString win32Reason(DWORD error) {
    return win32Failure(error).reason;
}

// Hands the handle over to a C runtime descriptor; -1 (and the handle closed) when it cannot.
int toDescriptor(Handle& h, bool append) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h.get()), append ? _O_APPEND : 0);
    if (fd >= 0)
        h.release();
    return fd;
}

// The opened file of a write, its handle handed over to a C runtime descriptor.
OpenedFile handedOver(Handle& h, bool append, const BY_HANDLE_FILE_INFORMATION& info) {
    const int fd = toDescriptor(h, append);
    if (fd < 0)
        return failure(EMFILE);
    OpenedFile f;
    f.fd = fd;
    f.identity = identityOf(info);
    return f;
}

// The regular file at path opened for reading, when it is the file with this identity; the
// check is made on the handle, so whatever is swapped in at the name afterwards is not read.
HANDLE openOwnForReading(const QString& path, const FileIdentity& identity, CopyOutcome* outcome) {
    Handle h(path.isEmpty() ? INVALID_HANDLE_VALUE
                            : CreateFileW(Win32Path(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h.valid()) {
        if (outcome) {
            outcome->result = CopyOutcome::SourceMissing;
            outcome->reason = win32Reason(GetLastError());
        }
        return INVALID_HANDLE_VALUE;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!isRegularHandle(h.get(), &info) || identityOf(info) != identity) {
        if (outcome) {
            outcome->result = CopyOutcome::NotOwnFile;
            outcome->reason = kNotOwn;
        }
        return INVALID_HANDLE_VALUE;
    }
    return h.release();
}

bool readSome(HANDLE h, char* buffer, std::int64_t size, DWORD* got) {
    return ReadFile(h, buffer, static_cast<DWORD>(std::min<std::int64_t>(size, 1 << 30)), got,
                    nullptr) != 0;
}

// The handle's reads as the shared loops take them.
auto reader(HANDLE h) {
    return [h](char* buffer, std::int64_t size) -> std::int64_t {
        DWORD got = 0;
        return readSome(h, buffer, size, &got) ? static_cast<std::int64_t>(got) : -1;
    };
}

bool writeAll(HANDLE h, const char* data, std::int64_t size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(h, data, static_cast<DWORD>(std::min<std::int64_t>(size, 1 << 30)), &written,
                       nullptr) ||
            written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

// The current user's SID as text ("S-1-5-21-…"), or empty.
QString currentUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    Handle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0)
        return {};
    const std::unique_ptr<char[]> buffer(new char[size]);
    if (!GetTokenInformation(token, TokenUser, buffer.get(), size, &size))
        return {};
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid, &text))
        return {};
    const QString sid = QString::fromWCharArray(text);
    LocalFree(text);
    return sid;
}

// A security descriptor that makes the current user the owner and gives access to nobody else
// (a protected DACL: nothing inherited from the parent folder); inherited by what is created in
// a folder made with it. Empty (and the reason in GetLastError) when it cannot be built.
class PrivateAccess {
public:
    explicit PrivateAccess(bool inherited) {
        const QString sid = currentUserSid();
        const QString sddl =
            QStringLiteral("O:%1D:P(A;%2;FA;;;%1)").arg(sid, inherited ? u"OICI" : u"");
        if (!sid.isEmpty())
            ConvertStringSecurityDescriptorToSecurityDescriptorW(
                reinterpret_cast<const wchar_t*>(sddl.utf16()), SDDL_REVISION_1, &descriptor_,
                nullptr);
        attributes_ = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), descriptor_, FALSE};
    }
    ~PrivateAccess() {
        if (descriptor_)
            LocalFree(descriptor_);
    }
    PrivateAccess(const PrivateAccess&) = delete;
    PrivateAccess& operator=(const PrivateAccess&) = delete;
    SECURITY_ATTRIBUTES* get() { return descriptor_ ? &attributes_ : nullptr; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{};
};

// The program's own download: see OpenFileForWriting.
OpenedFile openOwnForWriting(const std::wstring& native, WriteOpenMode mode, OwnFile& own) {
    const bool create = mode == WriteOpenMode::CreateOrTruncate && !own.identity;
    if (mode == WriteOpenMode::AppendExisting && !own.identity)
        return failure(ENOENT); // nothing was created to append to
    // CREATE_NEW fails on anything at the name, a dangling link included; an existing file is
    // opened itself, never through a link, and must then be own's file. A new one is the user's
    // alone, as the POSIX half's mode 0600 makes it.
    PrivateAccess access(false);
    if (create && !access.get())
        return win32Failure(GetLastError());
    Handle h(CreateFileW(native.c_str(), GENERIC_WRITE, kShareAll, create ? access.get() : nullptr,
                         create ? CREATE_NEW : OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h.valid())
        return win32Failure(GetLastError());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!isRegularHandle(h.get(), &info) || (!create && identityOf(info) != *own.identity))
        return failure(EINVAL, kNotOwn);
    if (mode == WriteOpenMode::CreateOrTruncate && !create && !SetEndOfFile(h.get()))
        return win32Failure(GetLastError());
    if (create) {
        own.identity = identityOf(info);
        if (own.onCreated)
            own.onCreated();
    }
    return handedOver(h, mode == WriteOpenMode::AppendExisting, info);
}

// True when the folder opened as h is owned by the user with this SID.
bool ownedBy(HANDLE h, const QString& sid) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool same = false;
    wchar_t* text = nullptr;
    if (owner && ConvertSidToStringSidW(owner, &text)) {
        same = QString::fromWCharArray(text) == sid;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return same;
}

} // namespace

bool FileExists(const QString& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    return regularFile(path, &info);
}

std::int64_t FileSize(const QString& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!regularFile(path, &info))
        return 0;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                     info.nFileSizeLow);
}

bool DeleteFile(const QString& path) {
    if (path.isEmpty())
        return false;
    const std::wstring native = Win32Path(path);
    const Entry e = entryAt(native);
    if (!e.exists)
        return false;
    // A link or a junction to a folder is removed itself, as a link is on POSIX; the folder it
    // leads to and whatever it holds stay. A real folder is never removed.
    if (e.isLink() && e.isDirectory())
        return RemoveDirectoryW(native.c_str()) != 0;
    if (e.isDirectory())
        return false;
    return DeleteFileW(native.c_str()) != 0; // a file link goes, its target stays
}

bool MakeExecutableByOwner(const QString& path) {
    // Windows runs a program by its name and content; there is no bit to set. What the POSIX
    // half refuses is refused here too.
    return FileExists(path);
}

OpenedFile OpenFileForWriting(const QString& path, WriteOpenMode mode, OwnFile* own) {
    if (path.isEmpty())
        return failure(ENOENT);
    const std::wstring native = Win32Path(path);
    if (own)
        return openOwnForWriting(native, mode, *own);
    const Entry e = entryAt(native);
    if (e.exists) {
        if (e.isLink())
            return failure(ELOOP, kLinkRefused);
        if (e.isDirectory())
            return failure(EISDIR, kNotRegular);
    }
    const bool create = mode == WriteOpenMode::CreateOrTruncate;
    // OPEN_ALWAYS, not CREATE_ALWAYS: nothing is emptied before the handle shows a regular
    // file. Others may read or delete it meanwhile, as on POSIX: a clean-up at the end of the
    // session must be able to remove a half-written file that is still open.
    Handle h(CreateFileW(native.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                         create ? OPEN_ALWAYS : OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h.valid())
        return win32Failure(GetLastError());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!isRegularHandle(h.get(), &info)) {
        const bool link = GetFileInformationByHandle(h.get(), &info) &&
                          (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        return link ? failure(ELOOP, kLinkRefused) : failure(EINVAL, kNotRegular);
    }
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(h.get(), zero, nullptr, create ? FILE_BEGIN : FILE_END) ||
        (create && !SetEndOfFile(h.get())))
        return win32Failure(GetLastError());
    // The C runtime's descriptor owns the handle from now on; appending goes to the end before
    // every write, as O_APPEND does.
    return handedOver(h, !create, info);
}

void CloseFileDescriptor(int fd) {
    if (fd >= 0)
        _close(fd);
}

std::FILE* CreateFileStream(const QString& path) {
    const OpenedFile opened = OpenFileForWriting(path, WriteOpenMode::CreateOrTruncate);
    if (opened.fd < 0)
        return nullptr;
    std::FILE* stream = _fdopen(opened.fd, "wb");
    if (!stream)
        _close(opened.fd);
    return stream;
}

QString SystemErrorText(int error) {
    // The callers hand errno values, which the C runtime sets from the system's errors; its
    // texts are English and fixed, the same words the POSIX half gives for the common ones.
    const char* text = std::strerror(error);
    if (text && *text)
        return QString::fromLocal8Bit(text);
    return QStringLiteral("Error %1").arg(error);
}

namespace {

// Opens path for reading and checks that it is a regular file (a link is followed). Returns
// the handle or INVALID_HANDLE_VALUE with the reason set.
HANDLE openRegularForReading(const QString& path, FileContents& result) {
    if (NamesNothing(path, result))
        return INVALID_HANDLE_VALUE;
    Handle h(CreateFileW(Win32Path(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.valid()) {
        const DWORD error = GetLastError();
        result.missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        result.reason = result.missing ? QStringLiteral("not found") : win32Reason(error);
        return INVALID_HANDLE_VALUE;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    // The handle is the file the link leads to: a reparse point here would be one that could
    // not be followed.
    if (!isRegularHandle(h.get(), &info)) {
        result.reason = QStringLiteral("not a regular file");
        return INVALID_HANDLE_VALUE;
    }
    return h.release();
}

} // namespace

FileContents ReadRegularFile(const QString& path, std::int64_t maxBytes) {
    FileContents result;
    const Handle h(openRegularForReading(path, result));
    if (!h.valid())
        return result;
    LARGE_INTEGER size{};
    const std::int64_t claimed = GetFileSizeEx(h.get(), &size) ? size.QuadPart : 0;
    if (!ReadWhole(reader(h.get()), claimed, maxBytes, result))
        result.reason = win32Reason(GetLastError());
    return result;
}

QString RegularFileProblem(const QString& path) {
    FileContents result;
    const Handle h(openRegularForReading(path, result));
    return h.valid() ? QString() : result.reason;
}

std::optional<FileIdentity> RegularFileIdentity(const QString& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!regularFile(path, &info))
        return std::nullopt;
    return identityOf(info);
}

bool PathTaken(const QString& path) {
    return !path.isEmpty() && entryAt(Win32Path(path)).exists;
}

bool DeleteOwnFile(const QString& path, const FileIdentity& identity) {
    return !path.isEmpty() &&
           DeleteRegularFileWithIdentity(Win32Path(path).c_str(), identity.volume, identity.index);
}

std::optional<QString> SetAside(const QString& path, QString* reason) {
    const std::wstring from = Win32Path(path);
    DWORD error = ERROR_FILE_NOT_FOUND;
    for (int n = 1; !path.isEmpty() && n <= MaxSetAsideNumber; ++n) {
        const QString target = path + QStringLiteral(".set-aside-%1").arg(n);
        // Without MOVEFILE_REPLACE_EXISTING: never over anything, an earlier set-aside or a
        // name someone placed there stays. A link is moved itself.
        if (MoveFileExW(from.c_str(), Win32Path(target).c_str(), 0))
            return target;
        error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
            break;
    }
    if (reason)
        *reason = win32Reason(error);
    return std::nullopt;
}

std::optional<QString> CreatePrivateFolder(const QString& prefix, QString* reason) {
    // Owned by this user, who alone may enter it, and so for whatever is created in it.
    PrivateAccess access(true);
    if (!access.get()) {
        if (reason)
            *reason = win32Reason(GetLastError());
        return std::nullopt;
    }
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < 100 && error == ERROR_ALREADY_EXISTS; ++attempt) {
        QString name = prefix;
        for (int i = 0; i < 6; ++i)
            name += QLatin1Char(kLetters[QRandomGenerator::system()->bounded(36)]);
        if (CreateDirectoryW(Win32Path(name).c_str(), access.get()))
            return name;
        error = GetLastError();
    }
    if (reason)
        *reason = win32Reason(error);
    return std::nullopt;
}

bool RemoveFolderWithFiles(const QString& folder) {
    if (folder.isEmpty())
        return false;
    const std::wstring native = Win32Path(folder);
    const Entry e = entryAt(native);
    // A junction in the folder's place is no folder: what it leads to is not listed.
    if (e.exists && e.isDirectory() && !e.isLink()) {
        WIN32_FIND_DATAW found{};
        const HANDLE search = FindFirstFileExW((native + L"\\*").c_str(), FindExInfoBasic, &found,
                                               FindExSearchNameMatch, nullptr, 0);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                // Only the regular files directly in it; links, junctions and folders stay.
                if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY |
                                              FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
                    continue;
                DeleteFileW((native + L"\\" + found.cFileName).c_str());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(native.c_str());
    }
    return !entryAt(native).exists;
}

QStringList FoldersNamedLike(const QString& parent, const QString& prefix) {
    QStringList found;
    const QString base = parent.isEmpty() ? QStringLiteral(".") : parent;
    const std::wstring native = Win32Path(base);
    const Entry e = entryAt(native);
    const QString sid = currentUserSid();
    if (!e.exists || !e.isDirectory() || e.isLink() || sid.isEmpty())
        return found;
    WIN32_FIND_DATAW data{};
    const HANDLE search = FindFirstFileExW((native + L"\\*").c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return found;
    do {
        const QString name = QString::fromWCharArray(data.cFileName);
        if (name.size() != prefix.size() + 6 || !name.startsWith(prefix) ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            continue;
        const Handle folder(openEntry(native + L"\\" + data.cFileName, READ_CONTROL));
        if (folder.valid() && ownedBy(folder.get(), sid))
            found << name;
    } while (FindNextFileW(search, &data));
    FindClose(search);
    found.sort();
    return found;
}

CopyOutcome CopyOwnFile(const QString& source, const FileIdentity& sourceIdentity,
                        const QString& target, std::int64_t limit,
                        const std::function<void(const char*, std::int64_t)>& onBlock) {
    CopyOutcome outcome;
    const Handle in(openOwnForReading(source, sourceIdentity, &outcome));
    if (!in.valid())
        return outcome;
    const std::wstring to = Win32Path(target);
    // A new file, never anything that stands at the name (CREATE_NEW refuses even a dangling
    // link); it inherits the private folder's owner-only access.
    Handle out(CreateFileW(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!out.valid() || !GetFileInformationByHandle(out.get(), &info)) {
        outcome.result = CopyOutcome::Failed;
        outcome.reason = win32Reason(GetLastError());
        if (out.valid()) {
            CloseHandle(out.release());
            DeleteFileW(to.c_str());
        }
        return outcome;
    }
    if (!CopyBlocks(
            reader(in.get()),
            [&](const char* data, std::int64_t size) { return writeAll(out.get(), data, size); },
            limit, onBlock, outcome)) {
        outcome.result = CopyOutcome::Failed;
        outcome.reason = win32Reason(GetLastError());
        CloseHandle(out.release());
        DeleteFileW(to.c_str());
        return outcome;
    }
    outcome.copy = identityOf(info);
    return outcome;
}

std::optional<QByteArray> ReadOwnFile(const QString& path, const FileIdentity& identity,
                                      std::int64_t limit) {
    const Handle in(openOwnForReading(path, identity, nullptr));
    if (!in.valid())
        return std::nullopt;
    return ReadAtMost(reader(in.get()), limit);
}

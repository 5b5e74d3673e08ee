#pragma once
// The loops both halves of FileSystem run over a file they opened: each half brings its own
// read and write calls, which report a failure the way its system does (errno, GetLastError),
// left untouched for the caller to turn into the reason.
#include "FileSystem.h"

#include <QByteArray>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>

// read(buffer, size) gives the bytes it read, 0 at the end of the file, or a negative count on a
// failure; write(data, size) is true when every byte was written.

// Copies at most limit bytes from read to write in blocks, handing every block to onBlock once
// it is written; outcome.bytes counts them. False on the first read or write that failed; true,
// with the outcome Copied, at the end of the file or the limit.
template <typename Read, typename Write>
bool CopyBlocks(Read read, Write write, std::int64_t limit,
                const std::function<void(const char*, std::int64_t)>& onBlock,
                CopyOutcome& outcome) {
    constexpr std::int64_t kBlock = 256 * 1024;
    const std::unique_ptr<char[]> buffer(new char[kBlock]);
    while (outcome.bytes < limit) {
        const std::int64_t n = read(buffer.get(), std::min(kBlock, limit - outcome.bytes));
        if (n == 0)
            break;
        if (n < 0 || !write(buffer.get(), n))
            return false;
        if (onBlock)
            onBlock(buffer.get(), n);
        outcome.bytes += n;
    }
    outcome.result = CopyOutcome::Copied;
    return true;
}

// At most limit bytes from read; nullopt when a read failed.
template <typename Read> std::optional<QByteArray> ReadAtMost(Read read, std::int64_t limit) {
    QByteArray bytes;
    char block[4096];
    while (bytes.size() < limit) {
        const std::int64_t n =
            read(block, std::min<std::int64_t>(sizeof block, limit - bytes.size()));
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        bytes.append(block, static_cast<qsizetype>(n));
    }
    return bytes;
}

// An empty path names nothing: true, with result saying so, for it.
inline bool NamesNothing(const QString& path, FileContents& result) {
    if (!path.isEmpty())
        return false;
    result.missing = true;
    result.reason = QStringLiteral("not found");
    return true;
}

// A regular file read whole into result (bytes and ok), or refused as larger than maxBytes.
// claimed is the size the system gave for it (0 when it gave none): room for that and one byte
// more is reserved, so that a read does not reserve the whole limit; a file that grows meanwhile
// (or a kernel file that reports no size) is read on, up to one byte past the limit. False when
// a read failed; the reason is then the caller's to give.
template <typename Read>
bool ReadWhole(Read read, std::int64_t claimed, std::int64_t maxBytes, FileContents& result) {
    const QString tooLarge = QStringLiteral("larger than ") + ByteLimitText(maxBytes);
    if (claimed > maxBytes) {
        result.reason = tooLarge;
        return true;
    }
    QByteArray bytes;
    bytes.resize(static_cast<qsizetype>(std::min(claimed, maxBytes) + 1));
    qsizetype done = 0;
    for (;;) {
        if (done == bytes.size()) {
            if (done > maxBytes)
                break;
            const std::int64_t more = static_cast<std::int64_t>(done) * 2 + 4096;
            bytes.resize(static_cast<qsizetype>(std::min(more, maxBytes + 1)));
        }
        const std::int64_t n = read(bytes.data() + done, bytes.size() - done);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        done += static_cast<qsizetype>(n);
    }
    if (done > maxBytes) {
        result.reason = tooLarge;
        return true;
    }
    bytes.truncate(done);
    result.ok = true;
    result.bytes = std::move(bytes);
    return true;
}

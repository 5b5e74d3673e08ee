// The loops both halves of FileSystem run over an opened file, driven by a stand-in for the
// system's read and write calls: counts, limits, growth past the claimed size and failures.
#include "platform/FileSystem_p.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// A file as the read calls see it: at most step bytes a call, failing once failAt bytes were
// given (never when negative).
struct FakeFile {
    QByteArray bytes;
    std::int64_t step = 1 << 30;
    std::int64_t failAt = -1;
    std::int64_t at = 0;
    int calls = 0;

    auto reader() {
        return [this](char* buffer, std::int64_t size) -> std::int64_t {
            ++calls;
            if (failAt >= 0 && at >= failAt)
                return -1;
            const std::int64_t n = std::min({size, step, std::int64_t(bytes.size()) - at});
            std::copy_n(bytes.constData() + at, n, buffer);
            at += n;
            return n;
        };
    }
};

QByteArray pattern(std::int64_t size) {
    QByteArray b;
    for (std::int64_t i = 0; i < size; ++i)
        b.append(static_cast<char>('a' + i % 26));
    return b;
}

constexpr std::int64_t kBlock = 256 * 1024;

TEST(FileLoops, CopyBlocksStopsAtTheLimitAndAtTheFirstFailure) {
    struct Case {
        const char* name;
        std::int64_t size, step, failAt, writeFailAt, limit;
        bool ok;
        std::int64_t bytes;
    };
    const std::vector<Case> cases = {
        {"empty file", 0, kBlock, -1, -1, 100, true, 0},
        {"whole file under the limit", 1000, kBlock, -1, -1, 5000, true, 1000},
        {"cut at the limit", 1000, kBlock, -1, -1, 10, true, 10},
        {"limit 0 reads nothing", 1000, kBlock, -1, -1, 0, true, 0},
        {"several blocks", 3 * kBlock + 7, kBlock, -1, -1, 4 * kBlock, true, 3 * kBlock + 7},
        {"limit inside the second block", 3 * kBlock, kBlock, -1, -1, kBlock + 5, true, kBlock + 5},
        {"short reads add up", 5000, 333, -1, -1, 4000, true, 4000},
        {"read fails after a block", 3 * kBlock, kBlock, kBlock, -1, 4 * kBlock, false, kBlock},
        {"write fails on the second block", 3 * kBlock, kBlock, -1, kBlock, 4 * kBlock, false,
         kBlock},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFile file{pattern(c.size), c.step, c.failAt};
        QByteArray written;
        QByteArray seen;
        CopyOutcome outcome;
        const bool ok = CopyBlocks(
            file.reader(),
            [&](const char* data, std::int64_t n) {
                if (c.writeFailAt >= 0 && written.size() >= c.writeFailAt)
                    return false;
                written.append(data, n);
                return true;
            },
            c.limit, [&](const char* data, std::int64_t n) { seen.append(data, n); }, outcome);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(outcome.bytes, c.bytes);
        EXPECT_EQ(written, file.bytes.left(c.bytes));
        EXPECT_EQ(seen, written) << "every block written is handed on, and only those";
    }
}

TEST(FileLoops, ReadAtMostGivesTheFirstBytesOrNothingOnAFailure) {
    struct Case {
        const char* name;
        std::int64_t size, step, failAt, limit;
        bool ok;
        std::int64_t bytes;
    };
    const std::vector<Case> cases = {
        {"whole file", 100, 4096, -1, 1000, true, 100},
        {"cut at the limit", 10000, 4096, -1, 5000, true, 5000},
        {"short reads", 10000, 7, -1, 10000, true, 10000},
        {"failure midway", 10000, 4096, 4096, 10000, false, 0},
        {"failure past the limit is never met", 10000, 4096, 8192, 5000, true, 5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFile file{pattern(c.size), c.step, c.failAt};
        const std::optional<QByteArray> got = ReadAtMost(file.reader(), c.limit);
        ASSERT_EQ(got.has_value(), c.ok);
        if (c.ok) {
            EXPECT_EQ(*got, file.bytes.left(c.bytes));
        }
    }
}

TEST(FileLoops, ReadWholeRefusesWhatIsLargerThanTheLimitWhateverTheClaim) {
    struct Case {
        const char* name;
        std::int64_t size, claimed, failAt, maxBytes;
        bool read, ok;
        QString reason;
    };
    const QString larger = QStringLiteral("larger than 4 KiB");
    const std::vector<Case> cases = {
        {"claim true, under the limit", 1000, 1000, -1, 4096, true, true, {}},
        {"exactly the limit", 4096, 4096, -1, 4096, true, true, {}},
        {"claim over the limit: not read", 5000, 5000, -1, 4096, true, false, larger},
        {"no claim, under the limit", 3000, 0, -1, 4096, true, true, {}},
        {"no claim, one byte over", 4097, 0, -1, 4096, true, false, larger},
        {"grew past the claim", 4000, 10, -1, 4096, true, true, {}},
        {"grew past the limit", 9000, 100, -1, 4096, true, false, larger},
        {"empty", 0, 0, -1, 4096, true, true, {}},
        {"read fails", 3000, 3000, 1000, 4096, false, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFile file{pattern(c.size), 1500, c.failAt};
        FileContents result;
        EXPECT_EQ(ReadWhole(file.reader(), c.claimed, c.maxBytes, result), c.read);
        EXPECT_EQ(result.ok, c.ok);
        EXPECT_EQ(result.reason, c.reason);
        EXPECT_EQ(result.bytes, c.ok ? file.bytes : QByteArray());
        if (c.claimed > c.maxBytes) {
            EXPECT_EQ(file.calls, 0);
        }
        // Never more than one byte past the limit is asked for.
        EXPECT_LE(file.at, c.maxBytes + 1);
    }
}

TEST(FileLoops, AnEmptyPathNamesNothing) {
    FileContents result;
    EXPECT_TRUE(NamesNothing(QString(), result));
    EXPECT_TRUE(result.missing);
    EXPECT_EQ(result.reason, QStringLiteral("not found"));
    FileContents named;
    EXPECT_FALSE(NamesNothing(QStringLiteral("x"), named));
    EXPECT_FALSE(named.missing);
    EXPECT_TRUE(named.reason.isEmpty());
}

} // namespace

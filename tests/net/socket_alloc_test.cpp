// Receiving a transfer must not allocate per received block: the blocks go from the component's
// own buffer to the file. This binary counts every operator new of the process.
#include "loopback_peer.h"
#include "net/AsyncSocket.h"

#include <QTemporaryDir>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>

namespace {
std::atomic<long> gNews{0};
}

void* operator new(std::size_t size) {
    ++gNews;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

TEST(AllocationTest, CaptureFileAllocatesNothingPerBlock) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer replaces operator new itself";
#endif
    TestApp();
    QTemporaryDir dir;
    for (int timeOut : {0, 5000}) {
        SCOPED_TRACE(timeOut);
        LoopbackPeer peer;
        peer.Serve([](int& fd) {
            const std::string chunk(32768, 'a');
            for (int i = 0; i < 512; ++i) // 16 MiB in small writes: many blocks
                SendAll(fd, chunk);
        });
        TAsyncSocket s;
        s.SetHost("127.0.0.1");
        s.SetPort(peer.Port());
        s.SetTimeOut(timeOut);
        s.Connect();
        long packets = 0, atFirst = 0;
        s.OnPacketRecvd = [&](QObject*) {
            if (++packets == 1)
                atFirst = gNews.load();
        };
        s.CaptureFile(dir.filePath("alloc.bin"));
        const long allocations = gNews.load() - atFirst;
        std::printf("timeout %d: %ld blocks, %ld allocations after the first block\n", timeOut,
                    packets, allocations);
        EXPECT_EQ(s.ReceivedBytes(), 16 * 1024 * 1024);
        ASSERT_GT(packets, 100);
        EXPECT_LT(allocations, packets / 10);
    }
}

} // namespace

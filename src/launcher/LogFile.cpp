#include "LogFile.h"

#include "platform/Big5.h"
#include "platform/FileSystem.h"

#include <cstdio>

namespace LogFile {
namespace {
std::FILE* g_stream = nullptr;

void put(const QByteArray& bytes) {
    if (!g_stream)
        return;
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), g_stream);
    // Flushed line by line so that a crash or a kill keeps every step written so far.
    std::fflush(g_stream);
}
} // namespace

bool Open() {
    Close();
    // "wb", but never through a link planted at the name, nor into a fifo or a device.
    g_stream = CreateFileStream(QString::fromLatin1(kFileName));
    return g_stream != nullptr;
}

bool IsOpen() {
    return g_stream != nullptr;
}

void Close() {
    if (g_stream) {
        std::fclose(g_stream);
        g_stream = nullptr;
    }
}

void Write(const QString& text) {
    put(toBig5(text) + "\r\n");
}

void Write(const QString& label, const QString& text) {
    put(toBig5(label) + toBig5(text) + "\r\n");
}

void Write(const QString& label, std::int32_t value) {
    put(toBig5(label) + QByteArray::number(value) + "\r\n");
}

} // namespace LogFile

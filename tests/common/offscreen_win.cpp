// Linked into every Windows test program. ctest gives the Linux programs QT_QPA_PLATFORM=offscreen;
// Wine does not pass QT_* variables on, so the Windows programs choose offscreen themselves,
// before any test builds its application object.
#include <QByteArray>
#include <QtGlobal>

namespace {
[[maybe_unused]] const bool g_offscreen = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return true;
}();
} // namespace

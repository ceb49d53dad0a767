#pragma once

#include <QString>

namespace talkmere {

// The application's title and version, from which the main window's caption is built. The version
// is the project's own, handed down by the build (TALKMERE_VERSION).
inline constexpr char kApplicationTitle[] = "Talkmere Server";
inline constexpr char kVersion[] = TALKMERE_VERSION;

inline QString versionText() {
    return QString::fromLatin1(kVersion);
}

inline QString mainWindowCaption() {
    return QString::fromLatin1(kApplicationTitle) + QStringLiteral(" - Version: ") + versionText();
}

} // namespace talkmere

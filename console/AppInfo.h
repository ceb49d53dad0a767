#pragma once

#include <QString>

namespace talkmere {

// The application's title and version, from which the main window's caption is built.
inline constexpr char kApplicationTitle[] = "Talkmere Server";
inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 1;
inline constexpr int kVersionRevision = 3;

// "1.1.3": plain decimal, no leading zeros.
inline QString versionText() {
    return QStringLiteral("%1.%2.%3").arg(kVersionMajor).arg(kVersionMinor).arg(kVersionRevision);
}

inline QString mainWindowCaption() {
    return QString::fromLatin1(kApplicationTitle) + QStringLiteral(" - Version: ") + versionText();
}

} // namespace talkmere

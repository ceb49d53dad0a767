#pragma once

#include <QByteArray>

namespace talkmere::Module1 {

// The one server password, program-wide: set by the start-up prompt, replaced from the menu, read
// by every greeting. Bytes, because it goes on the wire as typed (UTF-8).
inline QByteArray ServerPassword;

} // namespace talkmere::Module1

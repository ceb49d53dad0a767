#pragma once

#include <QString>

namespace talkmere {

// Port 100 is privileged, and the program holds no privilege: when it may not bind the port
// itself, it asks the bind helper installed beside it, which holds the one capability and does
// nothing but open that listener and hand it over.
namespace bind_helper {

// Where the helper stands relative to the running program, installed or in a build tree.
QString besideProgram();

// A listening descriptor on port 100 from the helper at `path`, or -1 with errno set: the
// helper's own error, or EACCES when there is no helper or it gave no answer (as if it had not
// been asked).
int listenOnPort100(const QString& path);

// The same, started with an argument list and environment of the caller's; the helper must make
// nothing of them.
int listenOnPort100(const QString& path, char* const arguments[], char* const environment[]);

} // namespace bind_helper

} // namespace talkmere

// Linked into every test: the program's own event dispatcher (app/main.cpp), so that what a test
// sees of the event loop, the yields included, is what the program does. Installed before main(),
// since it must exist before the application object.
#include "EpollDispatcher.h"

#include <cstdio>
#include <cstdlib>

namespace {

const bool installed = [] {
    if (talkmere::EpollDispatcher::install())
        return true;
    std::fputs("no epoll event dispatcher\n", stderr);
    std::abort();
}();

} // namespace

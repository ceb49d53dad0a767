#pragma once

namespace talkmere {

// The main thread's dispatcher, the epoll one (pool/EpollDispatcher.h), made before the
// application and the window system's own made after it to follow it. Call
// installEventDispatcher() before the application object exists, followWindowSystem() right
// after; with no epoll, Qt's own dispatcher stays and both do nothing.
bool installEventDispatcher();
void followWindowSystem();

} // namespace talkmere

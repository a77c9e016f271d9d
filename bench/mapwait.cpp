// Starts a program on the X display and prints how long it took to map its first top-level
// window (milliseconds) and its peak resident memory shortly after (kB), then ends it.
// Usage: bench_mapwait program [arguments...]
#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string &message)
{
    std::fprintf(stderr, "bench_mapwait: %s\n", message.c_str());
    std::exit(1);
}

xcb_atom_t internAtom(xcb_connection_t *connection, const char *name)
{
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, std::strlen(name), name),
                              nullptr),
        &std::free);
    if (!reply)
        fail(std::string("cannot intern ") + name);
    return reply->atom;
}

// The pid a toolkit window announces, or 0 when it announces none.
pid_t windowPid(xcb_connection_t *connection, xcb_window_t window, xcb_atom_t pidAtom)
{
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(
            connection, xcb_get_property(connection, 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1),
            nullptr),
        &std::free);
    if (!reply || xcb_get_property_value_length(reply.get()) != 4)
        return 0;
    return pid_t(*static_cast<std::uint32_t *>(xcb_get_property_value(reply.get())));
}

long peakResidentKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    fail("no VmHWM for the program");
}

// Waits for the next X event or for the child to end; null means the child ended.
xcb_generic_event_t *nextEvent(xcb_connection_t *connection, int childFd)
{
    for (;;) {
        if (xcb_generic_event_t *event = xcb_poll_for_event(connection))
            return event;
        if (xcb_connection_has_error(connection))
            fail("lost the X connection");
        pollfd fds[2] = {{xcb_get_file_descriptor(connection), POLLIN, 0}, {childFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            fail(std::strerror(errno));
        if (fds[1].revents)
            return nullptr;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        fail("usage: bench_mapwait program [arguments...]");

    int screenNumber = 0;
    xcb_connection_t *connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection))
        fail("cannot open the X display");
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber; ++i)
        xcb_screen_next(&screens);
    const xcb_window_t root = screens.data->root;
    const xcb_atom_t pidAtom = internAtom(connection, "_NET_WM_PID");

    // The selection must be in force before the program can map anything.
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    if (xcb_generic_error_t *error = xcb_request_check(
            connection,
            xcb_change_window_attributes_checked(connection, root, XCB_CW_EVENT_MASK, &mask))) {
        std::free(error);
        fail("cannot watch the root window");
    }

    const Clock::time_point started = Clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        fail(std::strerror(errno));
    if (pid == 0) {
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    const int childFd = int(syscall(SYS_pidfd_open, pid, 0));
    if (childFd < 0)
        fail(std::strerror(errno));

    Clock::time_point mapped;
    for (;;) {
        std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> event(
            nextEvent(connection, childFd), &std::free);
        if (!event)
            fail(std::string(argv[1]) + " ended before mapping a window");
        if ((event->response_type & 0x7f) != XCB_MAP_NOTIFY)
            continue;
        mapped = Clock::now();
        const auto *map = reinterpret_cast<xcb_map_notify_event_t *>(event.get());
        if (!map->override_redirect && windowPid(connection, map->window, pidAtom) == pid)
            break;
    }

    std::this_thread::sleep_until(mapped + std::chrono::milliseconds(300));
    const long peakKb = peakResidentKb(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    xcb_disconnect(connection);

    const double milliseconds = std::chrono::duration<double, std::milli>(mapped - started).count();
    std::printf("%.3f %ld\n", milliseconds, peakKb);
    return 0;
}

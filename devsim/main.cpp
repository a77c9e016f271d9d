// brindleflash-devsim: runs a command with a simulated DFU USB device on the bus.
#include "devsim/devsimoptions.h"
#include "devsim/usbbus.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// Exit code when devsim itself cannot set up, as env and chroot use it.
constexpr int SetupFailed = 125;
const char UmockdevPreload[] = "libumockdev-preload.so.0";
const int ForwardedSignals[] = {SIGTERM, SIGINT, SIGHUP};

int fail(const std::string &reason)
{
    std::fprintf(stderr, "brindleflash-devsim: %s\n", reason.c_str());
    return SetupFailed;
}

// The processes that were reparented to us once their parent ended.
std::vector<pid_t> orphans()
{
    std::vector<pid_t> found;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return found;
    const pid_t self = ::getpid();
    while (dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        std::getline(stat, line);
        // The command name in parentheses may hold spaces; the parent follows the state.
        const size_t close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        long parent = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %ld", &state, &parent) == 2
            && parent == self)
            found.push_back(pid_t(pid));
    }
    ::closedir(proc);
    return found;
}

// Ends whatever the command left running: a polite signal first, then a kill.
void endLeftovers(const sigset_t &signals)
{
    const timespec patience = {0, 100 * 1000 * 1000};
    for (int round = 0; round < 40; ++round) {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) { }
        const std::vector<pid_t> left = orphans();
        if (left.empty())
            return;
        for (pid_t pid : left)
            ::kill(pid, round < 20 ? SIGTERM : SIGKILL);
        ::sigtimedwait(&signals, nullptr, &patience);
    }
}

} // namespace

int main(int argc, char **argv)
{
    // umockdev sends the udev events of a device that leaves or comes back (fwupd waits for
    // them) only from a process under its own preload, which the command needs as well.
    const char *preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, UmockdevPreload)) {
        std::string libraries = UmockdevPreload;
        if (preload && *preload)
            libraries += std::string(":") + preload;
        ::setenv("LD_PRELOAD", libraries.c_str(), 1);
        ::execv("/proc/self/exe", argv);
    }

    DevsimOptions options;
    std::string error;
    if (!options.parse(std::vector<std::string>(argv + 1, argv + argc), &error)) {
        std::fprintf(stderr, "brindleflash-devsim: %s\n%s", error.c_str(),
                     DevsimOptions::usage().c_str());
        return SetupFailed;
    }
    if (options.help) {
        std::fputs(DevsimOptions::usage().c_str(), stdout);
        return 0;
    }
    DeviceConfig config;
    if (!options.deviceConfig(&config, &error))
        return fail(error);

    // Blocked before the bus starts its threads, so that only sigtimedwait below sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGCHLD);
    for (int signal : ForwardedSignals)
        sigaddset(&signals, signal);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &signals, &previous);

    UsbBus bus;
    if (!bus.start(config, options, &error))
        return fail(error);

    // Grandchildren whose parent ends come to us, so none is left behind.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigmask(&attributes, &previous);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    std::vector<char *> arguments;
    for (std::string &argument : options.command)
        arguments.push_back(argument.data());
    arguments.push_back(nullptr);
    pid_t child = 0;
    const int spawnError
        = ::posix_spawnp(&child, arguments[0], nullptr, &attributes, arguments.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (spawnError != 0) {
        std::fprintf(stderr, "brindleflash-devsim: cannot run %s: %s\n", arguments[0],
                     std::strerror(spawnError));
        bus.finish();
        return spawnError == ENOENT ? 127 : 126;
    }

    int exitCode = -1;
    while (exitCode < 0) {
        siginfo_t info;
        if (::sigwaitinfo(&signals, &info) < 0)
            continue;
        if (info.si_signo != SIGCHLD) {
            ::kill(child, info.si_signo);
            continue;
        }
        // Orphans that ended are reaped here too.
        int status = 0;
        for (pid_t ended; (ended = ::waitpid(-1, &status, WNOHANG)) > 0;) {
            if (ended == child)
                exitCode = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        }
    }
    endLeftovers(signals);

    if (!bus.finish() && exitCode == 0)
        return fail("the command succeeded, but the device memory could not be written");
    return exitCode;
}

// A stand-in for dfu-util that replays what a test recorded for each of its calls.
// FAKE_DFU_UTIL_DIR holds the script: call N (counted from 0) prints N.out on standard output,
// in the pieces that the byte 0x1E separates, each flushed on its own; prints N.err on standard
// error; writes N.upload to the file after -U; and exits with the number in N.code (default 0),
// dies of SIGKILL (an access violation on Windows) when N.code says "crash", or hangs until N.go
// appears when it says "hang". Every call's arguments go to the line N of "calls", its pid to
// N.pid, and a copy of the file after -D, as it could read it, to N.given.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#ifdef _WIN32
#include <process.h>
#include <windows.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace {

bool readFile(const std::string &path, std::string *contents)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    contents->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    const char *dir = std::getenv("FAKE_DFU_UTIL_DIR");
    if (!dir) {
        std::fprintf(stderr, "fake dfu-util: FAKE_DFU_UTIL_DIR is not set\n");
        return 70;
    }
    const std::string script(dir);
#ifndef _WIN32
    // Only a signal meant for it may end it, not a reader gone away.
    std::signal(SIGPIPE, SIG_IGN);
#endif

    std::string calls;
    readFile(script + "/calls", &calls);
    int call = 0;
    for (char c : calls)
        call += c == '\n';
    std::string line;
    std::string uploadPath;
    std::string downloadPath;
    for (int i = 1; i < argc; ++i) {
        line += (i > 1 ? " " : "") + std::string(argv[i]);
        if (std::string(argv[i]) == "-U" && i + 1 < argc)
            uploadPath = argv[i + 1];
        if (std::string(argv[i]) == "-D" && i + 1 < argc)
            downloadPath = argv[i + 1];
    }
    std::ofstream(script + "/calls", std::ios::app | std::ios::binary) << line << '\n';

    const std::string prefix = script + "/" + std::to_string(call);
    std::ofstream(prefix + ".pid") << getpid() << '\n';
    std::string text;
    if (!downloadPath.empty() && readFile(downloadPath, &text))
        std::ofstream(prefix + ".given", std::ios::binary) << text;
    if (readFile(prefix + ".upload", &text) && !uploadPath.empty()) {
        // dfu-util refuses to write over a file that is already there.
        if (std::ifstream(uploadPath)) {
            std::fprintf(stderr, "dfu-util: Cannot open file %s for writing: File exists\n",
                         uploadPath.c_str());
            return 74;
        }
        std::ofstream(uploadPath, std::ios::binary) << text;
    }
    if (readFile(prefix + ".out", &text)) {
        std::istringstream pieces(text);
        std::string piece;
        while (std::getline(pieces, piece, '\x1e')) {
            std::fwrite(piece.data(), 1, piece.size(), stdout);
            std::fflush(stdout);
            // Lets each piece reach the reader on its own.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    if (readFile(prefix + ".err", &text))
        std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    if (!readFile(prefix + ".code", &text))
        return 0;
    if (text.rfind("crash", 0) == 0) {
#ifdef _WIN32
        TerminateProcess(GetCurrentProcess(), 0xC0000005);
#else
        std::raise(SIGKILL);
#endif
    }
    if (text.rfind("hang", 0) == 0) {
        while (!std::ifstream(prefix + ".go"))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return 0;
    }
    return std::atoi(text.c_str());
}

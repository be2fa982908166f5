// ChildProcess.cpp - the program's own path and the children it runs (systemctl).
#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/Fd.h"

extern char** environ;

namespace {

constexpr std::size_t kMaxChildOutput = 64 * 1024;

}  // namespace

bool GetModuleFileName(std::string& path) {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            path = std::move(buffer);
            return true;
        }
        buffer.resize(buffer.size() * 2);  // may have been cut: try again with more room
    }
}

int RunChild(const std::vector<std::string>& argv, std::string* output) {
    if (argv.empty()) {
        errno = EINVAL;
        return -1;
    }
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (output && ::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    CFd readEnd(pipeFds[0]);
    CFd writeEnd(pipeFds[1]);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (output) ::posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDOUT_FILENO);
    // The child starts with no signals blocked, whatever the dispatcher blocked here.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    writeEnd.Reset();
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    if (output) {
        output->clear();
        char block[4096];
        for (;;) {
            ssize_t n = ::read(readEnd.Get(), block, sizeof block);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            std::size_t room = kMaxChildOutput - std::min(kMaxChildOutput, output->size());
            output->append(block, std::min(room, static_cast<std::size_t>(n)));
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (!WIFEXITED(status)) {
        errno = ECHILD;
        return -1;
    }
    return WEXITSTATUS(status);
}

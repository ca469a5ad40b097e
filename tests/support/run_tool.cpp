#include "run_tool.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tonwell::test {

namespace {

// The test's environment with `overrides` put in place of (or added to) it.
std::vector<std::string> ChildEnvironment(const std::vector<std::pair<std::string, std::string>>& overrides)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : overrides)
            replaced = replaced || entry.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced)
            env.push_back(entry);
    }
    for (const auto& [name, value] : overrides)
        env.push_back(name + "=" + value);
    return env;
}

// Reads both pipes to their end; either may fill while the other is waited on.
void Drain(int outFd, int errFd, std::string& out, std::string& err)
{
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open = errFd >= 0 ? 2 : 1;
    char buffer[4096];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0)
            close(p.fd);
}

} // namespace

ToolRun RunTool(const std::string& program, const std::vector<std::string>& args, const ToolOptions& options)
{
    ToolRun run;
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return run;
    if (!options.mergeErr && pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return run;
    }

    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = ChildEnvironment(options.env);
    std::vector<char*> envp;
    for (std::string& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, options.mergeErr ? outPipe[1] : errPipe[1], 2);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    if (errPipe[1] >= 0)
        close(errPipe[1]);
    if (spawned != 0) {
        close(outPipe[0]);
        if (errPipe[0] >= 0)
            close(errPipe[0]);
        return run;
    }

    Drain(outPipe[0], errPipe[0], run.out, run.err);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

ToolRun RunShell(const std::string& command)
{
    ToolOptions options;
    options.mergeErr = true;
    return RunTool("/bin/sh", {"-c", command}, options);
}

std::string BuildDir()
{
    const char* dir = std::getenv("TONWELL_BUILD_DIR");
    return dir ? dir : ".";
}

std::string TonwellBinary() { return BuildDir() + "/bin/tonwell"; }

ToolRun RunTonwell(const std::string& command, std::vector<std::string> args, const ToolOptions& options)
{
    args.insert(args.begin(), command);
    return RunTool(TonwellBinary(), args, options);
}

std::string ShellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace tonwell::test

// Drives tonwell_kernel_peer, a separate program using the platform in the
// same machine root, one command and one answer line at a time.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tonwell::test {

class Peer {
public:
    Peer()
    {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        char program[] = TONWELL_KERNEL_PEER;
        char* argv[] = {program, nullptr};
        if (posix_spawn(&m_pid, program, &actions, nullptr, argv, environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = fdopen(out[0], "r");
    }

    ~Peer()
    {
        if (m_in >= 0)
            close(m_in);
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out)
            fclose(m_out);
    }

    bool Running() const { return m_pid > 0 && m_out; }

    // Sends one command and returns its answer line, without the newline.
    std::string Call(const std::string& command)
    {
        std::string line = command + "\n";
        if (write(m_in, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return "<write failed>";
        char buffer[1024];
        if (!fgets(buffer, sizeof buffer, m_out))
            return "<no answer>";
        std::string answer = buffer;
        if (!answer.empty() && answer.back() == '\n')
            answer.pop_back();
        return answer;
    }

    // Ends the peer: "die" leaves without closing, SIGKILL without warning.
    int Die()
    {
        std::string line = "die\n";
        [[maybe_unused]] ssize_t n = write(m_in, line.data(), line.size());
        return Reap();
    }
    void Kill()
    {
        kill(m_pid, SIGKILL);
        Reap();
    }
    int Exit()
    {
        std::string line = "exit\n";
        [[maybe_unused]] ssize_t n = write(m_in, line.data(), line.size());
        return Reap();
    }

private:
    int Reap()
    {
        int status = 0;
        if (m_pid > 0)
            waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t m_pid = -1;
    int m_in = -1;
    FILE* m_out = nullptr;
};

} // namespace tonwell::test
